// Closed-form radial-symmetry localization of one spot in a 3D window.
// Method: Parthasarathy's radial-symmetry centre extended to 3D (the point
// nearest to all gradient lines, weighted least squares).
#pragma once
#include <array>
#include <optional>
#include <vector>

#include "core/localize/lane_scratch.hpp"
#include "core/view.hpp"

namespace sonaloc {

using Point3 = std::array<float, 3>;

using RadialSymmetryScratch3D = LaneScratch;

// Spot centre in index coordinates of the window (voxel (i, j, k) is centred
// at (i, j, k)); nothing when a side is below 3 or the window is flat.
std::optional<Point3> localize_radial_symmetry_3d(const Volume& window, RadialSymmetryScratch3D& scratch);
std::optional<Point3> localize_radial_symmetry_3d(const Volume& window);

}  // namespace sonaloc
