#include "core/render/grid.hpp"

#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "core/errors.hpp"
#include "core/render/clip.hpp"
#include "core/runtime/system.hpp"

namespace sonaloc {
namespace {

std::string shape_text(std::span<const std::uint64_t> shape) {
    std::string s = "(";
    for (std::size_t a = 0; a < shape.size(); ++a) {
        if (a > 0) s += ", ";
        s += std::to_string(shape[a]);
    }
    return s + ")";
}

void check_grid_size(std::span<const std::uint64_t> shape, std::size_t bytes_per_cell) {
    u128 bytes = bytes_per_cell;
    bool overflow = false;
    for (auto n : shape) {
        // An axis the array library cannot express is refused also when
        // another axis is empty.
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) overflow = true;
        bytes *= n;
        if (bytes > std::numeric_limits<std::uint64_t>::max()) overflow = true;
        if (overflow) break;
    }
    const std::uint64_t memory = system::available_memory();
    if (overflow || bytes > std::numeric_limits<std::size_t>::max() / 2 ||
        (memory != 0 && bytes > memory))
        throw ValueError("render grid of shape " + shape_text(shape) +
                         " does not fit in memory");
}

}  // namespace

template <std::size_t D>
RenderGrid<D> make_render_grid(const std::array<float, 2 * D>& extent, float pixel_size,
                               std::size_t bytes_per_cell, std::uint64_t max_axis) {
    if (!(pixel_size > 0.0f) || std::isinf(pixel_size))
        throw ValueError("pixel_size must be a positive finite number");
    RenderGrid<D> g;
    std::array<std::uint64_t, D> shape{};
    for (std::size_t a = 0; a < D; ++a) {
        g.axes[a] = axis_grid(extent[2 * a], extent[2 * a + 1], pixel_size);
        shape[a] = g.axes[a].n;
    }
    for (auto n : shape)
        if (n > max_axis)
            throw ValueError("render grid of shape " + shape_text(shape) + " has more than " +
                             std::to_string(max_axis) + " cells along an axis");
    check_grid_size(shape, bytes_per_cell);
    return g;
}

template RenderGrid<3> make_render_grid<3>(const std::array<float, 6>&, float, std::size_t,
                                           std::uint64_t);

RenderGrid<2> render_grid_2d(const std::array<float, 4>& extent, float pixel_size,
                             std::size_t bytes_per_cell) {
    return make_render_grid<2>(extent, pixel_size, bytes_per_cell,
                               std::numeric_limits<std::uint64_t>::max());
}

Grid3D get_shape_and_extent(const Extent3D& e, float pixel_size, std::size_t bytes_per_cell) {
    return make_render_grid<3>({e.x_min, e.x_max, e.y_min, e.y_max, e.z_min, e.z_max}, pixel_size,
                               bytes_per_cell, std::numeric_limits<std::int32_t>::max());
}

}  // namespace sonaloc
