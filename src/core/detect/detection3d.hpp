// Peak detection in one 3D volume.
// Method: 26-neighbour non-maximum suppression with an ordered tie rule, then
// greedy distance thinning.
#pragma once
#include <array>
#include <cstddef>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Interior voxels at or above `threshold` that are maxima of their 26
// neighbours, at their grid positions, brightest first, thinned so that no
// kept peak lies closer than `min_distance` (extent units) to a brighter one.
// Equal neighbours are ordered by (i ascending, j ascending, k descending):
// of a plateau of equal maxima exactly the last voxel in that order survives.
std::vector<Peak3D> detect_peaks_3d(const Volume& volume, const VolumeExtent& extent,
                                    float threshold, float min_distance);

}  // namespace sonaloc
