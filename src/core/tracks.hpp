// 2D track records for rendering: cutting the point matrix into tracks, the
// render grid, the conversion of physical points to grid cells, and the line
// walk between consecutive cells.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/numeric.hpp"
#include "core/view.hpp"

namespace sonaloc {

using i128 = __int128;
using u128 = unsigned __int128;

// ---------------------------------------------------------------- grid

// One axis of a render grid: cell k is centred at lo + k * pixel size, and
// `hi` (the adjusted upper bound) is one pixel size times `n` above `lo`.
struct AxisGrid {
    float lo = 0.0f;
    float hi = 0.0f;
    std::uint64_t n = 0;
};

// Rounds the range up to whole cells unless it exceeds a whole number of
// cells by less than 0.001 of a cell.
inline AxisGrid axis_grid(float lo, float hi, float pixel_size) {
    const float f = ((hi - lo) + 0.999f * pixel_size) / pixel_size;
    const auto n = saturate_cast<std::uint64_t>(f);
    return {lo, lo + pixel_size * static_cast<float>(n), n};
}

// Cell coordinate of c on the axis, rounded half away from zero; the division
// by the adjusted range (not by the pixel size) fixes the rounding.
inline float axis_position(float c, const AxisGrid& a) {
    return ((c - a.lo) / (a.hi - a.lo)) * static_cast<float>(a.n);
}

// The render grid: one AxisGrid per axis, x first. Cell (x, y[, z]) is at
// position x * ny + y (2D) or (x * ny + y) * nz + z (3D) of the images.
template <std::size_t D>
struct RenderGrid {
    std::array<AxisGrid, D> axes;

    std::uint64_t cells() const noexcept {
        std::uint64_t n = 1;
        for (const auto& a : axes) n *= a.n;
        return n;
    }
    std::vector<std::size_t> shape() const {
        std::vector<std::size_t> s;
        for (const auto& a : axes) s.push_back(a.n);
        return s;
    }
};

// The grid rule on every axis of (lo0, hi0, lo1, hi1, ...), refusing what
// can never be drawn before anything is allocated: a pixel size that is zero,
// negative, infinite or NaN; an axis longer than `max_axis` cells; a grid
// whose images (`bytes_per_cell` bytes per cell together) overflow the
// machine word or exceed the memory available now. Extents give what the rule
// gives (an upper bound below the lower one, or NaN, makes an empty axis).
template <std::size_t D>
RenderGrid<D> make_render_grid(const std::array<float, 2 * D>& extent, float pixel_size,
                               std::size_t bytes_per_cell, std::uint64_t max_axis);
RenderGrid<2> render_grid_2d(const std::array<float, 4>& extent, float pixel_size,
                             std::size_t bytes_per_cell);

// ---------------------------------------------------------------- cutting

// Negative row ends describe no rows; they are refused before any row is read.
void check_track_ends(const IndexVector& ends);

// Cuts the matrix by the exclusive row ends: calls row(r) for the rows of each
// track in order and end_track() after each entry (also for empty tracks).
// The start of a track is the previous entry, also when that lies beyond the
// matrix or behind the start before it; rows beyond the matrix are cut off.
// A matrix with fewer than `columns` columns faults when a row is first read.
template <class Row, class EndTrack>
void cut_tracks(const Matrix& m, const IndexVector& ends, std::size_t columns, Row&& row,
                EndTrack&& end_track) {
    const std::size_t rows = m.size(0);
    std::size_t start = 0;
    for (std::size_t t = 0; t < ends.size(0); ++t) {
        const auto e = static_cast<std::size_t>(ends(t));  // non-negative (check_track_ends)
        const std::size_t stop = std::min(e, rows);
        if (start < stop) {
            (void)m.at(start, columns - 1);
            for (std::size_t r = start; r < stop; ++r) row(r);
        }
        end_track();
        start = e;
    }
}

// Tracks stored one after another: track t holds points[ends[t-1] .. ends[t]).
template <class P>
struct ImageTracks {
    std::vector<P> points;
    std::vector<std::size_t> ends;

    std::size_t size() const noexcept { return ends.size(); }
    std::span<const P> track(std::size_t t) const noexcept {
        const std::size_t b = t == 0 ? 0 : ends[t - 1];
        return {points.data() + b, ends[t] - b};
    }
};

// Cuts the matrix and converts every point to grid cells, keeping only the
// first point of each run of consecutive points in the same cell. Shared by
// 2D and 3D: P provides `columns`, `from_row(m, r, grid)` and `same_cell`.
template <class P, class Grid>
ImageTracks<P> image_tracks(const Matrix& m, const IndexVector& ends, const Grid& grid) {
    check_track_ends(ends);
    ImageTracks<P> out;
    out.ends.reserve(ends.size(0));
    std::size_t rows = 0, start = 0;
    for (std::size_t t = 0; t < ends.size(0); ++t) {
        const auto e = static_cast<std::size_t>(ends(t));
        rows += std::min(e, m.size(0)) - std::min({start, e, m.size(0)});
        start = e;
    }
    out.points.reserve(rows);
    std::size_t begin = 0;
    cut_tracks(
        m, ends, P::columns,
        [&](std::size_t r) {
            const P p = P::from_row(m, r, grid);
            if (out.points.size() > begin && p.same_cell(out.points.back())) return;
            out.points.push_back(p);
        },
        [&] {
            out.ends.push_back(out.points.size());
            begin = out.points.size();
        });
    return out;
}

// ---------------------------------------------------------------- 2D points

// A track point on the 2D grid. Indices are unsigned: a coordinate below the
// grid becomes cell 0. `value` is read only by the value image (Columns = 4).
template <std::size_t Columns>
struct ImagePoint2D {
    static constexpr std::size_t columns = Columns;
    std::uint64_t x = 0, y = 0;
    float intensity = 0.0f;
    float value = 0.0f;

    static ImagePoint2D from_row(const Matrix& m, std::size_t r, const RenderGrid<2>& g) {
        ImagePoint2D p;
        p.x = round_saturate<std::uint64_t>(axis_position(m(r, 0), g.axes[0]));
        p.y = round_saturate<std::uint64_t>(axis_position(m(r, 1), g.axes[1]));
        p.intensity = m(r, 2);
        if constexpr (Columns > 3) p.value = m(r, 3);
        return p;
    }
    bool same_cell(const ImagePoint2D& o) const noexcept { return x == o.x && y == o.y; }
    bool inside(const RenderGrid<2>& g) const noexcept { return x < g.axes[0].n && y < g.axes[1].n; }
    std::uint64_t pixel(const RenderGrid<2>& g) const noexcept { return x * g.axes[1].n + y; }
};

// Points of the image tracks of the density image (x, y, intensity) and of
// the value image (x, y, intensity, value).
using ImageTrackPoint2D = ImagePoint2D<3>;
using ImageTrackValuePoint2D = ImagePoint2D<4>;

// ---------------------------------------------------------------- 2D line walk

// The integer walk from cell a toward cell b: max(|dx|, |dy|) cells, the start
// included and the end excluded. The axis of the larger difference (the major
// axis) steps at every cell; after i cells the minor axis has stepped
// floor(i * DY / DX) times (DX, DY the major and minor differences). This is
// the octant-normalised walk whose error starts at DY - DX: its error after i
// cells is rem_i + DY - DX with rem_i = i * DY mod DX, so it steps exactly
// when rem_i + DY reaches DX. For |dx| = |dy| both axes step at every cell,
// whichever is called major.
//
// Cell indices are taken as the exact non-negative integers they are (also
// at 2^63 and above, where a signed reading would turn the walk toward the
// wrong edge), and the walk is clipped to the cells inside [0, nx) x [0, ny):
// `first` is the step index of the first cell inside and `count` the number
// of steps that stay inside (the walk is monotone on both axes, so these
// steps are consecutive). The cost is independent of the walk's length.
struct LineCells2D {
    std::uint64_t n = 0;           // walk length DX
    std::uint64_t first = 0;       // step index of the first cell inside
    std::uint64_t count = 0;       // number of cells inside
    std::uint64_t pixel = 0;       // x * ny + y of the first cell inside
    std::uint64_t rem = 0;         // first * DY mod DX
    std::uint64_t minor_diff = 0;  // DY
    std::uint64_t slack = 0;       // DX - DY
    std::uint64_t major_step = 0;  // pixel increment of a major step (two's complement)
    std::uint64_t minor_step = 0;  // pixel increment of a minor step
};

namespace detail {

// Steps i >= 0 along one axis from coordinate `start` in direction `down`
// that keep the coordinate inside [0, n): [lo, hi], empty when lo > hi.
struct StepRange {
    i128 lo, hi;
};
inline StepRange axis_steps(i128 start, bool down, i128 n) {
    if (down) return {start - (n - 1), start};
    return {-start, n - 1 - start};
}

inline u128 ceil_div(u128 a, u128 b) { return a / b + (a % b != 0 ? 1 : 0); }

}  // namespace detail

inline LineCells2D line_cells_2d(std::uint64_t ax, std::uint64_t ay, std::uint64_t bx, std::uint64_t by,
                           std::uint64_t nx, std::uint64_t ny) {
    LineCells2D w;
    const bool x_down = bx < ax, y_down = by < ay;
    const std::uint64_t adx = x_down ? ax - bx : bx - ax;
    const std::uint64_t ady = y_down ? ay - by : by - ay;
    const bool x_major = adx >= ady;
    const std::uint64_t dx_major = x_major ? adx : ady;
    const std::uint64_t dy_minor = x_major ? ady : adx;
    if (dx_major == 0 || nx == 0 || ny == 0) return w;
    w.n = dx_major;
    w.minor_diff = dy_minor;
    w.slack = dx_major - dy_minor;
    const std::uint64_t sx = x_down ? ~ny + 1 : ny;  // -ny or +ny
    const std::uint64_t sy = y_down ? ~std::uint64_t{0} : 1;
    w.major_step = x_major ? sx : sy;
    w.minor_step = x_major ? sy : sx;

    std::uint64_t lo = 0, hi = dx_major - 1, k = 0;
    const bool a_in = ax < nx && ay < ny, b_in = bx < nx && by < ny;
    if (!(a_in && b_in)) {
        // Clip: steps that keep the major coordinate inside, then those whose
        // minor step count k = floor(i DY / DX) keeps the minor one inside.
        const i128 M = x_major ? ax : ay, m = x_major ? ay : ax;
        const i128 nM = x_major ? nx : ny, nm = x_major ? ny : nx;
        const bool M_down = x_major ? x_down : y_down, m_down = x_major ? y_down : x_down;
        const auto major = detail::axis_steps(M, M_down, nM);
        auto minor = detail::axis_steps(m, m_down && dy_minor > 0, nm);
        minor.lo = std::max<i128>(minor.lo, 0);
        minor.hi = std::min<i128>(minor.hi, dy_minor);
        if (minor.lo > minor.hi) return w;
        i128 ilo = std::max<i128>(major.lo, 0), ihi = std::min<i128>(major.hi, dx_major - 1);
        if (dy_minor > 0) {
            const u128 DX = dx_major, DY = dy_minor;
            ilo = std::max<i128>(ilo, detail::ceil_div(static_cast<u128>(minor.lo) * DX, DY));
            if (minor.hi < static_cast<i128>(dy_minor))
                ihi = std::min<i128>(
                    ihi, detail::ceil_div(static_cast<u128>(minor.hi + 1) * DX, DY) - 1);
        }
        if (ilo > ihi) return w;
        lo = static_cast<std::uint64_t>(ilo);
        hi = static_cast<std::uint64_t>(ihi);
        const u128 prod = static_cast<u128>(lo) * dy_minor;
        k = static_cast<std::uint64_t>(prod / dx_major);
        w.rem = static_cast<std::uint64_t>(prod % dx_major);
    }
    w.first = lo;
    w.count = hi - lo + 1;
    // The first cell inside, from the start cell, lo major and k minor steps.
    const std::uint64_t dM = lo, dm = k;
    const std::uint64_t x = x_major ? (x_down ? ax - dM : ax + dM) : (x_down ? ax - dm : ax + dm);
    const std::uint64_t y = x_major ? (y_down ? ay - dm : ay + dm) : (y_down ? ay - dM : ay + dM);
    w.pixel = x * ny + y;
    return w;
}

// Calls emit(pixel, i) for the cells of the walk inside the grid, in order.
template <class Emit>
inline void for_each_cell(const LineCells2D& w, Emit&& emit) {
    std::uint64_t pixel = w.pixel, rem = w.rem;
    const std::uint64_t end = w.first + w.count;
    for (std::uint64_t i = w.first; i < end; ++i) {
        emit(pixel, i);
        if (rem >= w.slack) {
            rem -= w.slack;
            pixel += w.minor_step;
        } else {
            rem += w.minor_diff;
        }
        pixel += w.major_step;
    }
}

}  // namespace sonaloc
