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

    // Local names: z, y, x are window axes 0, 1, 2.
    const std::vector<float> zc = centred_coordinates(w.shape[0]);
    const std::vector<float> yc = centred_coordinates(w.shape[1]);
    const std::vector<float> xc = centred_coordinates(w.shape[2]);
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

    float z0 = 0.0f, y0 = 0.0f, x0 = 0.0f;
    for (int iteration = 0; iteration < 5; ++iteration) {
        float* g = model;
        for (std::size_t i = 0; i < w.shape[0]; ++i) {
            const float dz = zc[i] - z0;
            const float ez = dz * dz * -0.5f;
            for (std::size_t j = 0; j < w.shape[1]; ++j) {
                const float dy = yc[j] - y0;
                const float eyz = dy * dy * -0.5f + ez;
                for (std::size_t k = 0; k < w.shape[2]; ++k) {
                    const float dx = xc[k] - x0;
                    *g++ = std::exp(dx * dx * -0.5f + eyz);
                }
            }
        }
        float szz = 0.0f, syy = 0.0f, sxx = 0.0f, syz = 0.0f, sxz = 0.0f, sxy = 0.0f;
        float srz = 0.0f, sry = 0.0f, srx = 0.0f;
        std::size_t n = 0;
        for (std::size_t i = 0; i < w.shape[0]; ++i) {
            const float dz = zc[i] - z0;
            for (std::size_t j = 0; j < w.shape[1]; ++j) {
                const float dy = yc[j] - y0;
                for (std::size_t k = 0; k < w.shape[2]; ++k, ++n) {
                    const float dx = xc[k] - x0;
                    const float r = data[n] - model[n];
                    const float jz = dz * model[n], jy = dy * model[n], jx = dx * model[n];
                    szz += jz * jz;
                    syy += jy * jy;
                    sxx += jx * jx;
                    syz += jy * jz;
                    sxz += jz * jx;
                    sxy += jx * jy;
                    srz += jz * r;
                    sry += jy * r;
                    srx += jx * r;
                }
            }
        }
        const float det = determinant(szz, syz, sxz, syz, syy, sxy, sxz, sxy, sxx);
        if (std::fabs(det) < min_det) return std::nullopt;
        // Cramer's rule: the matrix with one column replaced by the residual terms.
        const float dz0 = determinant(srz, syz, sxz, sry, syy, sxy, srx, sxy, sxx) / det;
        const float dy0 = determinant(szz, srz, sxz, syz, sry, sxy, sxz, srx, sxx) / det;
        const float dx0 = determinant(szz, syz, srz, syz, syy, sry, sxz, sxy, srx) / det;
        z0 += dz0;
        y0 += dy0;
        x0 += dx0;
    }
    return Point3{z0 + static_cast<float>(w.shape[0] - 1) * 0.5f,
                  y0 + static_cast<float>(w.shape[1] - 1) * 0.5f,
                  x0 + static_cast<float>(w.shape[2] - 1) * 0.5f};
}

}  // namespace sonaloc
