// Sub-pixel localization of detected 3D peaks.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/localize/method.hpp"
#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Refines each peak, in order, from a w x w x w window copied around it
// (shifted inward at the faces, so every window is whole). Peaks whose
// localizer fails are dropped; implausible results (a component with
// |d| - w/2 > w/2) become the window centre w/2. Stops once
// `max_num_peaks` entries exist (checked after each append, so 0 acts as 1).
// A volume smaller than the window on any axis gives nothing.
std::vector<Peak3D> localize_3d(const Volume& volume, const std::vector<Peak3D>& peaks,
                                std::uint64_t window_size, const VolumeExtent& extent,
                                LocalizationMethod method,
                                std::optional<std::uint64_t> max_num_peaks);

}  // namespace sonaloc
