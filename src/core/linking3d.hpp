// Track linking of 3D points (x, y, z, intensity): the 2D linking with a
// 27-cell neighbourhood, three coordinates and no intensity gate.
#pragma once
#include <cstdint>

#include "core/linking.hpp"

namespace sonaloc {

// Every distance-admissible pair is allowed; intensities are not compared.
struct NoGate {
    bool operator()(const Peak3D&, const Peak3D&) const noexcept { return true; }
};

// Links 3D points into tracks; the matrix has 4 columns.
TrackMatrices link_and_export_3d(const FramePoints<Peak3D>& frames, float max_distance,
                                 std::uint64_t max_skip);

}  // namespace sonaloc
