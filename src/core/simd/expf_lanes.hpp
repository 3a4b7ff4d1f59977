// The C library's single-precision exponential, bit for bit, in vector lanes.
//
// glibc computes expf in double precision from a 32-entry table and rounds
// once to float; its x86-64 build comes in two variants chosen from the CPU:
// one contracts five operations into FMA, the other rounds every product and
// sum on its own. The lanes below perform exactly the double operations of
// either variant (Fused = true or false), so each lane gives the bits of the
// variant the process's expf uses (see expf.hpp for how it is told). Inputs
// on the library's special path (|x| about 88 or more, infinities, NaN) are
// handed to the library itself.
//
// Method: exp(x) = 2^(k/32) * exp(r), k = round(32 x / ln 2), 2^(k/32) from a
// table with the exponent added to its bits, exp(r) by a degree-3 polynomial.
#pragma once
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/simd/isa.hpp"

// GCC 12 reports its own _mm512_undefined_* placeholders inside the AVX-512
// intrinsics as maybe uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace sonaloc::simd {
namespace expf_detail {

// 2^(i/32) as double bit patterns, less i << 47 (the exponent is added back).
alignas(64) inline constexpr std::uint64_t kTable[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540};

inline constexpr double kInvLn2N = 0x1.71547652b82fep+0 * 32;
inline constexpr double kShift = 0x1.8p+52;
inline constexpr double kC0 = 0x1.c6af84b912394p-5 / (32.0 * 32.0 * 32.0);
inline constexpr double kC1 = 0x1.ebfce50fac4f3p-3 / (32.0 * 32.0);
inline constexpr double kC2 = 0x1.62e42ff0c52d6p-1 / 32.0;
// Inputs whose top 12 bits (sign cleared) reach those of 88.0f take the
// library's special path.
inline constexpr std::uint32_t kSpecialTop = 0x42b;

// The special-path lanes, through the library's own expf.
inline void library_lanes(const float* x, float* y, unsigned mask) noexcept {
    for (unsigned i = 0; mask != 0; ++i, mask >>= 1)
        if (mask & 1u) y[i] = std::exp(x[i]);
}

}  // namespace expf_detail

// Four double lanes of the main path.
template <bool Fused>
SONALOC_TARGET_AVX2 inline __m256d exp_main_4(__m256d xd) noexcept {
    using namespace expf_detail;
    const __m256d inv = _mm256_set1_pd(kInvLn2N);
    const __m256d shift = _mm256_set1_pd(kShift);
    __m256d kd, r;
    if constexpr (Fused) {
        kd = _mm256_fmadd_pd(inv, xd, shift);
    } else {
        kd = _mm256_add_pd(_mm256_mul_pd(inv, xd), shift);
    }
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, shift);
    if constexpr (Fused) {
        r = _mm256_fmsub_pd(inv, xd, kd);
    } else {
        r = _mm256_sub_pd(_mm256_mul_pd(inv, xd), kd);
    }
    const __m256i index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
    const __m256i t = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kTable), index, 8);
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(t, _mm256_slli_epi64(ki, 47)));
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d z, y;
    if constexpr (Fused) {
        z = _mm256_fmadd_pd(r, _mm256_set1_pd(kC0), _mm256_set1_pd(kC1));
        y = _mm256_fmadd_pd(r, _mm256_set1_pd(kC2), _mm256_set1_pd(1.0));
        y = _mm256_fmadd_pd(z, r2, y);
    } else {
        z = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kC0), r), _mm256_set1_pd(kC1));
        y = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(kC2), r), _mm256_set1_pd(1.0));
        y = _mm256_add_pd(_mm256_mul_pd(z, r2), y);
    }
    return _mm256_mul_pd(y, s);
}

// expf of eight float lanes.
template <bool Fused>
SONALOC_TARGET_AVX2 inline __m256 expf_8(__m256 x) noexcept {
    using namespace expf_detail;
    const __m256d lo = exp_main_4<Fused>(_mm256_cvtps_pd(_mm256_castps256_ps128(x)));
    const __m256d hi = exp_main_4<Fused>(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)));
    __m256 y = _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
    const __m256i top = _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(x), 20),
                                         _mm256_set1_epi32(0x7ff));
    const __m256i special = _mm256_cmpgt_epi32(top, _mm256_set1_epi32(kSpecialTop - 1));
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(special)));
    if (mask != 0) [[unlikely]] {
        alignas(32) float xs[8], ys[8];
        _mm256_store_ps(xs, x);
        _mm256_store_ps(ys, y);
        library_lanes(xs, ys, mask);
        y = _mm256_load_ps(ys);
    }
    return y;
}

// Eight double lanes of the main path.
template <bool Fused>
SONALOC_TARGET_AVX512 inline __m512d exp_main_8(__m512d xd) noexcept {
    using namespace expf_detail;
    const __m512d inv = _mm512_set1_pd(kInvLn2N);
    const __m512d shift = _mm512_set1_pd(kShift);
    __m512d kd, r;
    if constexpr (Fused) {
        kd = _mm512_fmadd_pd(inv, xd, shift);
    } else {
        kd = _mm512_add_pd(_mm512_mul_pd(inv, xd), shift);
    }
    const __m512i ki = _mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, shift);
    if constexpr (Fused) {
        r = _mm512_fmsub_pd(inv, xd, kd);
    } else {
        r = _mm512_sub_pd(_mm512_mul_pd(inv, xd), kd);
    }
    // 32 entries in four registers: permute within each half by the low four
    // index bits, then pick the half by the fifth.
    const __m512i index = _mm512_and_si512(ki, _mm512_set1_epi64(31));
    const __m512i t0 = _mm512_load_si512(kTable);
    const __m512i t1 = _mm512_load_si512(kTable + 8);
    const __m512i t2 = _mm512_load_si512(kTable + 16);
    const __m512i t3 = _mm512_load_si512(kTable + 24);
    const __m512i low = _mm512_permutex2var_epi64(t0, index, t1);
    const __m512i high = _mm512_permutex2var_epi64(t2, index, t3);
    const __mmask8 upper = _mm512_test_epi64_mask(index, _mm512_set1_epi64(16));
    const __m512i t = _mm512_mask_blend_epi64(upper, low, high);
    const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(t, _mm512_slli_epi64(ki, 47)));
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d z, y;
    if constexpr (Fused) {
        z = _mm512_fmadd_pd(r, _mm512_set1_pd(kC0), _mm512_set1_pd(kC1));
        y = _mm512_fmadd_pd(r, _mm512_set1_pd(kC2), _mm512_set1_pd(1.0));
        y = _mm512_fmadd_pd(z, r2, y);
    } else {
        z = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(kC0), r), _mm512_set1_pd(kC1));
        y = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(kC2), r), _mm512_set1_pd(1.0));
        y = _mm512_add_pd(_mm512_mul_pd(z, r2), y);
    }
    return _mm512_mul_pd(y, s);
}

// expf of sixteen float lanes.
template <bool Fused>
SONALOC_TARGET_AVX512 inline __m512 expf_16(__m512 x) noexcept {
    using namespace expf_detail;
    const __m512d lo = exp_main_8<Fused>(_mm512_cvtps_pd(_mm512_castps512_ps256(x)));
    const __m512d hi = exp_main_8<Fused>(
        _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1))));
    __m512 y = _mm512_castpd_ps(_mm512_insertf64x4(
        _mm512_castps_pd(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo))),
        _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1));
    const __m512i top = _mm512_and_si512(_mm512_srli_epi32(_mm512_castps_si512(x), 20),
                                         _mm512_set1_epi32(0x7ff));
    const __mmask16 special = _mm512_cmpge_epu32_mask(top, _mm512_set1_epi32(kSpecialTop));
    if (special != 0) [[unlikely]] {
        alignas(64) float xs[16], ys[16];
        _mm512_store_ps(xs, x);
        _mm512_store_ps(ys, y);
        library_lanes(xs, ys, special);
        y = _mm512_load_ps(ys);
    }
    return y;
}

}  // namespace sonaloc::simd

#pragma GCC diagnostic pop
