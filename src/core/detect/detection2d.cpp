#include "core/detect/detection2d.hpp"

#include "core/coordinates.hpp"
#include "core/detect/peak_order.hpp"
#include "core/detect/scan_kernels.hpp"
#include "core/detect/thinning.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/simd/isa.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonaloc {

namespace {

#if defined(__SSE2__)
// Four consecutive floats at a byte address; any alignment.
inline __m128 load4(const std::byte* p) noexcept {
    __m128 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
#endif

struct ScanContext {
    const Matrix& image;
    float threshold;
    QuotientFirstAxis xmap, ymap;

    Peak2D peak(std::size_t i, std::size_t j, float v) const noexcept {
        return Peak2D{i, j, xmap(i), ymap(j), v};
    }
};

// Interior pixel (i, j) with value c, all eight neighbours inside: the test
// in the fixed neighbour order, stopping at the first disqualifying one.
// `above`, `row` and `below` point at column 0 of rows i - 1, i, i + 1;
// `cs` is the byte stride between columns.
inline bool is_interior_peak(const std::byte* above, const std::byte* row, const std::byte* below,
                             std::ptrdiff_t cs, std::size_t j, float c) noexcept {
    const std::ptrdiff_t l = static_cast<std::ptrdiff_t>(j - 1) * cs;
    const std::ptrdiff_t m = l + cs;
    const std::ptrdiff_t r = m + cs;
    // Earlier neighbours disqualify only when greater; later ones unless smaller.
    if (load(above + l) > c) return false;
    if (load(above + m) > c) return false;
    if (load(above + r) > c) return false;
    if (load(row + l) > c) return false;
    if (!(c > load(row + r))) return false;
    if (!(c > load(below + l))) return false;
    if (!(c > load(below + m))) return false;
    if (!(c > load(below + r))) return false;
    return true;
}

#if defined(__SSE2__)
// Pixels k .. k + 3 of a packed row (columns k - 1 .. k + 4 exist): bit g is
// set when pixel k + g is in `passes` (its threshold test) and is a peak.
inline unsigned peak_mask4(const std::byte* above, const std::byte* row, const std::byte* below,
                           std::size_t k, __m128 passes) noexcept {
    const std::ptrdiff_t m = static_cast<std::ptrdiff_t>(k) * 4;
    const __m128 c = load4(row + m);
    // Earlier neighbours disqualify when greater.
    __m128 bad = _mm_cmpgt_ps(load4(above + m - 4), c);
    bad = _mm_or_ps(bad, _mm_cmpgt_ps(load4(above + m), c));
    bad = _mm_or_ps(bad, _mm_cmpgt_ps(load4(above + m + 4), c));
    bad = _mm_or_ps(bad, _mm_cmpgt_ps(load4(row + m - 4), c));
    // Later neighbours disqualify unless smaller: not (c > u).
    bad = _mm_or_ps(bad, _mm_cmpngt_ps(c, load4(row + m + 4)));
    bad = _mm_or_ps(bad, _mm_cmpngt_ps(c, load4(below + m - 4)));
    bad = _mm_or_ps(bad, _mm_cmpngt_ps(c, load4(below + m)));
    bad = _mm_or_ps(bad, _mm_cmpngt_ps(c, load4(below + m + 4)));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_andnot_ps(bad, passes)));
}
#endif

// Row i of the candidate scan, columns 1 .. n_cols - 2, appending to `out`
// in increasing column order. Works for any strides.
void scan_row_strided(const ScanContext& ctx, std::size_t i, std::vector<Peak2D>& out) {
    const Matrix& im = ctx.image;
    const std::ptrdiff_t rs = im.strides[0];
    const std::ptrdiff_t cs = im.strides[1];
    const std::byte* row = im.data + static_cast<std::ptrdiff_t>(i) * rs;
    const std::byte* above = row - rs;
    const std::byte* below = row + rs;
    const std::size_t last = im.shape[1] - 1;
    for (std::size_t j = 1; j < last; ++j) {
        const float v = load(row + static_cast<std::ptrdiff_t>(j) * cs);
        if (v < ctx.threshold) continue;
        if (is_interior_peak(above, row, below, cs, j, v)) out.push_back(ctx.peak(i, j, v));
    }
}

// The same for rows whose elements are adjacent (column stride of one float):
// blocks of sixteen columns are tested against the threshold at once, and only
// the blocks holding a pixel that is not below it get the neighbour test. The
// last columns that do not fill a block go pixel by pixel.
void scan_row_packed(const ScanContext& ctx, std::size_t i, std::vector<Peak2D>& out) {
    const Matrix& im = ctx.image;
    constexpr std::ptrdiff_t cs = sizeof(float);
    const std::ptrdiff_t rs = im.strides[0];
    const std::byte* row = im.data + static_cast<std::ptrdiff_t>(i) * rs;
    const std::byte* above = row - rs;
    const std::byte* below = row + rs;
    const std::size_t last = im.shape[1] - 1;
    const float t = ctx.threshold;
    auto pixel = [&](std::size_t j) {
        const float v = load(row + static_cast<std::ptrdiff_t>(j) * cs);
        if (v < t) return;
        if (is_interior_peak(above, row, below, cs, j, v)) out.push_back(ctx.peak(i, j, v));
    };
    std::size_t j = 1;
#if defined(__SSE2__)
    constexpr std::size_t kBlock = 16;
    const __m128 tv = _mm_set1_ps(t);
    for (; j + kBlock <= last; j += kBlock) {
        const std::byte* p = row + static_cast<std::ptrdiff_t>(j) * cs;
        // "not less than" is true for v >= t and for NaN: both are candidates.
        const __m128 a = _mm_cmpnlt_ps(load4(p), tv);
        const __m128 b = _mm_cmpnlt_ps(load4(p + 16), tv);
        const __m128 c = _mm_cmpnlt_ps(load4(p + 32), tv);
        const __m128 d = _mm_cmpnlt_ps(load4(p + 48), tv);
        if (_mm_movemask_ps(_mm_or_ps(_mm_or_ps(a, b), _mm_or_ps(c, d))) == 0) continue;
        // The neighbour test of the sixteen pixels, four at a time and
        // without branches: the comparisons of is_interior_peak, all of them
        // evaluated. Peaks come out in increasing column order.
        unsigned bits = peak_mask4(above, row, below, j, a) |
                        peak_mask4(above, row, below, j + 4, b) << 4 |
                        peak_mask4(above, row, below, j + 8, c) << 8 |
                        peak_mask4(above, row, below, j + 12, d) << 12;
        for (; bits != 0; bits &= bits - 1) {
            const std::size_t q = j + static_cast<std::size_t>(std::countr_zero(bits));
            out.push_back(ctx.peak(i, q, load(row + static_cast<std::ptrdiff_t>(q) * cs)));
        }
    }
#endif
    for (; j < last; ++j) pixel(j);
}

bool packed_rows(const Matrix& im) noexcept {
#if defined(__SSE2__)
    // Block loads read any address; only the column stride matters.
    return im.strides[1] == static_cast<std::ptrdiff_t>(sizeof(float));
#else
    return false;
#endif
}

// The scan of rows row_begin .. row_end - 1 on a wider instruction set, for
// packed rows: the kernel hands its peaks to `append`, in row-major order.
using RowKernel = void (*)(const scan::PackedFrame&, std::size_t, std::size_t, float, scan::Sink2D, void*);

RowKernel wide_row_kernel(const Matrix& im) noexcept {
#if defined(__x86_64__)
    if (im.strides[1] == static_cast<std::ptrdiff_t>(sizeof(float))) {
        switch (simd::isa()) {
            case simd::Isa::Avx512: return scan::scan_rows_avx512;
            case simd::Isa::Avx2: return scan::scan_rows_avx2;
            case simd::Isa::Portable: break;
        }
    }
#else
    (void)im;
#endif
    return nullptr;
}

struct RowSink {
    const ScanContext& ctx;
    std::vector<Peak2D>& out;

    static void append(void* self, std::size_t i, std::size_t j, float v) {
        auto* s = static_cast<RowSink*>(self);
        s->out.push_back(s->ctx.peak(i, j, v));
    }
};

// Candidates in row-major order: the interior rows are cut into consecutive
// bands scanned in parallel, each into its own list, and the lists are joined
// in band order, so the order does not depend on the schedule.
std::vector<Peak2D> find_peaks(const ScanContext& ctx) {
    const Matrix& im = ctx.image;
    const std::size_t rows = im.shape[0] - 2;
    const bool packed = packed_rows(im);
    const RowKernel wide = wide_row_kernel(im);
    const scan::PackedFrame frame{im.data, im.strides[0], im.shape[1]};
    // Enough pixels per band that small images stay on the calling thread.
    const std::size_t min_rows = std::max<std::size_t>(1, (std::size_t{1} << 15) / im.shape[1]);
    const std::size_t bands =
        std::max<std::size_t>(1, std::min(parallel::thread_count() * 4, rows / min_rows));
    return parallel::collect<Peak2D>(bands, [&](std::size_t band, std::vector<Peak2D>& found) {
        const std::size_t begin = rows * band / bands + 1;
        const std::size_t end = rows * (band + 1) / bands + 1;
        if (wide) {
            RowSink sink{ctx, found};
            // In runs of rows, with an interrupt check point between them.
            constexpr std::size_t kRun = 16;
            for (std::size_t r = begin; r < end; r += kRun) {
                interrupt::check();
                wide(frame, r, std::min(end, r + kRun), ctx.threshold, &RowSink::append, &sink);
            }
            return;
        }
        for (std::size_t r = begin; r < end; ++r) {
            interrupt::check_every(r, 16);
            if (packed)
                scan_row_packed(ctx, r, found);
            else
                scan_row_strided(ctx, r, found);
        }
    });
}

// The 2D thinning test: min_distance^2 > dx^2 + dy^2 in floats.
inline bool too_close(const Peak2D& p, const std::array<float, 2>& k, float limit) noexcept {
    const float dx = p.x - k[0];
    const float dy = p.y - k[1];
    return limit > dx * dx + dy * dy;
}

// For candidates in scan order, all at finite positions: whether each lies
// within d of another along both axes (|x - x'| < d and |y - y'| < d in
// float), the only candidates the thinning test can be true for (see
// CellIndex). x grows or falls with the row and y with the column, and so do
// their float differences, so the rows within d of a row follow it, and in
// each of them the candidates within d of one form a run that moves right as
// the candidate does. Nothing when those rows hold too many candidates to
// pair cheaply (degenerate extents put every row within d of every other).
std::optional<std::vector<std::uint8_t>> crowding(const std::vector<Peak2D>& c, float d) {
    const std::size_t n = c.size();
    if (n == 0) return std::vector<std::uint8_t>{};
    for (const Peak2D& p : c)
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
    std::vector<std::size_t> rows{0};  // start of each row's candidates, then n
    for (std::size_t i = 1; i < n; ++i)
        if (c[i].row != c[i - 1].row) rows.push_back(i);
    rows.push_back(n);
    const std::size_t n_rows = rows.size() - 1;
    // The rows r .. near[r] - 1 lie within d of row r; pairing row r with
    // each of them reads both: the work is known before any is done.
    std::vector<std::size_t> near(n_rows);
    const std::size_t budget = 8 * n + 1024;
    std::size_t work = 0;
    for (std::size_t r = 0, t = 0; r < n_rows; ++r) {
        if (t < r + 1) t = r + 1;
        while (t < n_rows && std::fabs(c[rows[t]].x - c[rows[r]].x) < d) ++t;
        near[r] = t;
        // (near - r) pairs, each reading row r and one of the rows r .. near - 1
        work += (t - r) * (rows[r + 1] - rows[r]) + (rows[t] - rows[r]);
        if (work > budget) return std::nullopt;
    }
    std::vector<std::uint8_t> crowded(n, 0);
    std::vector<std::int32_t> marks(n + 1, 0);  // +1 / -1 at the ends of runs crowded from another row
    for (std::size_t r = 0; r < n_rows; ++r) {
        const std::size_t b = rows[r], e = rows[r + 1];
        for (std::size_t t = r; t < near[r]; ++t) {
            const std::size_t tb = rows[t], te = rows[t + 1];
            std::size_t lo = tb, hi = tb;
            for (std::size_t a = b; a < e; ++a) {
                const Peak2D& p = c[a];
                while (lo < te && c[lo].col < p.col && !(std::fabs(c[lo].y - p.y) < d)) ++lo;
                if (hi < lo) hi = lo;
                while (hi < te && (c[hi].col <= p.col || std::fabs(c[hi].y - p.y) < d)) ++hi;
                if (t == r) {
                    if (hi - lo > 1) crowded[a] = 1;  // the run holds p itself
                } else if (hi > lo) {
                    crowded[a] = 1;
                    ++marks[lo];
                    --marks[hi];
                }
            }
        }
    }
    std::int32_t open = 0;
    for (std::size_t i = 0; i < n; ++i) {
        open += marks[i];
        if (open > 0) crowded[i] = 1;
    }
    return crowded;
}

}  // namespace

std::vector<Peak2D> detect_peaks(const Matrix& image, const Extent2D& extent, float threshold,
                                 float min_distance) {
    if (image.shape[0] < 3 || image.shape[1] < 3) return {};
    const ScanContext ctx{image, threshold, QuotientFirstAxis(extent.x_first, extent.x_last, image.shape[0]),
                          QuotientFirstAxis(extent.y_first, extent.y_last, image.shape[1])};
    std::vector<Peak2D> candidates = find_peaks(ctx);  // in scan order
    const float limit = min_distance * min_distance;
    auto position = [](const Peak2D& p) { return std::array<float, 2>{p.x, p.y}; };
    auto close = [limit](const Peak2D& p, const std::array<float, 2>& k) { return too_close(p, k, limit); };
    // Candidates close to no other are found in scan order, then kept untested.
    const float d = std::fabs(min_distance);
    std::optional<std::vector<std::uint8_t>> crowded;
    if (limit > 0.0f && std::isfinite(limit) && candidates.size() < (std::size_t{1} << 31))
        crowded = crowding(candidates, d);
    if (!crowded) {
        sort_peaks_by_intensity(candidates);
        return thin_by_distance<2>(candidates, min_distance, position, close);
    }
    const std::vector<std::uint32_t> order = intensity_order(candidates);
    std::vector<Peak2D> sorted;
    sorted.reserve(order.size());
    for (std::uint32_t i : order) sorted.push_back(candidates[i]);
    return thin_by_distance<2>(sorted, min_distance, position, close,
                               [&](std::size_t q) { return (*crowded)[order[q]] == 0; });
}

}  // namespace sonaloc
