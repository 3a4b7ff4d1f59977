#include "core/localize/gaussian_fitting3d.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace sonaloc {
namespace {

// Largest value, NaN never replacing the running maximum.
float window_maximum(const Volume& w) {
    float m = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < w.shape[0]; ++i)
        for (std::size_t j = 0; j < w.shape[1]; ++j)
            for (std::size_t k = 0; k < w.shape[2]; ++k) {
                const float v = w(i, j, k);
                if (v > m) m = v;
            }
    return m;
}

// index - (D - 1) * 0.5: the window's geometric centre is the origin.
std::vector<float> centred_coordinates(std::size_t n) {
    std::vector<float> c(n);
    const float half = static_cast<float>(n - 1) * 0.5f;
    for (std::size_t i = 0; i < n; ++i) c[i] = static_cast<float>(i) - half;
    return c;
}

// 3x3 determinant expanded along the first row.
float determinant(float m00, float m01, float m02, float m10, float m11, float m12, float m20,
                  float m21, float m22) {
    return m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) +
           m02 * (m10 * m21 - m11 * m20);
}

}  // namespace

std::optional<Point3> localize_gaussian_fitting_3d(const Volume& w) {
    const float peak = window_maximum(w);
    if (!(peak > 0.0f)) return std::nullopt;

    // Names carry the window axis: c0 holds the centred coordinates of axis 0,
    // p0 the fitted centre along it, s01 the sum over axes 0 and 1, and so on.
    const std::vector<float> c0 = centred_coordinates(w.shape[0]);
    const std::vector<float> c1 = centred_coordinates(w.shape[1]);
    const std::vector<float> c2 = centred_coordinates(w.shape[2]);
    const float min_det = 1e-10f;

    // The normalised data d = I / M (divided once, not once per step) and the
    // model values of the current step. The exponentials are taken in a loop
    // of their own, so the nine running sums stay in registers across calls.
    const std::size_t count = w.count();
    std::vector<float> scratch(2 * count);
    float* const data = scratch.data();
    float* const model = data + count;
    {
        float* d = data;
        for (std::size_t i = 0; i < w.shape[0]; ++i)
            for (std::size_t j = 0; j < w.shape[1]; ++j)
                for (std::size_t k = 0; k < w.shape[2]; ++k) *d++ = w(i, j, k) / peak;
    }

    float p0 = 0.0f, p1 = 0.0f, p2 = 0.0f;
    for (int iteration = 0; iteration < 5; ++iteration) {
        float* g = model;
        for (std::size_t i = 0; i < w.shape[0]; ++i) {
            const float d0 = c0[i] - p0;
            const float e0 = d0 * d0 * -0.5f;
            for (std::size_t j = 0; j < w.shape[1]; ++j) {
                const float d1 = c1[j] - p1;
                const float e01 = d1 * d1 * -0.5f + e0;
                for (std::size_t k = 0; k < w.shape[2]; ++k) {
                    const float d2 = c2[k] - p2;
                    *g++ = std::exp(d2 * d2 * -0.5f + e01);
                }
            }
        }
        float s00 = 0.0f, s11 = 0.0f, s22 = 0.0f, s01 = 0.0f, s02 = 0.0f, s12 = 0.0f;
        float sr0 = 0.0f, sr1 = 0.0f, sr2 = 0.0f;
        std::size_t n = 0;
        for (std::size_t i = 0; i < w.shape[0]; ++i) {
            const float d0 = c0[i] - p0;
            for (std::size_t j = 0; j < w.shape[1]; ++j) {
                const float d1 = c1[j] - p1;
                for (std::size_t k = 0; k < w.shape[2]; ++k, ++n) {
                    const float d2 = c2[k] - p2;
                    const float r = data[n] - model[n];
                    const float j0 = d0 * model[n], j1 = d1 * model[n], j2 = d2 * model[n];
                    s00 += j0 * j0;
                    s11 += j1 * j1;
                    s22 += j2 * j2;
                    s01 += j1 * j0;
                    s02 += j0 * j2;
                    s12 += j2 * j1;
                    sr0 += j0 * r;
                    sr1 += j1 * r;
                    sr2 += j2 * r;
                }
            }
        }
        const float det = determinant(s00, s01, s02, s01, s11, s12, s02, s12, s22);
        if (std::fabs(det) < min_det) return std::nullopt;
        // Cramer's rule: the matrix with one column replaced by the residual terms.
        const float delta0 = determinant(sr0, s01, s02, sr1, s11, s12, sr2, s12, s22) / det;
        const float delta1 = determinant(s00, sr0, s02, s01, sr1, s12, s02, sr2, s22) / det;
        const float delta2 = determinant(s00, s01, sr0, s01, s11, sr1, s02, s12, sr2) / det;
        p0 += delta0;
        p1 += delta1;
        p2 += delta2;
    }
    return Point3{p0 + static_cast<float>(w.shape[0] - 1) * 0.5f,
                  p1 + static_cast<float>(w.shape[1] - 1) * 0.5f,
                  p2 + static_cast<float>(w.shape[2] - 1) * 0.5f};
}

}  // namespace sonaloc
