// The order of detected peaks, 2D and 3D: decreasing intensity, equal
// intensities in scan order.
#pragma once
#include <tuple>
#include <vector>

#include "core/runtime/parallel.hpp"
#include "core/types.hpp"

namespace sonaloc {

inline auto scan_key(const Peak2D& p) { return std::tuple(p.row, p.col); }
inline auto scan_key(const Peak3D& p) { return std::tuple(p.i, p.j, p.k); }

// Decreasing intensity; equal intensities keep scan (row-major) order, so the
// order is total and the same for every thread count. Detected peaks never
// carry NaN intensities (a NaN pixel is never a local maximum).
template <class Peak>
void sort_peaks_by_intensity(std::vector<Peak>& peaks) {
    parallel::sort(peaks, [](const Peak& a, const Peak& b) {
        if (a.intensity > b.intensity) return true;
        if (b.intensity > a.intensity) return false;
        return scan_key(a) < scan_key(b);
    });
}

}  // namespace sonaloc
