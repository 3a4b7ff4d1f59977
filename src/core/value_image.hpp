// The 2D value image: tracks whose points carry a host-chosen value besides
// the intensity; per pixel the trimmed intensity sum, the intensity-weighted
// mean of the value and the number of passages. The aggregation is shared
// with the 3D value image.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/image.hpp"

namespace sonaloc {

// One passage: interpolated intensity and value; a NaN in either is not drawn.
struct ValuePixelEntry {
    float intensity;
    float value;

    template <class P>
    static bool segment_drawable(const P& a, const P& b) {
        return !std::isnan(a.intensity) && !std::isnan(b.intensity) && !std::isnan(a.value) &&
               !std::isnan(b.value);
    }
    template <class P>
    static bool at(float t, const P& a, const P& b, ValuePixelEntry& out) {
        out.intensity = interpolate(t, a.intensity, b.intensity);
        out.value = interpolate(t, a.value, b.value);
        return !std::isnan(out.intensity) && !std::isnan(out.value);
    }
    template <class P>
    static bool at_point(const P& p, ValuePixelEntry& out) {
        out = {p.intensity, p.value};
        return !std::isnan(out.intensity) && !std::isnan(out.value);
    }
};

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
    ValueImage img{{zeroed_buffer<float>(cells), shape},
                   {zeroed_buffer<float>(cells), shape},
                   {zeroed_buffer<std::uint32_t>(cells), shape}};
    for_each_pixel_run(passages, cells, [&](std::uint64_t q, auto* b, auto* e) {
        img.count.data[q] = saturated_count(static_cast<std::size_t>(e - b));
        const TrimmedSums s = trimmed_sums(b, e);
        img.intensity.data[q] = s.intensity;
        if (s.intensity > 0.0f) img.mean.data[q] = s.weighted / s.intensity;
    });
    return img;
}

ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g);

}  // namespace sonaloc
