#include "core/value_image3d.hpp"

#include "core/image3d.hpp"

namespace sonaloc {

ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        using P = Passage<Key, ValuePixelEntry>;
        auto passages = gather_passages<Key, ValuePixelEntry>(
            tracks.size(), static_cast<Key>(cells),
            [&](std::size_t t) { return track_passage_bound_3d<ValuePixelEntry>(tracks.track(t), g); },
            [&](std::size_t t, P* out) {
                std::size_t k = 0;
                track_passages_3d<ValuePixelEntry>(tracks.track(t), g,
                                                   [&](std::uint64_t voxel, ValuePixelEntry e) {
                                                       out[k++] = {static_cast<Key>(voxel), e};
                                                   });
                return k;
            });
        sort_by_pixel(passages, cells);
        return aggregate_values(passages, g.shape());
    });
}

}  // namespace sonaloc
