// Closed-form radial-symmetry localization of one spot in a 2D window.
#pragma once
#include <optional>
#include <utility>
#include <vector>

#include "core/localize/lane_scratch.hpp"
#include "core/view.hpp"

namespace sonaloc {

// 3x3 mean with zeros outside: every sum is divided by 9, also at borders.
std::vector<float> apply_averaging_filter(const std::vector<float>& a, std::size_t rows,
                                          std::size_t cols);

using RadialSymmetryScratch = LaneScratch;

// Offset (axis 0, axis 1) of the spot centre from the window's geometric
// centre, in pixels; nothing when the least-squares system is singular.
std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window,
                                                                RadialSymmetryScratch& scratch);
std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window);

}  // namespace sonaloc
