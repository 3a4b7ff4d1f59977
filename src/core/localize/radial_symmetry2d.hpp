// Closed-form radial-symmetry localization of one spot in a 2D window.
// Method: Parthasarathy's radial-symmetry centre (the point nearest to all
// gradient lines, weighted least squares).
#pragma once
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "core/view.hpp"

namespace sonaloc {

// Offset (axis 0, axis 1) of the spot centre from the window's geometric
// centre, in pixels; nothing when the least-squares system is singular.
std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window);

// The same localizer on several square windows at once, one per lane of the
// widest path: the number of lanes, or 0 on the portable path.
std::size_t radial_symmetry_lanes() noexcept;

// `windows` holds w * w pixels of every window in row-major order, each pixel
// as radial_symmetry_lanes() floats, lane k for window k (w >= 2); `work` has
// room for 4 (w - 1)^2 of them. Writes lane k's offsets to x0[k], y0[k] and
// returns the mask of the lanes that succeeded; every lane gives the bits of
// localize_radial_symmetry.
unsigned localize_radial_symmetry_lanes(const float* windows, std::size_t w, float* work, float* x0,
                                        float* y0);

}  // namespace sonaloc
