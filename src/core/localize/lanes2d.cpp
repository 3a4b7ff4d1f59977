#include "core/localize/lanes2d.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/simd/expf.hpp"
#include "core/simd/lanes.hpp"

// GCC 12's intrinsic headers leave the unused parts of some registers
// undefined, which its flow analysis reports as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace sonaloc {

#pragma GCC push_options
#pragma GCC target("avx2,fma,bmi,bmi2,popcnt")
namespace lanes_avx2 {
using namespace simd::avx2;
#include "core/localize/gaussian_fitting2d_lanes.inl"
#include "core/localize/maxima_lanes.inl"
#include "core/localize/radial_symmetry2d_lanes.inl"

// Lines of windows into lanes: 8 floats at a time, the lines of 8 windows are
// loaded (under a mask: no float past a line is read) and transposed, so that
// each position along the line becomes one register of 8 lanes.
using V = __m256;
inline V unpack_lo(V a, V b) { return _mm256_unpacklo_ps(a, b); }
inline V unpack_hi(V a, V b) { return _mm256_unpackhi_ps(a, b); }
template <int I>
inline V pick(V a, V b) { return _mm256_shuffle_ps(a, b, I); }
inline V low_halves(V a, V b) { return _mm256_permute2f128_ps(a, b, 0x20); }
inline V high_halves(V a, V b) { return _mm256_permute2f128_ps(a, b, 0x31); }
#include "core/localize/transpose_lanes.inl"

void pack_line(const std::byte* const* src, std::size_t w, float* out) {
    const __m256i sel = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (std::size_t c0 = 0; c0 < w; c0 += 8) {
        const std::size_t cols = std::min<std::size_t>(8, w - c0);
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(cols)), sel);
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(c0 * sizeof(float));
        __m256 r[8];
        for (std::size_t k = 0; k < 8; ++k)
            r[k] = _mm256_maskload_ps(reinterpret_cast<const float*>(src[k] + at), mask);
        transpose8(r);
        for (std::size_t q = 0; q < cols; ++q) _mm256_storeu_ps(out + (c0 + q) * kLanes, r[q]);
    }
}
}  // namespace lanes_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")
namespace lanes_avx512 {
using namespace simd::avx512;
#include "core/localize/gaussian_fitting2d_lanes.inl"
#include "core/localize/maxima_lanes.inl"
#include "core/localize/radial_symmetry2d_lanes.inl"

// As on the AVX2 path, for 16 windows: windows k and k + 8 share a register,
// whose two halves are transposed at once; the halves' 128-bit parts come
// from two registers by one permutation.
using V = __m512;
inline V unpack_lo(V a, V b) { return _mm512_unpacklo_ps(a, b); }
inline V unpack_hi(V a, V b) { return _mm512_unpackhi_ps(a, b); }
template <int I>
inline V pick(V a, V b) { return _mm512_shuffle_ps(a, b, I); }
inline V low_halves(V a, V b) {
    return _mm512_permutex2var_ps(a, _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27), b);
}
inline V high_halves(V a, V b) {
    return _mm512_permutex2var_ps(a, _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31), b);
}
#include "core/localize/transpose_lanes.inl"

void pack_line(const std::byte* const* src, std::size_t w, float* out) {
    for (std::size_t c0 = 0; c0 < w; c0 += 8) {
        const std::size_t cols = std::min<std::size_t>(8, w - c0);
        const auto mask = static_cast<__mmask8>((1u << cols) - 1u);
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(c0 * sizeof(float));
        __m512 z[8];
        for (std::size_t k = 0; k < 8; ++k) {
            const __m256 low = _mm256_maskz_loadu_ps(mask, src[k] + at);
            const __m256 high = _mm256_maskz_loadu_ps(mask, src[k + 8] + at);
            z[k] = _mm512_insertf32x8(_mm512_zextps256_ps512(low), high, 1);
        }
        transpose8(z);
        for (std::size_t q = 0; q < cols; ++q) _mm512_storeu_ps(out + (c0 + q) * kLanes, z[q]);
    }
}
}  // namespace lanes_avx512
#pragma GCC pop_options

namespace {

bool wide512() noexcept { return simd::isa() == simd::Isa::Avx512; }

}  // namespace

std::size_t window_lanes(LocalizationMethod method) noexcept {
    if (method == LocalizationMethod::GaussianFitting && simd::expf_variant() == simd::ExpfVariant::Library)
        return 0;
    return simd::lane_count();
}

std::size_t window_lanes_work(LocalizationMethod method, std::size_t w, std::size_t lanes) noexcept {
    if (method == LocalizationMethod::RadialSymmetry) return 4 * (w - 1) * (w - 1) * lanes;
    return w * w * lanes;
}

void pack_line_lanes(const std::byte* const* src, std::size_t w, float* out) {
    if (wide512())
        lanes_avx512::pack_line(src, w, out);
    else
        lanes_avx2::pack_line(src, w, out);
}

void pack_windows_lanes(const std::byte* const* corners, std::ptrdiff_t row_stride, std::size_t w,
                        float* framed) {
    const std::size_t lanes = simd::lane_count();
    const std::byte* rows[16];
    for (std::size_t a = 0; a < w; ++a) {
        for (std::size_t k = 0; k < lanes; ++k) rows[k] = corners[k] + static_cast<std::ptrdiff_t>(a) * row_stride;
        pack_line_lanes(rows, w, framed + ((a + 1) * (w + 2) + 1) * lanes);
    }
}

unsigned count_maxima_lanes(const float* framed, std::size_t w, float* counts) {
    return wide512() ? lanes_avx512::count_maxima_lanes(framed, w, counts)
                     : lanes_avx2::count_maxima_lanes(framed, w, counts);
}

unsigned localize_lanes(LocalizationMethod method, const float* framed, std::size_t w, float* work,
                        float* x0, float* y0) {
    const std::size_t rs = w + 2;
    if (wide512()) {
        const float* origin = framed + (rs + 1) * lanes_avx512::kLanes;
        if (method == LocalizationMethod::RadialSymmetry)
            return lanes_avx512::radial_symmetry_lanes(origin, w, rs, work, x0, y0);
        return simd::expf_variant() == simd::ExpfVariant::Fused
                   ? lanes_avx512::fit_lanes<true>(origin, w, rs, work, x0, y0)
                   : lanes_avx512::fit_lanes<false>(origin, w, rs, work, x0, y0);
    }
    const float* origin = framed + (rs + 1) * lanes_avx2::kLanes;
    if (method == LocalizationMethod::RadialSymmetry)
        return lanes_avx2::radial_symmetry_lanes(origin, w, rs, work, x0, y0);
    return simd::expf_variant() == simd::ExpfVariant::Fused ? lanes_avx2::fit_lanes<true>(origin, w, rs, work, x0, y0)
                                                            : lanes_avx2::fit_lanes<false>(origin, w, rs, work, x0, y0);
}

}  // namespace sonaloc
