// The 3D density image: per voxel the plain sum of the interpolated track
// intensities and the number of passages, both in dense vectors. The passages
// are gathered in drawing order and grouped by voxel (stable), so each
// voxel's sum is still added up in drawing order while the two vectors are
// written in voxel order instead of at random.
#pragma once
#include <cstdint>
#include <span>

#include "core/passages.hpp"
#include "core/tracks3d.hpp"
#include "core/view.hpp"

namespace sonaloc {

struct DensityImage3D {
    Output<float> sum;
    Output<std::uint32_t> count;
};

// Tracks in list order, segments in order, each segment's voxels in walk
// order (both ends included, t = j / (N + 1)), then the track's last point.
DensityImage3D draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g);

// Calls visit(voxel, entry) for the passages of one 3D track in drawing order
// (voxels with a negative coordinate are outside, so a point below the grid
// is not drawn).
template <class Entry, class P, class Visit>
void track_passages_3d(std::span<const P> pts, const Grid3D& g, Visit&& visit) {
    if (pts.empty()) return;
    for (std::size_t j = 0; j + 1 < pts.size(); ++j) {
        const P& a = pts[j];
        const P& b = pts[j + 1];
        if (!Entry::segment_drawable(a, b)) continue;
        const LineCells3D w = line_cells_3d(a.v, b.v, g);
        const auto n = static_cast<float>(w.n + 1);
        for_each_cell(w, [&](std::uint64_t voxel, std::uint64_t i) {
            Entry e;
            if (Entry::at(static_cast<float>(i) / n, a, b, e)) visit(voxel, e);
        });
    }
    const P& last = pts.back();
    Entry e;
    if (last.inside(g) && Entry::at_point(last, e)) visit(last.voxel(g), e);
}

// All passages of the tracks, in drawing order, in one flat buffer.
template <class Key, class Entry, class P>
std::vector<Passage<Key, Entry>> passages_3d(const ImageTracks<P>& tracks, const Grid3D& g) {
    auto bound = [&](std::size_t t) {
        return passage_bound<Entry>(tracks.track(t), [&](const P& a, const P& b) { return line_cells_3d(a.v, b.v, g); });
    };
    auto fill = [&](std::size_t t, Passage<Key, Entry>* out) {
        std::size_t k = 0;
        track_passages_3d<Entry>(tracks.track(t), g, [&](std::uint64_t voxel, const Entry& e) {
            out[k++] = {static_cast<Key>(voxel), e};
        });
        return k;
    };
    return gather_passages<Key, Entry>(tracks.size(), static_cast<Key>(g.cells()), bound, fill);
}

}  // namespace sonaloc
