// Float lanes of the wider paths behind one set of names, so that a kernel
// body written once (included inside the path's target region) runs on
// either: avx2 (8 lanes, masks as vectors) and avx512 (16 lanes, mask
// registers). Every operation is the IEEE single-precision operation of the
// scalar code, lane by lane.
#pragma once
#include <immintrin.h>

#include <cstddef>

#include "core/simd/expf_lanes.hpp"
#include "core/simd/isa.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace sonaloc::simd {

namespace avx2 {
inline constexpr std::size_t kLanes = 8;
using F = __m256;
using M = __m256;
SONALOC_TARGET_AVX2 inline F splat(float v) { return _mm256_set1_ps(v); }
SONALOC_TARGET_AVX2 inline F load(const float* p) { return _mm256_loadu_ps(p); }
SONALOC_TARGET_AVX2 inline void store(float* p, F v) { _mm256_storeu_ps(p, v); }
SONALOC_TARGET_AVX2 inline F add(F a, F b) { return _mm256_add_ps(a, b); }
SONALOC_TARGET_AVX2 inline F sub(F a, F b) { return _mm256_sub_ps(a, b); }
SONALOC_TARGET_AVX2 inline F mul(F a, F b) { return _mm256_mul_ps(a, b); }
SONALOC_TARGET_AVX2 inline F div(F a, F b) { return _mm256_div_ps(a, b); }
SONALOC_TARGET_AVX2 inline F abs(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
SONALOC_TARGET_AVX2 inline F neg(F a) { return _mm256_xor_ps(_mm256_set1_ps(-0.0f), a); }
SONALOC_TARGET_AVX2 inline F sqrt(F a) { return _mm256_sqrt_ps(a); }
// a > b ? a : b, b when either is NaN (the running maximum that a NaN never replaces).
SONALOC_TARGET_AVX2 inline F max_keep(F a, F b) { return _mm256_max_ps(a, b); }
SONALOC_TARGET_AVX2 inline M less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
SONALOC_TARGET_AVX2 inline M greater(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
SONALOC_TARGET_AVX2 inline M equal(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
SONALOC_TARGET_AVX2 inline M unordered(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
SONALOC_TARGET_AVX2 inline M mask_and(M a, M b) { return _mm256_and_ps(a, b); }
SONALOC_TARGET_AVX2 inline M mask_or(M a, M b) { return _mm256_or_ps(a, b); }
SONALOC_TARGET_AVX2 inline M mask_andnot(M a, M b) { return _mm256_andnot_ps(b, a); }  // a and not b
SONALOC_TARGET_AVX2 inline M all_lanes() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }
SONALOC_TARGET_AVX2 inline unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }
// m ? b : a
SONALOC_TARGET_AVX2 inline F select(M m, F a, F b) { return _mm256_blendv_ps(a, b, m); }
template <bool Fused>
SONALOC_TARGET_AVX2 inline F exp(F x) { return expf_8<Fused>(x); }
}  // namespace avx2

namespace avx512 {
inline constexpr std::size_t kLanes = 16;
using F = __m512;
using M = __mmask16;
SONALOC_TARGET_AVX512 inline F splat(float v) { return _mm512_set1_ps(v); }
SONALOC_TARGET_AVX512 inline F load(const float* p) { return _mm512_loadu_ps(p); }
SONALOC_TARGET_AVX512 inline void store(float* p, F v) { _mm512_storeu_ps(p, v); }
SONALOC_TARGET_AVX512 inline F add(F a, F b) { return _mm512_add_ps(a, b); }
SONALOC_TARGET_AVX512 inline F sub(F a, F b) { return _mm512_sub_ps(a, b); }
SONALOC_TARGET_AVX512 inline F mul(F a, F b) { return _mm512_mul_ps(a, b); }
SONALOC_TARGET_AVX512 inline F div(F a, F b) { return _mm512_div_ps(a, b); }
SONALOC_TARGET_AVX512 inline F abs(F a) { return _mm512_abs_ps(a); }
SONALOC_TARGET_AVX512 inline F neg(F a) { return _mm512_xor_ps(_mm512_set1_ps(-0.0f), a); }
SONALOC_TARGET_AVX512 inline F sqrt(F a) { return _mm512_sqrt_ps(a); }
SONALOC_TARGET_AVX512 inline F max_keep(F a, F b) { return _mm512_max_ps(a, b); }
SONALOC_TARGET_AVX512 inline M less(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
SONALOC_TARGET_AVX512 inline M greater(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
SONALOC_TARGET_AVX512 inline M equal(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
SONALOC_TARGET_AVX512 inline M unordered(F a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
SONALOC_TARGET_AVX512 inline M mask_and(M a, M b) { return static_cast<M>(a & b); }
SONALOC_TARGET_AVX512 inline M mask_or(M a, M b) { return static_cast<M>(a | b); }
SONALOC_TARGET_AVX512 inline M mask_andnot(M a, M b) { return static_cast<M>(a & ~b); }
SONALOC_TARGET_AVX512 inline M all_lanes() { return static_cast<M>(0xFFFF); }
SONALOC_TARGET_AVX512 inline unsigned bits(M m) { return m; }
SONALOC_TARGET_AVX512 inline F select(M m, F a, F b) { return _mm512_mask_blend_ps(m, a, b); }
template <bool Fused>
SONALOC_TARGET_AVX512 inline F exp(F x) { return expf_16<Fused>(x); }
}  // namespace avx512

// The float lanes of the widest path: 16, 8, or 0 on the portable path.
inline std::size_t lane_count() noexcept {
    switch (isa()) {
        case Isa::Avx512: return avx512::kLanes;
        case Isa::Avx2: return avx2::kLanes;
        case Isa::Portable: break;
    }
    return 0;
}

}  // namespace sonaloc::simd

#pragma GCC diagnostic pop
