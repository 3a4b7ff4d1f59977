// The 3D density image: per voxel the plain sum of the interpolated track
// intensities and the number of passages, accumulated in drawing order in
// two dense vectors.
#pragma once
#include <cstdint>

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

// Calls visit(voxel, entry) for the passages of one 3D track in drawing order.
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

// Upper bound of the passages of one 3D track.
template <class Entry, class P>
std::size_t track_passage_bound_3d(std::span<const P> pts, const Grid3D& g) {
    if (pts.empty()) return 0;
    std::size_t n = 1;
    for (std::size_t j = 0; j + 1 < pts.size(); ++j)
        if (Entry::segment_drawable(pts[j], pts[j + 1]))
            n = add_saturated(n, line_cells_3d(pts[j].v, pts[j + 1].v, g).count);
    return n;
}

}  // namespace sonaloc
