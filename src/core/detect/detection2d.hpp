// Peak detection in one 2D image.
// Method: 8-neighbour non-maximum suppression with an ordered tie rule, then
// greedy distance thinning.
#pragma once
#include <cstddef>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Interior local maxima at or above `threshold`, brightest first (ties in
// row-major order), greedily thinned so that no two kept peaks are closer
// than `min_distance` (extent units).
std::vector<Peak2D> detect_peaks(const Matrix& image, const Extent2D& extent, float threshold,
                                 float min_distance);

}  // namespace sonaloc
