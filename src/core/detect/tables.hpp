// The detection tables handed to the caller, 2D and 3D: one row per peak in
// result order.
#pragma once
#include <optional>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

struct DetectionTable {
    Output<float> positions;                  // (n, 2) x, y or (n, 3) x, y, z
    Output<float> intensities;                // (n,)
    std::optional<Output<float>> correlations;  // (n,), 3D only, when any peak was scored
};

DetectionTable detection_table(const std::vector<Peak2D>& peaks);

// The scores are present when any peak has one; absent scores are then 0.
DetectionTable detection_table(const std::vector<Peak3D>& peaks);

}  // namespace sonaloc
