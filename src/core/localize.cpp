#include "core/localize.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "core/gaussian_fitting2d.hpp"
#include "core/radial_symmetry2d.hpp"

namespace sonaloc {

LocalizationMethod parse_localization_method(std::string_view name) {
    if (name == "radial_symmetry") return LocalizationMethod::RadialSymmetry;
    if (name == "gaussian_fitting") return LocalizationMethod::GaussianFitting;
    throw ValueError("Unknown localization method '" + std::string(name) +
                     "'. Choose 'radial_symmetry' or 'gaussian_fitting'.");
}

namespace {

// Working memory of one `localize` call, sized once for its window size.
struct Scratch {
    std::size_t w;
    std::vector<float> window;          // w x w, row-major
    std::vector<std::uint8_t> decided;  // pixel already part of a flooded plateau
    std::vector<std::size_t> plateau;   // flood work list

    explicit Scratch(std::size_t w_) : w(w_), window(w_ * w_), decided(w_ * w_), plateau() {
        plateau.reserve(w_ * w_);
    }
};

// Window row a, column e holds image (r - h + a, c - h + e). The caller has
// proven the window inside the image.
void copy_window(const Matrix& image, std::size_t r0, std::size_t c0, Scratch& s) {
    const std::ptrdiff_t rs = image.strides[0];
    const std::ptrdiff_t cs = image.strides[1];
    const std::byte* origin =
        image.data + static_cast<std::ptrdiff_t>(r0) * rs + static_cast<std::ptrdiff_t>(c0) * cs;
    float* out = s.window.data();
    for (std::size_t a = 0; a < s.w; ++a, out += s.w) {
        const std::byte* row = origin + static_cast<std::ptrdiff_t>(a) * rs;
        if (cs == static_cast<std::ptrdiff_t>(sizeof(float))) {
            std::memcpy(out, row, s.w * sizeof(float));
        } else {
            for (std::size_t e = 0; e < s.w; ++e)
                std::memcpy(out + e, row + static_cast<std::ptrdiff_t>(e) * cs, sizeof(float));
        }
    }
}

// Number of window pixels above 0 that belong to an 8-connected plateau
// without a greater neighbour inside the window (a plateau counts once per
// pixel). Only pixels above 0 can count, and every pixel of a plateau has the
// same value, so plateaus at or below 0 (and NaN pixels, which form plateaus
// of their own) are never looked at. Stops as soon as the count exceeds
// `limit`: the caller only compares it with that.
std::size_t count_regional_maxima(Scratch& s, std::size_t limit) {
    const std::size_t w = s.w;
    const float* v = s.window.data();
    std::uint8_t* decided = s.decided.data();
    std::memset(decided, 0, w * w);
    const std::size_t last = w - 1;
    std::size_t count = 0;

    // Calls f(neighbour index) for the neighbours of (a, e) inside the window.
    auto for_neighbours = [&](std::size_t a, std::size_t e, auto&& f) {
        const std::size_t a0 = a == 0 ? a : a - 1, a1 = a == last ? a : a + 1;
        const std::size_t e0 = e == 0 ? e : e - 1, e1 = e == last ? e : e + 1;
        for (std::size_t na = a0; na <= a1; ++na)
            for (std::size_t ne = e0; ne <= e1; ++ne)
                if (na != a || ne != e) f(na * w + ne);
    };

    for (std::size_t p = 0; p < w * w; ++p) {
        const float z = v[p];
        if (!(z > 0.0f) || decided[p]) continue;
        // Quick look at the 3 x 3 neighbourhood first: a greater neighbour
        // rules the pixel out, no equal neighbour makes it a plateau of one.
        bool greater = false, equal = false;
        for_neighbours(p / w, p % w, [&](std::size_t q) {
            greater |= v[q] > z;
            equal |= v[q] == z;
        });
        // Not marked: a plateau reaching this pixel must still look past it.
        if (greater) continue;
        decided[p] = 1;
        if (!equal) {
            if (++count > limit) return count;
            continue;
        }
        // Flood the plateau; its pixels are settled together.
        s.plateau.clear();
        s.plateau.push_back(p);
        bool maximum = true;
        for (std::size_t k = 0; k < s.plateau.size(); ++k) {
            const std::size_t q = s.plateau[k];
            for_neighbours(q / w, q % w, [&](std::size_t n) {
                const float u = v[n];
                if (u > z) {
                    maximum = false;
                } else if (u == z && !decided[n]) {
                    decided[n] = 1;
                    s.plateau.push_back(n);
                }
            });
        }
        if (maximum) {
            count += s.plateau.size();
            if (count > limit) return count;
        }
    }
    return count;
}

// Intensity-weighted centroid of the window, as an offset from its centre;
// (0, 0) when the values sum to exactly 0.
std::pair<float, float> window_centroid(const Scratch& s) {
    const float* v = s.window.data();
    float sum = 0.0f, sum_a = 0.0f, sum_e = 0.0f;
    for (std::size_t a = 0; a < s.w; ++a)
        for (std::size_t e = 0; e < s.w; ++e) {
            const float x = v[a * s.w + e];
            sum += x;
            sum_a += x * static_cast<float>(a);
            sum_e += x * static_cast<float>(e);
        }
    if (sum == 0.0f) return {0.0f, 0.0f};
    const float h = static_cast<float>(s.w / 2);
    return {sum_a / sum - h, sum_e / sum - h};
}

std::optional<std::pair<float, float>> run_localizer(LocalizationMethod method, const Matrix& w) {
    switch (method) {
        case LocalizationMethod::RadialSymmetry:
            return localize_radial_symmetry(w);
        case LocalizationMethod::GaussianFitting:
            return localize_gaussian_fitting(w);
    }
    fault("unknown localization method");
}

}  // namespace

std::vector<Peak2D> localize(const Matrix& image, const std::vector<Peak2D>& peaks,
                             std::uint64_t window_size, const ImageGrid& grid,
                             std::size_t max_local_maxima, LocalizationMethod method,
                             std::optional<std::uint64_t> max_num_peaks) {
    const std::size_t n_rows = grid.n_rows, n_cols = grid.n_cols;
    // Before anything is allocated: a window larger than the image fits nowhere.
    if (peaks.empty() || n_rows < window_size || n_cols < window_size) return {};
    if (image.shape[0] != n_rows || image.shape[1] != n_cols) fault(kIndexFault);
    if (window_size < 3 || window_size % 2 == 0) fault("localize: window size must be odd and >= 3");

    const std::size_t w = window_size;  // at most the image side now
    const std::size_t h = w / 2;
    const Extent2D& ext = grid.extent;
    const float sx = (ext.x_last - ext.x_first) / static_cast<float>(n_rows - 1);
    const float sy = (ext.y_last - ext.y_first) / static_cast<float>(n_cols - 1);
    const float bound = static_cast<float>(w) * 0.5f;

    Scratch s(w);
    const Matrix window = contiguous_view<float, 2>(s.window.data(), {w, w});
    std::vector<Peak2D> out;
    for (const Peak2D& peak : peaks) {
        const std::size_t r = peak.row, c = peak.col;
        if (!(h <= r && r + h < n_rows && h <= c && c + h < n_cols)) continue;
        copy_window(image, r - h, c - h, s);
        Peak2D entry = peak;
        if (count_regional_maxima(s, max_local_maxima) > max_local_maxima) {
            // Several maxima in the window: keep the pixel position.
            entry.x = static_cast<float>(r) * sx + ext.x_first;
            entry.y = static_cast<float>(c) * sy + ext.y_first;
            out.push_back(entry);
            continue;
        }
        auto offset = run_localizer(method, window);
        if (!offset) continue;
        // A NaN offset is not beyond the bound and passes through.
        std::pair<float, float> d = *offset;
        if (std::fabs(d.first) > bound || std::fabs(d.second) > bound) d = window_centroid(s);
        entry.x = (static_cast<float>(r) + d.first) * sx + ext.x_first;
        entry.y = (static_cast<float>(c) + d.second) * sy + ext.y_first;
        out.push_back(entry);
        if (max_num_peaks && out.size() >= *max_num_peaks) break;
    }
    return out;
}

}  // namespace sonaloc
