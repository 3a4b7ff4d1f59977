#include "core/tracks3d.hpp"

#include <limits>

namespace sonaloc {

Grid3D get_shape_and_extent(const Extent3D& e, float pixel_size, std::size_t bytes_per_cell) {
    return make_render_grid<3>({e.x_min, e.x_max, e.y_min, e.y_max, e.z_min, e.z_max}, pixel_size,
                               bytes_per_cell, std::numeric_limits<std::int32_t>::max());
}

}  // namespace sonaloc
