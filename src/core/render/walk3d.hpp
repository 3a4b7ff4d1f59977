// The 3D voxel walk between two grid voxels, clipped to the grid.
// Method: Bresenham's line algorithm in 3D (one error term per axis), with
// exact clipping.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>

#include "core/render/clip.hpp"
#include "core/render/grid.hpp"

namespace sonaloc {

// The voxel walk from a to b, both included: N + 1 voxels for
// N = max(|dx|, |dy|, |dz|). Each axis keeps an error that starts at
// floor(N / 2), loses |d| after every voxel and steps the axis when it falls
// below zero (then regains N). After j voxels an axis has stepped
// floor((j |d| + c) / N) times with c = N - 1 - floor(N / 2), which places the
// first voxel inside the grid without walking to it.
//
// The differences are taken in 64-bit arithmetic, so points saturated at the
// limits of the 32-bit indices are walked exactly, and the walk is clipped to
// the voxels inside the grid (consecutive steps, as every axis is monotone).
struct LineCells3D {
    std::uint64_t n = 0;      // N
    std::uint64_t first = 0;  // step index of the first voxel inside
    std::uint64_t count = 0;  // number of voxels inside
    std::uint64_t voxel = 0;  // (x * ny + y) * nz + z of the first voxel inside
    std::array<std::int64_t, 3> error{};
    std::array<std::int64_t, 3> diff{};  // |d| per axis
    std::array<std::uint64_t, 3> step{};  // voxel increment per axis step (two's complement)
};

inline LineCells3D line_cells_3d(const std::array<std::int32_t, 3>& a, const std::array<std::int32_t, 3>& b,
                           const Grid3D& g) {
    LineCells3D w;
    const std::array<std::uint64_t, 3> n{g.axes[0].n, g.axes[1].n, g.axes[2].n};
    if (n[0] == 0 || n[1] == 0 || n[2] == 0) return w;
    const std::array<std::uint64_t, 3> stride{n[1] * n[2], n[2], 1};
    std::array<std::int64_t, 3> d{};
    std::array<bool, 3> down{};
    std::int64_t N = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        const std::int64_t s = std::int64_t{b[k]} - std::int64_t{a[k]};
        down[k] = s < 0;
        d[k] = s < 0 ? -s : s;
        N = std::max(N, d[k]);
        w.step[k] = down[k] ? ~stride[k] + 1 : stride[k];
    }
    const std::int64_t h = N / 2, c = N - 1 - h;
    w.n = static_cast<std::uint64_t>(N);
    w.diff = d;

    i128 lo = 0, hi = N;
    for (std::size_t k = 0; k < 3; ++k) {
        const auto steps = detail::axis_steps(a[k], down[k], static_cast<i128>(n[k]));
        if (d[k] == 0) {
            if (steps.lo > 0 || steps.hi < 0) return w;  // the constant coordinate is outside
            continue;
        }
        // Step counts q with the coordinate inside, then the voxels j whose
        // step count floor((j d + c) / N) lies in [q_lo, q_hi].
        const i128 q_lo = std::max<i128>(steps.lo, 0), q_hi = std::min<i128>(steps.hi, d[k]);
        if (q_lo > q_hi) return w;
        if (q_lo > 0) {
            const u128 num = static_cast<u128>(q_lo * N - c);  // positive: q_lo N >= N > c
            lo = std::max<i128>(lo, detail::ceil_div(num, static_cast<u128>(d[k])));
        }
        if (q_hi < d[k]) {
            const u128 num = static_cast<u128>((q_hi + 1) * N - c);
            hi = std::min<i128>(hi, static_cast<i128>(detail::ceil_div(num, static_cast<u128>(d[k]))) - 1);
        }
    }
    if (lo > hi) return w;
    w.first = static_cast<std::uint64_t>(lo);
    w.count = static_cast<std::uint64_t>(hi - lo) + 1;
    std::uint64_t voxel = 0;
    for (std::size_t k = 0; k < 3; ++k) {
        std::int64_t q = 0;
        std::int64_t e = h;
        if (lo > 0 && d[k] > 0) {  // at the start: no step yet, error floor(N / 2)
            const i128 u = lo * d[k] + c;
            q = static_cast<std::int64_t>(u / N);
            e = N - 1 - static_cast<std::int64_t>(u % N);
        }
        w.error[k] = e;
        const std::int64_t coord = down[k] ? a[k] - q : a[k] + q;
        voxel += static_cast<std::uint64_t>(coord) * stride[k];
    }
    w.voxel = voxel;
    return w;
}

// Calls emit(voxel, j) for the voxels of the walk inside the grid, in order.
template <class Emit>
inline void for_each_cell(const LineCells3D& w, Emit&& emit) {
    const auto N = static_cast<std::int64_t>(w.n);
    auto e = w.error;
    std::uint64_t voxel = w.voxel;
    const std::uint64_t end = w.first + w.count;
    for (std::uint64_t j = w.first; j < end; ++j) {
        emit(voxel, j);
        for (std::size_t k = 0; k < 3; ++k) {
            e[k] -= w.diff[k];
            if (e[k] < 0) {
                e[k] += N;
                voxel += w.step[k];
            }
        }
    }
}

}  // namespace sonaloc
