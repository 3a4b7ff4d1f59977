#include "core/render/draw.hpp"

namespace sonaloc {

DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_2d<Key, PixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        DensityImage img{{system::zeroed_buffer<float>(cells), g.shape()},
                         {system::zeroed_buffer<std::uint32_t>(cells), g.shape()}};
        for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
            img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
            img.intensity.data[q] = trimmed_sums(b, e).intensity;
        });
        return img;
    });
}


DensityImage3D draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_3d<Key, PixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        DensityImage3D img{{system::zeroed_buffer<float>(cells), g.shape()},
                           {system::zeroed_buffer<std::uint32_t>(cells), g.shape()}};
        for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
            float sum = 0.0f;  // the accumulator's initial zero
            for (auto* p = b; p < e; ++p) sum += p->entry.intensity;
            img.sum.data[q] = sum;
            img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
        });
        return img;
    });
}


ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = passages_2d<Key, ValuePixelEntry>(tracks, g);
        sort_by_pixel(passages, cells);
        return aggregate_values(passages, g.shape());
    });
}


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
