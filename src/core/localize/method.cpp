#include "core/localize/method.hpp"

#include <string>

#include "core/errors.hpp"

namespace sonaloc {

LocalizationMethod parse_localization_method(std::string_view name) {
    if (name == "radial_symmetry") return LocalizationMethod::RadialSymmetry;
    if (name == "gaussian_fitting") return LocalizationMethod::GaussianFitting;
    throw ValueError("Unknown localization method '" + std::string(name) +
                     "'. Choose 'radial_symmetry' or 'gaussian_fitting'.");
}

}  // namespace sonaloc
