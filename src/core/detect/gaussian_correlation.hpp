// Scoring 3D candidates by their Pearson correlation with a Gaussian spot.
// Method: Pearson correlation with a sampled, normalised Gaussian template.
#pragma once
#include <array>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Sets every peak's `correlation` to the Pearson correlation between the
// volume values within +-2 voxels of the peak (offsets outside the volume are
// left out) and a normalised 5x5x5 Gaussian template with widths `sigmas`
// (extent units, per axis). A constant neighbourhood scores 0.
void compute_correlations(const Volume& volume, const VolumeExtent& extent,
                          std::vector<Peak3D>& peaks, const std::array<float, 3>& sigmas);

// Keeps, in order, the peaks whose correlation (0 when absent) is at least
// `threshold`; a NaN score or a NaN threshold keeps nothing.
void screen_by_correlation(std::vector<Peak3D>& peaks, float threshold);

}  // namespace sonaloc
