#include "core/render/draw.hpp"

#include "core/render/entries.hpp"
#include "core/render/passages.hpp"
#include "core/runtime/system.hpp"

namespace sonaloc {
namespace {

// The one driver: the passages of all tracks in drawing order, grouped by
// cell (stable, so each cell's run is still in drawing order), then
// aggregate(passages, cells, shape) builds the images.
template <class Entry, class P, class Grid, class Aggregate>
auto draw(const ImageTracks<P>& tracks, const Grid& g, Aggregate&& aggregate) {
    const std::uint64_t cells = g.cells();
    return with_pixel_key(cells, [&](auto key) {
        using Key = decltype(key);
        auto passages = track_passages<Key, Entry>(tracks, g);
        sort_by_pixel(passages, cells);
        return aggregate(passages, cells, g.shape());
    });
}

template <class T>
Image<T> zeroed_image(std::uint64_t cells, const std::vector<std::size_t>& shape) {
    return {system::ZeroedArray<T>(cells), shape};
}

// Density with the lower-quartile trim (2D).
auto trimmed_density = [](auto& passages, std::uint64_t cells, const std::vector<std::size_t>& shape) {
    DensityImage img{zeroed_image<float>(cells, shape), zeroed_image<std::uint32_t>(cells, shape)};
    for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
        img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
        img.intensity.data[q] = trimmed_sums(b, e).intensity;
    });
    return img;
};

// Density as the plain sum from the accumulator's initial zero (3D).
auto summed_density = [](auto& passages, std::uint64_t cells, const std::vector<std::size_t>& shape) {
    DensityImage img{zeroed_image<float>(cells, shape), zeroed_image<std::uint32_t>(cells, shape)};
    for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
        float sum = 0.0f;
        for (auto* p = b; p < e; ++p) sum += p->entry.intensity;
        img.intensity.data[q] = sum;
        img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
    });
    return img;
};

// Count, trimmed S_I and S_IV / S_I where S_I > 0 (2D and 3D).
auto value_means = [](auto& passages, std::uint64_t cells, const std::vector<std::size_t>& shape) {
    ValueImage img{zeroed_image<float>(cells, shape), zeroed_image<float>(cells, shape),
                   zeroed_image<std::uint32_t>(cells, shape)};
    for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
        img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
        const TrimmedSums s = trimmed_sums(b, e);
        img.intensity.data[q] = s.intensity;
        if (s.intensity > 0.0f) img.mean.data[q] = s.weighted / s.intensity;
    });
    return img;
};

}  // namespace

DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g) {
    return draw<PixelEntry>(tracks, g, trimmed_density);
}

DensityImage draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g) {
    return draw<PixelEntry>(tracks, g, summed_density);
}

ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g) {
    return draw<ValuePixelEntry>(tracks, g, value_means);
}

ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g) {
    return draw<ValuePixelEntry>(tracks, g, value_means);
}

}  // namespace sonaloc
