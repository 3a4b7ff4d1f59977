// The 2D density image: tracks walked through the grid, every passage of a
// track through a pixel counted, and per pixel the sum of the passages'
// interpolated intensities after the weakest quarter has been discarded.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/passages.hpp"
#include "core/tracks.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Linear interpolation between two track points at t in [0, 1): both products
// rounded, then added.
inline float interpolate(float t, float a, float b) { return (1.0f - t) * a + t * b; }

// One passage of a track through a pixel: its interpolated intensity.
struct PixelEntry {
    float intensity;

    // False when the passage carries a NaN and is not drawn.
    template <class P>
    static bool segment_drawable(const P& a, const P& b) {
        return !std::isnan(a.intensity) && !std::isnan(b.intensity);
    }
    template <class P>
    static bool at(float t, const P& a, const P& b, PixelEntry& out) {
        out.intensity = interpolate(t, a.intensity, b.intensity);
        return !std::isnan(out.intensity);
    }
    template <class P>
    static bool at_point(const P& p, PixelEntry& out) {
        out.intensity = p.intensity;
        return !std::isnan(out.intensity);
    }
};

// All passages of the tracks through the grid, in drawing order: per segment
// the cells of the walk inside the grid (t = i / n for the i-th of n cells,
// the end cell left to the next segment), then the track's last point.
template <class Key, class Entry, class P>
std::vector<Passage<Key, Entry>> passages_2d(const ImageTracks<P>& tracks, const RenderGrid<2>& g) {
    auto plan = [&](const P& a, const P& b) {
        return line_cells_2d(a.x, a.y, b.x, b.y, g.axes[0].n, g.axes[1].n);
    };
    auto bound = [&](std::size_t t) { return passage_bound<Entry>(tracks.track(t), plan); };
    auto fill = [&](std::size_t t, Passage<Key, Entry>* out) -> std::size_t {
        const auto pts = tracks.track(t);
        if (pts.empty()) return 0;
        std::size_t k = 0;
        for (std::size_t j = 0; j + 1 < pts.size(); ++j) {
            const P& a = pts[j];
            const P& b = pts[j + 1];
            if (!Entry::segment_drawable(a, b)) continue;
            const LineCells2D w = plan(a, b);
            const auto n = static_cast<float>(w.n);
            for_each_cell(w, [&](std::uint64_t pixel, std::uint64_t i) {
                Entry e;
                if (Entry::at(static_cast<float>(i) / n, a, b, e))
                    out[k++] = {static_cast<Key>(pixel), e};
            });
        }
        const P& last = pts.back();
        Entry e;
        if (last.inside(g) && Entry::at_point(last, e))
            out[k++] = {static_cast<Key>(last.pixel(g)), e};
        return k;
    };
    return gather_passages<Key, Entry>(tracks.size(), static_cast<Key>(g.cells()), bound, fill);
}

struct DensityImage {
    Output<float> intensity;
    Output<std::uint32_t> count;
};

// Draws every track in list order and trims each pixel: count = passages
// (saturated at 2^32 - 1), intensity = the trimmed sum.
DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g);

}  // namespace sonaloc
