#include "core/value_image.hpp"

namespace sonaloc {

ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_2d<Key, ValuePixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        return aggregate_values(passages, g.shape());
    });
}

}  // namespace sonaloc
