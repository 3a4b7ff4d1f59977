#include "core/detect/detection2d.hpp"

#include "core/detect/peak_order.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

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

// An equal (or unordered) neighbour disqualifies the centre when it comes
// later in row-major order.
constexpr bool comes_later(int d0, int d1) noexcept { return d0 > 0 || (d0 == 0 && d1 > 0); }

// The neighbour test of one pixel: u > c disqualifies; c > u passes; anything
// else (equal, or NaN on either side) disqualifies only a later neighbour.
inline bool neighbour_disqualifies(float c, float u, int d0, int d1) noexcept {
    if (u > c) return true;
    if (c > u) return false;
    return comes_later(d0, d1);
}

// Grid mapping of one axis: index i lies at first + i * ((last - first) / (n - 1)).
struct AxisMap {
    float first;
    float step;
    AxisMap(float first_, float last, std::size_t n)
        : first(first_), step((last - first_) / (static_cast<float>(n) - 1.0f)) {}
    float operator()(std::size_t i) const noexcept { return first + static_cast<float>(i) * step; }
};

struct ScanContext {
    const Matrix& image;
    float threshold;
    AxisMap xmap, ymap;

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

// Candidates in row-major order: the interior rows are cut into consecutive
// bands scanned in parallel, each into its own list, and the lists are joined
// in band order, so the order does not depend on the schedule.
std::vector<Peak2D> find_peaks(const ScanContext& ctx) {
    const Matrix& im = ctx.image;
    const std::size_t rows = im.shape[0] - 2;
    const bool packed = packed_rows(im);
    // Enough pixels per band that small images stay on the calling thread.
    const std::size_t min_rows = std::max<std::size_t>(1, (std::size_t{1} << 15) / im.shape[1]);
    const std::size_t bands =
        std::max<std::size_t>(1, std::min(parallel::thread_count() * 4, rows / min_rows));
    std::vector<std::vector<Peak2D>> found(bands);
    parallel::for_each(bands, [&](std::size_t band) {
        const std::size_t end = rows * (band + 1) / bands;
        for (std::size_t r = rows * band / bands; r < end; ++r) {
            interrupt::check_every(r, 16);
            if (packed)
                scan_row_packed(ctx, r + 1, found[band]);
            else
                scan_row_strided(ctx, r + 1, found[band]);
        }
    });
    if (bands == 1) return std::move(found[0]);
    std::size_t total = 0;
    for (const auto& v : found) total += v.size();
    std::vector<Peak2D> all;
    all.reserve(total);
    for (const auto& v : found) all.insert(all.end(), v.begin(), v.end());
    return all;
}

// Greedy in the given order: a peak is dropped when it lies closer than
// min_distance to any peak kept before it, that is when md2 > d2 with
// d2 = (x - x_kept)^2 + (y - y_kept)^2 in floats.
//
// Only kept peaks near the candidate can drop it: if |x - x_kept| >= D
// (D = |min_distance|, exact difference) then the rounded difference is at
// least D in magnitude too, its rounded square at least md2 = D * D, and so is
// the rounded sum; likewise along y. So the kept peaks are filed in a grid of
// cells at least D wide, and a candidate is tested (with the exact float
// expression) against the kept peaks of its own and the eight surrounding
// cells only. The result is the one of testing against every kept peak.
//
// A peak with a coordinate that is not finite is never close to any other:
// its difference along that axis is infinite or NaN, so d2 is too, and
// md2 > d2 is false. Such peaks are always kept and stay out of the grid.
inline bool finite_position(const Peak2D& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

class KeptGrid {
public:
    // Lays the grid over the finite positions. False when the distance is
    // not finite; the caller then tests every kept peak.
    bool build(const std::vector<Peak2D>& peaks, float distance) {
        const double d = std::fabs(static_cast<double>(distance));
        if (!std::isfinite(d)) return false;
        double x_lo = 0.0, x_hi = 0.0, y_lo = 0.0, y_hi = 0.0;
        bool first = true;
        for (const Peak2D& p : peaks) {
            if (!finite_position(p)) continue;
            if (first) {
                x_lo = x_hi = p.x;
                y_lo = y_hi = p.y;
                first = false;
            }
            x_lo = std::min<double>(x_lo, p.x);
            x_hi = std::max<double>(x_hi, p.x);
            y_lo = std::min<double>(y_lo, p.y);
            y_hi = std::max<double>(y_hi, p.y);
        }
        // Cells a little wider than D absorb the rounding of the cell index;
        // never more than about four cells per peak.
        const double per_axis = 2.0 * std::ceil(std::sqrt(static_cast<double>(peaks.size()))) + 1.0;
        cell_x_ = std::max(d * 1.001, (x_hi - x_lo) / per_axis);
        cell_y_ = std::max(d * 1.001, (y_hi - y_lo) / per_axis);
        if (!(cell_x_ > 0.0) || !(cell_y_ > 0.0) || !std::isfinite(cell_x_) || !std::isfinite(cell_y_))
            return false;
        x_lo_ = x_lo;
        y_lo_ = y_lo;
        // Both quotients are at most per_axis: the conversions are exact.
        nx_ = static_cast<std::size_t>((x_hi - x_lo) / cell_x_) + 1;
        ny_ = static_cast<std::size_t>((y_hi - y_lo) / cell_y_) + 1;
        head_.assign(nx_ * ny_, kNone);
        next_.clear();
        return true;
    }

    // (x, y) must be finite and among the positions the grid was built on.
    void add(std::uint32_t kept_index, float x, float y) {
        const std::size_t c = cell(ix(x), iy(y));
        if (next_.size() <= kept_index) next_.resize(kept_index + std::size_t{1}, kNone);
        next_[kept_index] = head_[c];
        head_[c] = kept_index;
    }

    // Calls f(kept index) for the kept peaks of the 3 x 3 cells around (x, y)
    // until f returns true; returns whether it did.
    template <class F>
    bool any_near(float x, float y, F&& f) const {
        const std::size_t cx = ix(x), cy = iy(y);
        const std::size_t x0 = cx == 0 ? 0 : cx - 1, x1 = std::min(cx + 1, nx_ - 1);
        const std::size_t y0 = cy == 0 ? 0 : cy - 1, y1 = std::min(cy + 1, ny_ - 1);
        for (std::size_t a = x0; a <= x1; ++a)
            for (std::size_t b = y0; b <= y1; ++b)
                for (std::uint32_t k = head_[cell(a, b)]; k != kNone; k = next_[k])
                    if (f(k)) return true;
        return false;
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // Clamping only ever brings cells closer together, which costs tests but
    // never skips a kept peak that matters.
    std::size_t ix(float x) const {
        return std::min(static_cast<std::size_t>((x - x_lo_) / cell_x_), nx_ - 1);
    }
    std::size_t iy(float y) const {
        return std::min(static_cast<std::size_t>((y - y_lo_) / cell_y_), ny_ - 1);
    }
    std::size_t cell(std::size_t a, std::size_t b) const { return a * ny_ + b; }

    double x_lo_ = 0.0, y_lo_ = 0.0, cell_x_ = 1.0, cell_y_ = 1.0;
    std::size_t nx_ = 1, ny_ = 1;
    std::vector<std::uint32_t> head_;  // first kept peak of each cell
    std::vector<std::uint32_t> next_;  // by kept index: next kept peak in the same cell
};

std::vector<Peak2D> thin_by_distance(const std::vector<Peak2D>& sorted, float min_distance) {
    const float md2 = min_distance * min_distance;
    // d2 is a sum of squares (>= 0 or NaN): with md2 not above 0 nothing is dropped.
    if (!(md2 > 0.0f)) return sorted;
    std::vector<Peak2D> kept;
    std::vector<float> kx, ky;  // kept positions, compact for the tests
    auto too_close = [&](const Peak2D& p, std::size_t k) {
        const float dx = p.x - kx[k];
        const float dy = p.y - ky[k];
        const float d2 = dx * dx + dy * dy;
        return md2 > d2;
    };
    KeptGrid grid;
    if (sorted.size() < 0xFFFFFFFFu && std::isfinite(md2) && grid.build(sorted, min_distance)) {
        for (const Peak2D& p : sorted) {
            interrupt::check_every(static_cast<std::size_t>(&p - sorted.data()), 4096);
            if (finite_position(p)) {
                if (grid.any_near(p.x, p.y, [&](std::uint32_t k) { return too_close(p, k); }))
                    continue;
                grid.add(static_cast<std::uint32_t>(kept.size()), p.x, p.y);
            }
            kept.push_back(p);
            kx.push_back(p.x);
            ky.push_back(p.y);
        }
        return kept;
    }
    for (const Peak2D& p : sorted) {
        interrupt::check_every(static_cast<std::size_t>(&p - sorted.data()), 256);
        bool close = false;
        for (std::size_t k = 0; k < kept.size() && !close; ++k) close = too_close(p, k);
        if (close) continue;
        kept.push_back(p);
        kx.push_back(p.x);
        ky.push_back(p.y);
    }
    return kept;
}

}  // namespace

bool is_peak_in_neighborhood(const Matrix& image, std::size_t row, std::size_t col,
                             std::span<const Offset2D> offsets) {
    const float c = image.at(row, col);
    for (const auto& [d0, d1] : offsets) {
        // Unsigned wrap-around puts row 0 - 1 far outside, like any index >= n.
        const std::size_t r = row + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(d0));
        const std::size_t k = col + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(d1));
        if (r >= image.shape[0] || k >= image.shape[1]) continue;
        if (neighbour_disqualifies(c, image(r, k), d0, d1)) return false;
    }
    return true;
}

std::vector<Peak2D> detect_peaks(const Matrix& image, const Extent2D& extent, float threshold,
                                 float min_distance) {
    if (image.shape[0] < 3 || image.shape[1] < 3) return {};
    const ScanContext ctx{image, threshold, AxisMap(extent.x_first, extent.x_last, image.shape[0]),
                          AxisMap(extent.y_first, extent.y_last, image.shape[1])};
    std::vector<Peak2D> candidates = find_peaks(ctx);
    sort_peaks_by_intensity(candidates);
    return thin_by_distance(candidates, min_distance);
}

std::pair<Output<float>, Output<float>> build_output_arrays(const std::vector<Peak2D>& peaks) {
    const std::size_t n = peaks.size();
    Output<float> positions{std::vector<float>(2 * n), {n, 2}};
    Output<float> intensities{std::vector<float>(n), {n}};
    for (std::size_t k = 0; k < n; ++k) {
        positions.data[2 * k] = peaks[k].x;
        positions.data[2 * k + 1] = peaks[k].y;
        intensities.data[k] = peaks[k].intensity;
    }
    return {std::move(positions), std::move(intensities)};
}

}  // namespace sonaloc
