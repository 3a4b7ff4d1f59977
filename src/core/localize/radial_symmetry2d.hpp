// Closed-form radial-symmetry localization of one spot in a 2D window.
// Method: Parthasarathy's radial-symmetry centre (the point nearest to all
// gradient lines, weighted least squares).
#pragma once
#include <optional>
#include <utility>
#include <vector>

#include "core/localize/lane_scratch.hpp"
#include "core/view.hpp"

namespace sonaloc {

using RadialSymmetryScratch = LaneScratch;

// Offset (axis 0, axis 1) of the spot centre from the window's geometric
// centre, in pixels; nothing when the least-squares system is singular.
std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window,
                                                                RadialSymmetryScratch& scratch);
std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window);

}  // namespace sonaloc
