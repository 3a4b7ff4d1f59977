// The 2D and 3D candidate scans in AVX-512: the threshold test of 64 pixels
// per step (four registers of 16 lanes, their masks or-ed), and the neighbour
// test only for the groups of 8 lanes holding a pixel that is not below the
// threshold. The columns after the last full step go through the same code
// with masked loads, which read no lane outside the row (or the volume).
//
// The neighbour comparisons go to vector registers and are or-ed, 8 lanes at
// a time: comparisons into mask registers, 16 lanes at a time, measured
// slower on AMD Zen 4 (which splits 512-bit operations in two), both as a
// chain of masked comparisons and as a tree of kand.
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
constexpr std::size_t kStep = 64;  // pixels per threshold step
constexpr std::size_t kLanes = 16;

// The lanes of the last, partial step: masks[g] covers the pixels of group g
// (16 lanes) that lie in the row.
struct StepMasks {
    __mmask16 g[4];
};

inline StepMasks tail_masks(std::size_t rest) noexcept {
    StepMasks m{};
    for (std::size_t g = 0; g < 4; ++g) {
        const std::size_t at = g * kLanes;
        const std::size_t n = rest > at ? std::min(rest - at, kLanes) : 0;
        m.g[g] = static_cast<__mmask16>(n == kLanes ? 0xFFFFu : (1u << n) - 1u);
    }
    return m;
}

// Sixteen floats at a byte address, any alignment; under a mask only the
// lanes of the mask are read (the others are zero).
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __m512 load16(const std::byte* p,
                                                                          __mmask16 m) {
    if constexpr (Masked)
        return _mm512_maskz_loadu_ps(m, p);
    else
        return _mm512_loadu_ps(p);
}

// Lanes of `m` whose pixel passes the threshold: "not less than", true for
// v >= t and for NaN (either side).
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 passing(const std::byte* p,
                                                                              __m512 t, __mmask16 m) {
    if constexpr (Masked)
        return _mm512_mask_cmp_ps_mask(m, load16<true>(p, m), t, _CMP_NLT_UQ);
    else
        return _mm512_cmp_ps_mask(load16<false>(p, m), t, _CMP_NLT_UQ);
}

// Eight floats at a byte address, any alignment; under a mask (AVX-512VL)
// only the lanes of the mask are read (the others are zero).
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __m256 load8(const std::byte* p, __mmask8 m) {
    if constexpr (Masked)
        return _mm256_maskz_loadu_ps(m, p);
    else
        return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
}

SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) unsigned good(__m256 bad, unsigned pass) {
    return pass & ~static_cast<unsigned>(_mm256_movemask_ps(bad)) & 0xFFu;
}

using Pass8 = unsigned;
using Mask8 = __mmask8;
#define SCAN_TARGET SONALOC_TARGET_AVX512
#include "core/detect/scan_neighbours.inl"

// ------------------------------------------------------------------ 2D

inline std::uint64_t pass_bits(__mmask16 a, __mmask16 b, __mmask16 c, __mmask16 d) noexcept {
    return std::uint64_t{a} | std::uint64_t{b} << 16 | std::uint64_t{c} << 32 | std::uint64_t{d} << 48;
}

// The bits test(q, lanes) gives for each group of 8 lanes holding a passing
// pixel (q its first lane, `lanes` its passing ones), placed at q: one loop
// over the groups, which costs fewer mispredicted branches than a test per
// group.
template <class Test>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t each_group(std::uint64_t pass,
                                                                                     Test&& test) {
    std::uint64_t bits = 0;
    while (pass != 0) {
        const unsigned q = static_cast<unsigned>(__builtin_ctzll(pass)) & ~7u;
        const unsigned lanes = static_cast<unsigned>(pass >> q) & 0xFFu;
        bits |= std::uint64_t{test(static_cast<std::ptrdiff_t>(q), lanes)} << q;
        pass &= ~(std::uint64_t{0xFF} << q);
    }
    return bits;
}

// One step of 64 pixels from column j: peaks as bits, bit q for column j + q.
// In the last, partial step the loads go under the passing lanes, which lie
// in the row.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t step2d(const Rows2D& r, std::size_t j,
                                                                                 __m512 t, const StepMasks& m) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * kF;
    const __mmask16 a = passing<Masked>(r.row + at, t, m.g[0]);
    const __mmask16 b = passing<Masked>(r.row + at + 16 * kF, t, m.g[1]);
    const __mmask16 c = passing<Masked>(r.row + at + 32 * kF, t, m.g[2]);
    const __mmask16 d = passing<Masked>(r.row + at + 48 * kF, t, m.g[3]);
    if ((a | b | c | d) == 0) return 0;
    return each_group(pass_bits(a, b, c, d), [&](std::ptrdiff_t q, unsigned lanes) SONALOC_TARGET_AVX512 {
        return peaks8<Masked>(r, at + q * kF, lanes, static_cast<__mmask8>(lanes));
    });
}

// ------------------------------------------------------------------ 3D

template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t step3d(const std::byte* line,
                                                                                 const Lines3D& nb, std::size_t k,
                                                                                 __m512 t, const StepMasks& m) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(k) * kF;
    const __mmask16 a = passing<Masked>(line + at, t, m.g[0]);
    const __mmask16 b = passing<Masked>(line + at + 16 * kF, t, m.g[1]);
    const __mmask16 c = passing<Masked>(line + at + 32 * kF, t, m.g[2]);
    const __mmask16 d = passing<Masked>(line + at + 48 * kF, t, m.g[3]);
    if ((a | b | c | d) == 0) return 0;
    return each_group(pass_bits(a, b, c, d), [&](std::ptrdiff_t q, unsigned lanes) SONALOC_TARGET_AVX512 {
        return peaks8<Masked>(line, nb, at + q * kF, lanes, static_cast<__mmask8>(lanes));
    });
}

// Positions q (0 .. 63) of a step in a run of whole lines that hold the first
// or last voxel of a line (k = 0 or n2 - 1), when position 0 holds k = k0.
inline std::uint64_t line_ends(std::size_t k0, std::size_t n2) noexcept {
    std::uint64_t m = 0;
    for (std::size_t q = (n2 - k0) % n2; q <= kStep; q += n2) {
        if (q < kStep) m |= std::uint64_t{1} << q;
        if (q >= 1) m |= std::uint64_t{1} << (q - 1);
    }
    return m;
}

// The interior voxels of one step of 64 at position o of a run of whole lines
// of n2 voxels that pass the threshold, as bits.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t run_step(const std::byte* run,
                                                                                   std::size_t o, std::size_t n2,
                                                                                   __m512 t, const StepMasks& m) {
    const std::byte* p = run + static_cast<std::ptrdiff_t>(o) * kF;
    const __mmask16 a = passing<Masked>(p, t, m.g[0]);
    const __mmask16 b = passing<Masked>(p + 16 * kF, t, m.g[1]);
    const __mmask16 c = passing<Masked>(p + 32 * kF, t, m.g[2]);
    const __mmask16 d = passing<Masked>(p + 48 * kF, t, m.g[3]);
    if ((a | b | c | d) == 0) return 0;
    return pass_bits(a, b, c, d) & ~line_ends(o % n2, n2);
}

inline float load_float(const std::byte* p) noexcept {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The neighbour test of the waiting groups, in order: loads under the voxels'
// own lanes, which read only inside the volume.
SONALOC_TARGET_AVX512 __attribute__((noinline)) void test_waiting(const Waiting* list, std::size_t n,
                                                                  const Lines3D& nb, std::size_t n2, Sink3D sink,
                                                                  void* state) {
    for (std::size_t e = 0; e < n; ++e) {
        const Waiting& w = list[e];
        const auto lanes = static_cast<__mmask8>(w.lanes);
        for (unsigned bits = peaks8<true>(w.p, nb, 0, w.lanes, lanes); bits != 0; bits &= bits - 1) {
            const unsigned g = static_cast<unsigned>(__builtin_ctz(bits));
            const std::size_t q = w.pos + g;
            sink(state, w.i, w.j0 + q / n2, q % n2, load_float(w.p + static_cast<std::ptrdiff_t>(g) * kF));
        }
    }
}

using Masks = StepMasks;
using Bits = std::uint64_t;
inline std::size_t lowest_bit(Bits bits) noexcept { return static_cast<std::size_t>(__builtin_ctzll(bits)); }
SONALOC_TARGET_AVX512 inline StepMasks step_masks(std::size_t rest) { return tail_masks(rest); }
SONALOC_TARGET_AVX512 inline auto splat_threshold(float t) { return _mm512_set1_ps(t); }

#include "core/detect/scan_drivers.inl"
#undef SCAN_TARGET

}  // namespace

SONALOC_TARGET_AVX512
void scan_rows_avx512(const PackedFrame& f, std::size_t row_begin, std::size_t row_end, float threshold,
                    Sink2D sink, void* state) {
    scan_rows_body(f, row_begin, row_end, threshold, sink, state);
}

SONALOC_TARGET_AVX512
void scan_lines_avx512(const PackedVolume& v, std::size_t line_begin, std::size_t line_end, float threshold,
                     Sink3D sink, void* state) {
    scan_lines_body(v, line_begin, line_end, threshold, sink, state);
}

}  // namespace sonaloc::scan
#endif
