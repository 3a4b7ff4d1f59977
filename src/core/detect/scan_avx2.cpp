// The 2D and 3D candidate scans in AVX2: the threshold test of 32 pixels per
// step (four registers of 8 lanes), and the neighbour test, without branches,
// only for the groups of 8 lanes holding a pixel that is not below the
// threshold. The columns after the last full step go through the same code
// with masked loads, which read no lane outside the row (or the volume).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/detect/scan_kernels.hpp"
#include "core/simd/isa.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

namespace sonaloc::scan {
namespace {

constexpr std::ptrdiff_t kF = sizeof(float);
constexpr std::size_t kStep = 32;  // pixels per threshold step
constexpr std::size_t kLanes = 8;

// Lane masks (all ones or zero) of the last, partial step, one per group of
// 8 lanes.
struct StepMasks {
    alignas(32) std::int32_t lanes[4][kLanes];
};

inline StepMasks tail_masks(std::size_t rest) noexcept {
    StepMasks m{};
    for (std::size_t g = 0; g < 4; ++g) {
        const std::size_t at = g * kLanes;
        const std::size_t n = rest > at ? std::min(rest - at, kLanes) : 0;
        for (std::size_t q = 0; q < kLanes; ++q) m.lanes[g][q] = q < n ? -1 : 0;
    }
    return m;
}

// Eight floats at a byte address, any alignment; under a mask only the lanes
// of the mask are read (the others are zero).
template <bool Masked>
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) __m256 load8(const std::byte* p, __m256i m) {
    if constexpr (Masked)
        return _mm256_maskload_ps(reinterpret_cast<const float*>(p), m);
    else
        return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
}

// Lanes (all ones) of the pixels that pass the threshold: "not less than",
// true for v >= t and for NaN (either side).
template <bool Masked>
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) __m256 passing(const std::byte* p, __m256 t,
                                                                         __m256i m) {
    const __m256 pass = _mm256_cmp_ps(load8<Masked>(p, m), t, _CMP_NLT_UQ);
    if constexpr (Masked)
        return _mm256_and_ps(pass, _mm256_castsi256_ps(m));
    else
        return pass;
}

SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) unsigned good(__m256 bad, __m256 pass) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_andnot_ps(bad, pass)));
}

using Pass8 = __m256;
using Mask8 = __m256i;
#define SCAN_TARGET SONALOC_TARGET_AVX2
#include "core/detect/scan_neighbours.inl"

inline float load_float(const std::byte* p) noexcept {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// ------------------------------------------------------------------ 2D

// The masks of one step, as registers.
struct Masks {
    __m256i v[4];
};

// One step of 32 pixels from column j: peaks as bits, bit q for column j + q.
// Groups of 8 without a pixel that passes the threshold are not tested.
template <bool Masked>
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) std::uint32_t step2d(const Rows2D& r, std::size_t j,
                                                                               __m256 t, const Masks& m) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * kF;
    const __m256 a = passing<Masked>(r.row + at, t, m.v[0]);
    const __m256 b = passing<Masked>(r.row + at + 8 * kF, t, m.v[1]);
    const __m256 c = passing<Masked>(r.row + at + 16 * kF, t, m.v[2]);
    const __m256 d = passing<Masked>(r.row + at + 24 * kF, t, m.v[3]);
    const __m256 any = _mm256_or_ps(_mm256_or_ps(a, b), _mm256_or_ps(c, d));
    if (_mm256_testz_ps(any, any)) return 0;
    std::uint32_t bits = 0;
    if (!_mm256_testz_ps(a, a)) bits |= peaks8<Masked>(r, at, a, m.v[0]);
    if (!_mm256_testz_ps(b, b)) bits |= peaks8<Masked>(r, at + 8 * kF, b, m.v[1]) << 8;
    if (!_mm256_testz_ps(c, c)) bits |= peaks8<Masked>(r, at + 16 * kF, c, m.v[2]) << 16;
    if (!_mm256_testz_ps(d, d)) bits |= peaks8<Masked>(r, at + 24 * kF, d, m.v[3]) << 24;
    return bits;
}

// ------------------------------------------------------------------ 3D

template <bool Masked>
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) std::uint32_t step3d(const std::byte* line,
                                                                               const Lines3D& nb, std::size_t k,
                                                                               __m256 t, const Masks& m) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(k) * kF;
    const __m256 a = passing<Masked>(line + at, t, m.v[0]);
    const __m256 b = passing<Masked>(line + at + 8 * kF, t, m.v[1]);
    const __m256 c = passing<Masked>(line + at + 16 * kF, t, m.v[2]);
    const __m256 d = passing<Masked>(line + at + 24 * kF, t, m.v[3]);
    const __m256 any = _mm256_or_ps(_mm256_or_ps(a, b), _mm256_or_ps(c, d));
    if (_mm256_testz_ps(any, any)) return 0;
    std::uint32_t bits = 0;
    if (!_mm256_testz_ps(a, a)) bits |= peaks8<Masked>(line, nb, at, a, m.v[0]);
    if (!_mm256_testz_ps(b, b)) bits |= peaks8<Masked>(line, nb, at + 8 * kF, b, m.v[1]) << 8;
    if (!_mm256_testz_ps(c, c)) bits |= peaks8<Masked>(line, nb, at + 16 * kF, c, m.v[2]) << 16;
    if (!_mm256_testz_ps(d, d)) bits |= peaks8<Masked>(line, nb, at + 24 * kF, d, m.v[3]) << 24;
    return bits;
}

// Positions q (0 .. 31) of a step in a run of whole lines that hold the first
// or last voxel of a line (k = 0 or n2 - 1), when position 0 holds k = k0.
inline std::uint32_t line_ends(std::size_t k0, std::size_t n2) noexcept {
    std::uint32_t m = 0;
    for (std::size_t q = (n2 - k0) % n2; q <= kStep; q += n2) {
        if (q < kStep) m |= std::uint32_t{1} << q;
        if (q >= 1) m |= std::uint32_t{1} << (q - 1);
    }
    return m;
}

SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) std::uint32_t bits8(__m256 lanes) {
    return static_cast<std::uint32_t>(_mm256_movemask_ps(lanes));
}

// All-ones lanes for the set bits of an 8-bit mask.
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) __m256i lanes_of(unsigned bits) {
    const __m256i sel = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits)), sel), sel);
}

// The interior voxels of one step of 32 at position o of a run of whole lines
// of n2 voxels that pass the threshold, as bits.
template <bool Masked>
SONALOC_TARGET_AVX2 inline __attribute__((always_inline)) std::uint32_t run_step(const std::byte* run,
                                                                                 std::size_t o, std::size_t n2,
                                                                                 __m256 t, const Masks& m) {
    const std::byte* p = run + static_cast<std::ptrdiff_t>(o) * kF;
    const __m256 a = passing<Masked>(p, t, m.v[0]);
    const __m256 b = passing<Masked>(p + 8 * kF, t, m.v[1]);
    const __m256 c = passing<Masked>(p + 16 * kF, t, m.v[2]);
    const __m256 d = passing<Masked>(p + 24 * kF, t, m.v[3]);
    const __m256 any = _mm256_or_ps(_mm256_or_ps(a, b), _mm256_or_ps(c, d));
    if (_mm256_testz_ps(any, any)) return 0;
    const std::uint32_t pass = bits8(a) | bits8(b) << 8 | bits8(c) << 16 | bits8(d) << 24;
    return pass & ~line_ends(o % n2, n2);
}

// The neighbour test of the waiting groups, in order: loads under the voxels'
// own lanes, which read only inside the volume.
SONALOC_TARGET_AVX2 __attribute__((noinline)) void test_waiting(const Waiting* list, std::size_t n,
                                                                const Lines3D& nb, std::size_t n2, Sink3D sink,
                                                                void* state) {
    for (std::size_t e = 0; e < n; ++e) {
        const Waiting& w = list[e];
        const __m256i lanes = lanes_of(w.lanes);
        for (unsigned bits = peaks8<true>(w.p, nb, 0, _mm256_castsi256_ps(lanes), lanes); bits != 0;
             bits &= bits - 1) {
            const unsigned g = static_cast<unsigned>(__builtin_ctz(bits));
            const std::size_t q = w.pos + g;
            sink(state, w.i, w.j0 + q / n2, q % n2, load_float(w.p + static_cast<std::ptrdiff_t>(g) * kF));
        }
    }
}

SONALOC_TARGET_AVX2 inline Masks registers(const StepMasks& s) {
    Masks m;
    for (int g = 0; g < 4; ++g) {
        m.v[g] = _mm256_load_si256(reinterpret_cast<const __m256i*>(s.lanes[g]));
    }
    return m;
}

using Bits = std::uint32_t;
inline std::size_t lowest_bit(Bits bits) noexcept { return static_cast<std::size_t>(__builtin_ctz(bits)); }
SONALOC_TARGET_AVX2 inline Masks step_masks(std::size_t rest) { return registers(tail_masks(rest)); }
SONALOC_TARGET_AVX2 inline auto splat_threshold(float t) { return _mm256_set1_ps(t); }

#include "core/detect/scan_drivers.inl"
#undef SCAN_TARGET

}  // namespace

SONALOC_TARGET_AVX2
void scan_rows_avx2(const PackedFrame& f, std::size_t row_begin, std::size_t row_end, float threshold,
                    Sink2D sink, void* state) {
    scan_rows_body(f, row_begin, row_end, threshold, sink, state);
}

SONALOC_TARGET_AVX2
void scan_lines_avx2(const PackedVolume& v, std::size_t line_begin, std::size_t line_end, float threshold,
                     Sink3D sink, void* state) {
    scan_lines_body(v, line_begin, line_end, threshold, sink, state);
}

}  // namespace sonaloc::scan
#endif
