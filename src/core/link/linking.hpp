// Track linking: per-frame points are matched frame pair by frame pair, over
// gaps of 1 to max_skip + 1 frames, by a minimum-cost assignment under a
// distance gate (and, in 2D, an intensity-ratio gate); the matches are merged
// with precedence for small gaps and followed into tracks, which are exported
// as one flat point matrix plus the exclusive end row of every track.
//
// One implementation serves 2D and 3D, templated over the point record; the
// traits below hold what differs (coordinates, columns of the export).
// Method: frame-to-frame minimum-cost linear assignment with gap closing, as
// in LAP tracking.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// All frames' points in frame order, each frame's in its input row order. The
// position of a record is its point index; frame f holds the point indices
// offsets[f] .. offsets[f + 1] - 1.
template <class Point>
struct FramePoints {
    std::vector<Point> points;
    std::vector<std::size_t> offsets{0};

    std::size_t frames() const noexcept { return offsets.size() - 1; }
    std::size_t frame_size(std::size_t f) const noexcept { return offsets[f + 1] - offsets[f]; }
    void end_frame() { offsets.push_back(points.size()); }
};

// The exported tracks: a row-major N x columns point matrix and the exclusive
// end row of every track.
struct TrackMatrices {
    std::vector<float> points;
    std::vector<std::uint32_t> ends;
};

// Reads every frame's rows, in frame order, into one flat list of records:
// columns x, y, intensity (2D) or x, y, z, intensity (3D). Reads go through
// the checked accessor, so a non-empty frame with too few columns faults
// before any linking. A frame of zero rows is empty whatever its number of
// columns.
FramePoints<Peak2D> frame_points_2d(const std::vector<Matrix>& frames);
FramePoints<Peak3D> frame_points_3d(const std::vector<Matrix>& frames);

// Links 2D points into tracks (distance and intensity-ratio gates); the
// matrix has 3 columns.
ExportMatrices2D link_and_export(const FramePoints<Peak2D>& frames, float max_distance,
                                 std::uint64_t max_skip, float max_intensity_ratio);

// Links 3D points into tracks (distance gate only); the matrix has 4 columns.
TrackMatrices link_and_export_3d(const FramePoints<Peak3D>& frames, float max_distance,
                                 std::uint64_t max_skip);

}  // namespace sonaloc
