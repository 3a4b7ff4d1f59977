// The render grid: bounds rounded to whole cells of one pixel size, the
// conversion of physical coordinates to cell coordinates, and the refusal of
// grids that cannot be drawn.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/numeric.hpp"
#include "core/types.hpp"

namespace sonaloc {

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

using Grid3D = RenderGrid<3>;

// The grid rule on the three axes of the extent (make_render_grid), also
// refusing grids with more than 2^31 - 1 voxels along an axis, which the
// signed 32-bit voxel indices cannot address.
Grid3D get_shape_and_extent(const Extent3D& e, float pixel_size, std::size_t bytes_per_cell);

inline Extent3D adjusted_extent(const Grid3D& g) noexcept {
    return {g.axes[0].lo, g.axes[0].hi, g.axes[1].lo, g.axes[1].hi, g.axes[2].lo, g.axes[2].hi};
}

}  // namespace sonaloc
