// The 2D and 3D candidate scans in AVX-512: the threshold test of 64 pixels
// per step (four registers of 16 lanes, their masks or-ed), and the neighbour
// test, only for steps holding a pixel that is not below the threshold, as a
// chain of masked comparisons of 16 pixels at a time. The columns after the
// last full step go through the same code with masked loads, which read no
// lane outside the row.
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

// Lanes of `pass` whose pixel passes the threshold: "not less than", true for
// v >= t and for NaN (either side).
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 passing(const std::byte* p,
                                                                              __m512 t, __mmask16 m) {
    if constexpr (Masked)
        return _mm512_mask_cmp_ps_mask(m, load16<true>(p, m), t, _CMP_NLT_UQ);
    else
        return _mm512_cmp_ps_mask(load16<false>(p, m), t, _CMP_NLT_UQ);
}

// The two halves of the tie rule, applied to the lanes still in `ok`: an
// earlier neighbour u disqualifies when u > c, a later one unless c > u.
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 keep_earlier(__mmask16 ok, __m512 u,
                                                                                   __m512 c) {
    return _mm512_mask_cmp_ps_mask(ok, u, c, _CMP_NGT_UQ);
}
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 keep_later(__mmask16 ok, __m512 u,
                                                                                 __m512 c) {
    return _mm512_mask_cmp_ps_mask(ok, c, u, _CMP_GT_OQ);
}

// ------------------------------------------------------------------ 2D

struct Rows2D {
    const std::byte* above;
    const std::byte* row;
    const std::byte* below;
};

// Lanes of `pass` (pixels at byte offset `at` of the row and after) that are
// peaks of their eight neighbours.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 peaks16(const Rows2D& r, std::ptrdiff_t at,
                                                                              __mmask16 pass, __mmask16 m) {
    const __m512 c = load16<Masked>(r.row + at, m);
    __mmask16 ok = pass;
    ok = keep_earlier(ok, load16<Masked>(r.above + at - kF, m), c);
    ok = keep_earlier(ok, load16<Masked>(r.above + at, m), c);
    ok = keep_earlier(ok, load16<Masked>(r.above + at + kF, m), c);
    ok = keep_earlier(ok, load16<Masked>(r.row + at - kF, m), c);
    ok = keep_later(ok, load16<Masked>(r.row + at + kF, m), c);
    ok = keep_later(ok, load16<Masked>(r.below + at - kF, m), c);
    ok = keep_later(ok, load16<Masked>(r.below + at, m), c);
    ok = keep_later(ok, load16<Masked>(r.below + at + kF, m), c);
    return ok;
}

// One step of 64 pixels from column j: peaks as bits, bit q for column j + q.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t step2d(const Rows2D& r, std::size_t j,
                                                                                 __m512 t, const StepMasks& m) {
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * kF;
    const __mmask16 a = passing<Masked>(r.row + at, t, m.g[0]);
    const __mmask16 b = passing<Masked>(r.row + at + 16 * kF, t, m.g[1]);
    const __mmask16 c = passing<Masked>(r.row + at + 32 * kF, t, m.g[2]);
    const __mmask16 d = passing<Masked>(r.row + at + 48 * kF, t, m.g[3]);
    if ((a | b | c | d) == 0) return 0;
    return std::uint64_t{peaks16<Masked>(r, at, a, m.g[0])} |
           std::uint64_t{peaks16<Masked>(r, at + 16 * kF, b, m.g[1])} << 16 |
           std::uint64_t{peaks16<Masked>(r, at + 32 * kF, c, m.g[2])} << 32 |
           std::uint64_t{peaks16<Masked>(r, at + 48 * kF, d, m.g[3])} << 48;
}

// ------------------------------------------------------------------ 3D

// The eight other lines of a 3x3 block of lines, as byte offsets from the
// centre line: those before it in the tie order (i - 1, or i and j - 1) and
// those after it (j + 1, or i + 1).
struct Lines3D {
    std::ptrdiff_t earlier[4];
    std::ptrdiff_t later[4];
};

// Lanes of `pass` (voxels at byte offset `at` of the line) that are maxima
// of their 26 neighbours. Along the line, k - 1 follows the centre in the
// tie order and k + 1 precedes it.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) __mmask16 peaks16(const std::byte* line,
                                                                              const Lines3D& nb,
                                                                              std::ptrdiff_t at, __mmask16 pass,
                                                                              __mmask16 m) {
    const std::byte* p = line + at;
    const __m512 c = load16<Masked>(p, m);
    __mmask16 ok = pass;
    ok = keep_earlier(ok, load16<Masked>(p + kF, m), c);
    ok = keep_later(ok, load16<Masked>(p - kF, m), c);
    for (std::ptrdiff_t o : nb.earlier) {
        ok = keep_earlier(ok, load16<Masked>(p + o - kF, m), c);
        ok = keep_earlier(ok, load16<Masked>(p + o, m), c);
        ok = keep_earlier(ok, load16<Masked>(p + o + kF, m), c);
    }
    for (std::ptrdiff_t o : nb.later) {
        ok = keep_later(ok, load16<Masked>(p + o - kF, m), c);
        ok = keep_later(ok, load16<Masked>(p + o, m), c);
        ok = keep_later(ok, load16<Masked>(p + o + kF, m), c);
    }
    return ok;
}

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
    return std::uint64_t{peaks16<Masked>(line, nb, at, a, m.g[0])} |
           std::uint64_t{peaks16<Masked>(line, nb, at + 16 * kF, b, m.g[1])} << 16 |
           std::uint64_t{peaks16<Masked>(line, nb, at + 32 * kF, c, m.g[2])} << 32 |
           std::uint64_t{peaks16<Masked>(line, nb, at + 48 * kF, d, m.g[3])} << 48;
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

// The neighbour test of the interior voxels `bits` of a step starting at p:
// loads under the voxels' own lanes, which read only inside the volume.
SONALOC_TARGET_AVX512 __attribute__((noinline)) std::uint64_t interior_peaks(const std::byte* p, const Lines3D& nb,
                                                                             std::uint64_t bits) {
    std::uint64_t out = 0;
    for (unsigned g = 0; g < 4; ++g) {
        const auto lanes = static_cast<__mmask16>(bits >> (16 * g));
        if (lanes != 0)
            out |= std::uint64_t{peaks16<true>(p, nb, static_cast<std::ptrdiff_t>(16 * g) * kF, lanes, lanes)}
                   << (16 * g);
    }
    return out;
}

// One step of 64 voxels at position o of a run of whole lines of n2 voxels:
// the threshold test of all, the neighbour test of the interior ones.
template <bool Masked>
SONALOC_TARGET_AVX512 inline __attribute__((always_inline)) std::uint64_t run_step(const std::byte* run,
                                                                                   const Lines3D& nb, std::size_t o,
                                                                                   std::size_t n2, __m512 t,
                                                                                   const StepMasks& m) {
    const std::byte* p = run + static_cast<std::ptrdiff_t>(o) * kF;
    const __mmask16 a = passing<Masked>(p, t, m.g[0]);
    const __mmask16 b = passing<Masked>(p + 16 * kF, t, m.g[1]);
    const __mmask16 c = passing<Masked>(p + 32 * kF, t, m.g[2]);
    const __mmask16 d = passing<Masked>(p + 48 * kF, t, m.g[3]);
    if ((a | b | c | d) == 0) return 0;
    const std::uint64_t pass = std::uint64_t{a} | std::uint64_t{b} << 16 | std::uint64_t{c} << 32 |
                               std::uint64_t{d} << 48;
    const std::uint64_t interior = pass & ~line_ends(o % n2, n2);
    return interior == 0 ? 0 : interior_peaks(p, nb, interior);
}

inline float load_float(const std::byte* p) noexcept {
    float v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

SONALOC_TARGET_AVX512
void scan_rows_avx512(const PackedFrame& f, std::size_t row_begin, std::size_t row_end, float threshold,
                      Sink2D sink, void* state) {
    const std::size_t interior = f.n_cols - 2;
    const std::size_t full = interior / kStep;
    const std::size_t rest = interior % kStep;
    const StepMasks all{{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}};
    const StepMasks tail = tail_masks(rest);
    const __m512 t = _mm512_set1_ps(threshold);
    for (std::size_t i = row_begin; i < row_end; ++i) {
        const std::byte* row = f.data + static_cast<std::ptrdiff_t>(i) * f.row_stride;
        const Rows2D r{row - f.row_stride, row, row + f.row_stride};
        auto emit = [&](std::uint64_t bits, std::size_t j) {
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t q = j + static_cast<std::size_t>(__builtin_ctzll(bits));
                sink(state, i, q, load_float(row + static_cast<std::ptrdiff_t>(q) * kF));
            }
        };
        std::size_t j = 1;
        for (std::size_t s = 0; s < full; ++s, j += kStep)
            if (const std::uint64_t bits = step2d<false>(r, j, t, all)) emit(bits, j);
        if (rest != 0)
            if (const std::uint64_t bits = step2d<true>(r, j, t, tail)) emit(bits, j);
    }
}

SONALOC_TARGET_AVX512
void scan_lines_avx512(const PackedVolume& v, std::size_t line_begin, std::size_t line_end, float threshold,
                       Sink3D sink, void* state) {
    if (line_begin >= line_end) return;
    const std::size_t interior = v.n2 - 2;
    const std::size_t full = interior / kStep;
    const std::size_t rest = interior % kStep;
    const StepMasks all{{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}};
    const StepMasks tail = tail_masks(rest);
    const __m512 t = _mm512_set1_ps(threshold);
    const std::ptrdiff_t s0 = v.stride0, s1 = v.stride1;
    const Lines3D nb{{-s0 - s1, -s0, -s0 + s1, -s1}, {s1, s0 - s1, s0, s0 + s1}};
    const std::size_t per_plane = v.n1 - 2;
    if (s1 == static_cast<std::ptrdiff_t>(v.n2) * kF) {
        // The lines of a plane are adjacent: the chunk's lines of each plane
        // form one run, scanned in steps that cross line ends; the first and
        // last voxel of each line are left out before the neighbour test.
        for (std::size_t l = line_begin; l < line_end;) {
            const std::size_t i = 1 + l / per_plane;
            const std::size_t j0 = 1 + l % per_plane;
            const std::size_t stop = std::min(line_end, i * per_plane);
            const std::byte* run =
                v.data + static_cast<std::ptrdiff_t>(i) * s0 + static_cast<std::ptrdiff_t>(j0) * s1;
            const std::size_t length = (stop - l) * v.n2;
            const StepMasks last = tail_masks(length % kStep);
            auto emit = [&](std::uint64_t bits, std::size_t o) {
                for (; bits != 0; bits &= bits - 1) {
                    const std::size_t q = o + static_cast<std::size_t>(__builtin_ctzll(bits));
                    sink(state, i, j0 + q / v.n2, q % v.n2, load_float(run + static_cast<std::ptrdiff_t>(q) * kF));
                }
            };
            std::size_t o = 0;
            for (; o + kStep <= length; o += kStep)
                if (const std::uint64_t bits = run_step<false>(run, nb, o, v.n2, t, all)) emit(bits, o);
            if (o < length)
                if (const std::uint64_t bits = run_step<true>(run, nb, o, v.n2, t, last)) emit(bits, o);
            l = stop;
        }
        return;
    }
    std::size_t i = 1 + line_begin / per_plane;
    std::size_t j = 1 + line_begin % per_plane;
    for (std::size_t l = line_begin; l < line_end; ++l) {
        const std::byte* line =
            v.data + static_cast<std::ptrdiff_t>(i) * s0 + static_cast<std::ptrdiff_t>(j) * s1;
        auto emit = [&](std::uint64_t bits, std::size_t k) {
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t q = k + static_cast<std::size_t>(__builtin_ctzll(bits));
                sink(state, i, j, q, load_float(line + static_cast<std::ptrdiff_t>(q) * kF));
            }
        };
        std::size_t k = 1;
        for (std::size_t s = 0; s < full; ++s, k += kStep)
            if (const std::uint64_t bits = step3d<false>(line, nb, k, t, all)) emit(bits, k);
        if (rest != 0)
            if (const std::uint64_t bits = step3d<true>(line, nb, k, t, tail)) emit(bits, k);
        if (++j == v.n1 - 1) {
            j = 1;
            ++i;
        }
    }
}

}  // namespace sonaloc::scan
#endif
