// The localization methods, 2D and 3D, by their names.
#pragma once
#include <cstdint>
#include <string_view>

namespace sonaloc {

enum class LocalizationMethod : std::uint8_t { RadialSymmetry = 0, GaussianFitting = 1 };

// "radial_symmetry" or "gaussian_fitting", exact and case-sensitive; anything
// else throws ValueError "Unknown localization method '<name>'. ...".
LocalizationMethod parse_localization_method(std::string_view name);

}  // namespace sonaloc
