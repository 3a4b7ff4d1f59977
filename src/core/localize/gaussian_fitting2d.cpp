#include "core/localize/gaussian_fitting2d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>


namespace sonaloc {

namespace {

constexpr int kSteps = 5;
constexpr float kMinDeterminant = 1e-10f;
constexpr std::size_t kRun = 32;

// Largest value, NaN never replacing the running maximum.
float max_ignoring_nan(const Matrix& w) {
    float m = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < w.shape[0]; ++i)
        for (std::size_t j = 0; j < w.shape[1]; ++j) {
            const float v = w(i, j);
            if (v > m) m = v;
        }
    return m;
}

}  // namespace

std::optional<std::pair<float, float>> localize_gaussian_fitting(const Matrix& window) {
    const std::size_t rows = window.shape[0];
    const std::size_t cols = window.shape[1];
    if (rows == 0 || cols == 0) return std::nullopt;
    const float m = max_ignoring_nan(window);
    if (!(m > 0.0f)) return std::nullopt;

    // Pixel (i, j) sits at (i - (R - 1) / 2, j - (C - 1) / 2); the coordinates
    // are formed on the fly with the same roundings as a precomputed table.
    const float row_centre = static_cast<float>(rows - 1) * 0.5f;
    const float col_centre = static_cast<float>(cols - 1) * 0.5f;

    float x0 = 0.0f;
    float y0 = 0.0f;
    for (int step = 0; step < kSteps; ++step) {
        float sxx = 0.0f, syy = 0.0f, sxy = 0.0f, srx = 0.0f, sry = 0.0f;
        for (std::size_t i = 0; i < rows; ++i) {
            const float dx = (static_cast<float>(i) - row_centre) - x0;
            const float ex = -0.5f * dx * dx;
            // The model values of a run of columns first, then the sums: the
            // exponential is a library call, and keeping it out of the
            // accumulating loop keeps the sums in registers.
            for (std::size_t j0 = 0; j0 < cols; j0 += kRun) {
                const std::size_t n = std::min(kRun, cols - j0);
                float model[kRun];
                for (std::size_t k = 0; k < n; ++k) {
                    const float dy = (static_cast<float>(j0 + k) - col_centre) - y0;
                    model[k] = std::exp(-0.5f * dy * dy + ex);
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const float dy = (static_cast<float>(j0 + k) - col_centre) - y0;
                    const float d = window(i, j0 + k) / m;
                    const float g = model[k];
                    const float r = d - g;
                    const float jx = dx * g;
                    const float jy = dy * g;
                    sxx += jx * jx;
                    syy += jy * jy;
                    sxy += jx * jy;
                    srx += jx * r;
                    sry += jy * r;
                }
            }
        }
        const float det = sxx * syy - sxy * sxy;
        if (std::fabs(det) < kMinDeterminant) return std::nullopt;
        const float delta_x = (syy * srx - sxy * sry) / det;
        const float delta_y = (sxx * sry - sxy * srx) / det;
        x0 += delta_x;
        y0 += delta_y;
    }
    return std::pair{x0, y0};
}

}  // namespace sonaloc
