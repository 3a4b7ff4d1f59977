// Sub-pixel localization of detected 2D peaks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/localize/method.hpp"
#include "core/types.hpp"
#include "core/view.hpp"

namespace sonaloc {

// The image shape and its detection extent.
struct ImageGrid {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    Extent2D extent;
};

// Refines each peak in a window_size x window_size window centred on its
// pixel, in input order. Peaks whose window crosses the border, or whose
// localizer fails, are dropped; windows with more than `max_local_maxima`
// maximum pixels keep the pixel position; offsets beyond half the window are
// replaced by the window's intensity centroid. With `max_num_peaks`, the scan
// stops after the first refined entry that brings the count to that number.
// `window_size` must be odd and at least 3.
std::vector<Peak2D> localize(const Matrix& image, const std::vector<Peak2D>& peaks,
                             std::uint64_t window_size, const ImageGrid& grid,
                             std::size_t max_local_maxima, LocalizationMethod method,
                             std::optional<std::uint64_t> max_num_peaks);

}  // namespace sonaloc
