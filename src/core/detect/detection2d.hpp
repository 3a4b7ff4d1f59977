// Peak detection in one 2D image.
#pragma once
#include <array>
#include <cstddef>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

using Offset2D = std::pair<int, int>;

// The eight neighbours of a pixel, axis 0 ascending, then axis 1 ascending.
inline constexpr std::array<Offset2D, 8> kNeighbours2D{{
    {-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}}};

// True when no neighbour (inside the image) is greater than the pixel and
// every neighbour equal to it (or unordered with it, NaN) comes earlier in
// row-major order. The pixel must lie inside the image (else InternalFault).
bool is_peak_in_neighborhood(const Matrix& image, std::size_t row, std::size_t col,
                             std::span<const Offset2D> offsets);

// Interior local maxima at or above `threshold`, brightest first (ties in
// row-major order), greedily thinned so that no two kept peaks are closer
// than `min_distance` (extent units).
std::vector<Peak2D> detect_peaks(const Matrix& image, const Extent2D& extent, float threshold,
                                 float min_distance);

// The caller's table: x, y of every peak as an (n, 2) matrix and the peak
// intensities as an (n,) vector.
std::pair<Output<float>, Output<float>> build_output_arrays(const std::vector<Peak2D>& peaks);

}  // namespace sonaloc
