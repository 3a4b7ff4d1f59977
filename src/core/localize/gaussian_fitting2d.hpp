// Sub-pixel localization of one spot in a 2D window by fitting a fixed-shape
// Gaussian (amplitude 1, width 1 pixel) to the window normalised by its
// maximum, with five undamped Gauss-Newton steps on the centre only.
// Method: Gauss-Newton least squares on the centre of a fixed-width Gaussian.
#pragma once
#include <optional>
#include <utility>

#include "core/view.hpp"

namespace sonaloc {

// Offset (axis 0, axis 1) of the fitted centre from the window's geometric
// centre, in pixels. Nothing when the window is empty, has no positive value,
// or a step meets a near-singular system.
std::optional<std::pair<float, float>> localize_gaussian_fitting(const Matrix& window);

}  // namespace sonaloc
