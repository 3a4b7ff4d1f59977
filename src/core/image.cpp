#include "core/image.hpp"

namespace sonaloc {

DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_2d<Key, PixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        DensityImage img{{zeroed_buffer<float>(cells), g.shape()},
                         {zeroed_buffer<std::uint32_t>(cells), g.shape()}};
        for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
            img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
            img.intensity.data[q] = trimmed_sums(b, e).intensity;
        });
        return img;
    });
}

}  // namespace sonaloc
