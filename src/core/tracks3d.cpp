#include "core/tracks3d.hpp"

#include <limits>
#include <string>

namespace sonaloc {

Grid3D get_shape_and_extent(const Extent3D& e, float pixel_size, std::size_t bytes_per_cell) {
    check_pixel_size(pixel_size);
    Grid3D g{{axis_grid(e.x_min, e.x_max, pixel_size), axis_grid(e.y_min, e.y_max, pixel_size),
              axis_grid(e.z_min, e.z_max, pixel_size)}};
    const std::array<std::uint64_t, 3> shape{g.axes[0].n, g.axes[1].n, g.axes[2].n};
    constexpr auto kMaxAxis = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    for (auto n : shape)
        if (n > kMaxAxis)
            throw ValueError("render grid of shape (" + std::to_string(shape[0]) + ", " +
                             std::to_string(shape[1]) + ", " + std::to_string(shape[2]) +
                             ") has more than 2147483647 voxels along an axis");
    check_grid_size(shape, bytes_per_cell);
    return g;
}

}  // namespace sonaloc
