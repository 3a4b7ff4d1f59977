// The four renderers: every track walked through the grid, its passages
// grouped by cell, and each cell aggregated.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/render/entries.hpp"
#include "core/render/passages.hpp"
#include "core/render/track_records.hpp"
#include "core/view.hpp"

namespace sonaloc {

struct DensityImage {
    Output<float> intensity;
    Output<std::uint32_t> count;
};

// Draws every track in list order and trims each pixel: count = passages
// (saturated at 2^32 - 1), intensity = the trimmed sum.
DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g);

struct DensityImage3D {
    Output<float> sum;
    Output<std::uint32_t> count;
};

// Tracks in list order, segments in order, each segment's voxels in walk
// order (both ends included, t = j / (N + 1)), then the track's last point.
DensityImage3D draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g);

struct ValueImage {
    Output<float> intensity;
    Output<float> mean;
    Output<std::uint32_t> count;
};

// Aggregates passages sorted by pixel: count (saturated), trimmed S_I, and
// S_IV / S_I where S_I > 0 (else the mean stays 0). Shared by 2D and 3D.
template <class Key>
ValueImage aggregate_values(std::vector<Passage<Key, ValuePixelEntry>>& passages,
                            std::vector<std::size_t> shape) {
    std::size_t cells = 1;
    for (auto n : shape) cells *= n;
    ValueImage img{{system::zeroed_buffer<float>(cells), shape},
                   {system::zeroed_buffer<float>(cells), shape},
                   {system::zeroed_buffer<std::uint32_t>(cells), shape}};
    for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
        img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
        const TrimmedSums s = trimmed_sums(b, e);
        img.intensity.data[q] = s.intensity;
        if (s.intensity > 0.0f) img.mean.data[q] = s.weighted / s.intensity;
    });
    return img;
}

// The value images, 2D and 3D: the walks of the density images with the value
// interpolated alongside the intensity, aggregated per cell.
ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g);
ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g);

}  // namespace sonaloc
