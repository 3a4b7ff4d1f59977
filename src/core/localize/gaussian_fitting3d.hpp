// Gauss-Newton fit of a unit 3D Gaussian's centre to one window.
// Method: Gauss-Newton least squares on the centre of a fixed-width Gaussian.
#pragma once
#include <array>
#include <optional>

#include "core/view.hpp"

namespace sonaloc {

using Point3 = std::array<float, 3>;

// Centre of the spot in index coordinates of the window (voxel (i, j, k) is
// centred at (i, j, k)), from five undamped Gauss-Newton steps fitting
// exp(-|p - c|^2 / 2) to the window divided by its maximum. Nothing when the
// window has no positive value or the normal equations become singular.
std::optional<Point3> localize_gaussian_fitting_3d(const Volume& window);

}  // namespace sonaloc
