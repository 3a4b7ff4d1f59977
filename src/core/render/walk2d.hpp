// The 2D line walk between two grid cells, clipped to the grid.
// Method: Bresenham's line algorithm (octant-normalised), with exact clipping.
#pragma once
#include <algorithm>
#include <cstdint>

#include "core/render/clip.hpp"

namespace sonaloc {

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
