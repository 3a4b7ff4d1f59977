// Sub-pixel localization of one spot in a 2D window by fitting a fixed-shape
// Gaussian (amplitude 1, width 1 pixel) to the window normalised by its
// maximum, with five undamped Gauss-Newton steps on the centre only.
// Method: Gauss-Newton least squares on the centre of a fixed-width Gaussian.
#pragma once
#include <cstddef>
#include <optional>
#include <utility>

#include "core/view.hpp"

namespace sonaloc {

// Offset (axis 0, axis 1) of the fitted centre from the window's geometric
// centre, in pixels. Nothing when the window is empty, has no positive value,
// or a step meets a near-singular system.
std::optional<std::pair<float, float>> localize_gaussian_fitting(const Matrix& window);

// The same fit on several square windows at once, one per lane of the widest
// path: the number of lanes, or 0 where there are none (the portable path, or
// a C library whose expf the lanes do not reproduce).
std::size_t gaussian_fitting_lanes() noexcept;

// `windows` holds w * w pixels of every window in row-major order, each pixel
// as gaussian_fitting_lanes() floats, lane k for window k (w >= 1). Writes
// lane k's offsets to x0[k], y0[k] and returns the mask of the lanes whose
// fit succeeded; every lane gives the bits of localize_gaussian_fitting.
unsigned localize_gaussian_fitting_lanes(const float* windows, std::size_t w, float* x0, float* y0);

}  // namespace sonaloc
