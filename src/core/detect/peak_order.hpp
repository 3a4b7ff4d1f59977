// The order of detected peaks, 2D and 3D: decreasing intensity, equal
// intensities in scan order.
#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <tuple>
#include <vector>

#include "core/runtime/parallel.hpp"
#include "core/types.hpp"

namespace sonaloc {

inline auto scan_key(const Peak2D& p) { return std::tuple(p.row, p.col); }
inline auto scan_key(const Peak3D& p) { return std::tuple(p.i, p.j, p.k); }

// Whether the peaks are in scan order, as the scans produce them.
template <class Peak>
bool in_scan_order(const std::vector<Peak>& peaks) {
    for (std::size_t i = 1; i < peaks.size(); ++i)
        if (!(scan_key(peaks[i - 1]) < scan_key(peaks[i]))) return false;
    return true;
}

// A float's place in the order of floats, as an unsigned integer (-0 and +0
// taken as equal, as the comparison does; no NaN).
inline std::uint32_t ordered_bits(float v) noexcept {
    const auto u = std::bit_cast<std::uint32_t>(v == 0.0f ? 0.0f : v);
    return (u & 0x80000000u) != 0 ? ~u : u | 0x80000000u;
}

// Stable sort of 64-bit records by their upper 32 bits, least significant
// byte first; a byte that is the same in every record takes no pass.
inline void sort_by_upper_half(std::vector<std::uint64_t>& keys) {
    const std::size_t n = keys.size();
    std::uint32_t first = static_cast<std::uint32_t>(keys[0] >> 32), differ = 0;
    for (std::uint64_t k : keys) differ |= static_cast<std::uint32_t>(k >> 32) ^ first;
    std::vector<std::uint64_t> other(n);
    for (unsigned shift = 32; shift < 64; shift += 8) {
        if (((differ >> (shift - 32)) & 0xFFu) == 0) continue;
        std::size_t count[256] = {};
        for (std::uint64_t k : keys) ++count[(k >> shift) & 0xFFu];
        std::size_t at = 0;
        for (std::size_t& c : count) {
            const std::size_t here = c;
            c = at;
            at += here;
        }
        for (std::uint64_t k : keys) other[count[(k >> shift) & 0xFFu]++] = k;
        keys.swap(other);
    }
}

// Decreasing intensity; equal intensities keep scan (row-major) order, so the
// order is total and the same for every thread count. Detected peaks never
// carry NaN intensities (a NaN pixel is never a local maximum). Peaks that
// come in scan order (a frame's worth) are sorted as 64-bit records, the
// reversed intensity order above the position, by a stable radix sort on the
// intensity half: the same order, at a fraction of the cost of sorting the
// records.

// The positions of scan-ordered peaks (fewer than 2^32) in that order.
template <class Peak>
std::vector<std::uint32_t> intensity_order(const std::vector<Peak>& peaks) {
    const std::size_t n = peaks.size();
    std::vector<std::uint64_t> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = std::uint64_t{~ordered_bits(peaks[i].intensity)} << 32 | i;
    if (n < 64)
        std::sort(keys.begin(), keys.end());
    else if (n > 0)
        sort_by_upper_half(keys);
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(keys[i] & 0xFFFFFFFFu);
    return order;
}

template <class Peak>
void sort_peaks_by_intensity(std::vector<Peak>& peaks) {
    const std::size_t n = peaks.size();
    if (n > 1 && n < (std::size_t{1} << 32) && in_scan_order(peaks)) {
        std::vector<Peak> sorted;
        sorted.reserve(n);
        for (std::uint32_t i : intensity_order(peaks)) sorted.push_back(peaks[i]);
        peaks.swap(sorted);
        return;
    }
    parallel::sort(peaks, [](const Peak& a, const Peak& b) {
        if (a.intensity > b.intensity) return true;
        if (b.intensity > a.intensity) return false;
        return scan_key(a) < scan_key(b);
    });
}

}  // namespace sonaloc
