#include "core/value_image3d.hpp"

#include "core/image3d.hpp"

namespace sonaloc {

ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_3d<Key, ValuePixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        return aggregate_values(passages, g.shape());
    });
}

}  // namespace sonaloc
