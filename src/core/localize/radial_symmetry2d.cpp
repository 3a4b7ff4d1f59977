#include "core/localize/radial_symmetry2d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonaloc {
namespace {

// Slope of the line through a grid point along the local gradient (column per
// row). Both differences zero gives NaN -> 0; s1 == s2 != 0 gives a line along
// a row, whose slope is taken as 1e6 whatever the sign of the infinity.
inline float slope(float s1, float s2) {
    const float m = -(s1 + s2) / (s1 - s2);
    const float finite = m != m ? 0.0f : m;
    return std::fabs(finite) == std::numeric_limits<float>::infinity() ? 1000000.0f : finite;
}

// The two diagonal differences of a grid point travel together as lanes of
// one vector; every lane is rounded exactly as its scalar would be.
using Lanes = RadialSymmetryScratch::Lanes;

// 3x3 sum in row-major order from 0, divided by 9 everywhere.
template <class T>
T border_sum(const T* a, std::size_t rows, std::size_t cols, std::size_t i, std::size_t j) {
    const std::size_t r0 = i == 0 ? 0 : i - 1, r1 = std::min(i + 1, rows - 1);
    const std::size_t c0 = j == 0 ? 0 : j - 1, c1 = std::min(j + 1, cols - 1);
    T sum{};
    for (std::size_t r = r0; r <= r1; ++r)
        for (std::size_t c = c0; c <= c1; ++c) sum += a[r * cols + c];
    return sum;
}

template <class T>
void filter_into(const T* a, T* out, std::size_t rows, std::size_t cols) {
    for (std::size_t i = 0; i < rows; ++i) {
        const bool inner_row = i > 0 && i + 1 < rows;
        for (std::size_t j = 0; j < cols; ++j) {
            T sum;
            if (inner_row && j > 0 && j + 1 < cols) {
                // All nine neighbours exist: the same additions, unrolled.
                const T* t = a + (i - 1) * cols + (j - 1);
                const T* u = t + cols;
                const T* w = u + cols;
                sum = T{};
                sum += t[0]; sum += t[1]; sum += t[2];
                sum += u[0]; sum += u[1]; sum += u[2];
                sum += w[0]; sum += w[1]; sum += w[2];
            } else {
                sum = border_sum(a, rows, cols, i, j);
            }
            out[i * cols + j] = sum / 9.0f;
        }
    }
}

}  // namespace

std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& window) {
    RadialSymmetryScratch scratch;
    return localize_radial_symmetry(window, scratch);
}

std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& I,
                                                                RadialSymmetryScratch& scratch) {
    const std::size_t R = I.size(0), C = I.size(1);
    if (R < 2 || C < 2) return std::nullopt;  // empty gradient grid: every sum is 0
    const std::size_t gr = R - 1, gc = C - 1, n = gr * gc;
    const float K0 = 0.5f - (static_cast<float>(R) - 1.0f) * 0.5f;
    const float K1 = 0.5f - (static_cast<float>(C) - 1.0f) * 0.5f;

    Lanes* d = scratch.room(2 * n + (6 * n + 3) / 4);  // lanes: d1, d2
    Lanes* sm = d + n;      // lanes: s1, s2
    // Per grid point: coordinates, squared gradient, slope, intercept, weight.
    // Names carry the window axis: u0, u1 are a grid point's centred
    // coordinates along axes 0 and 1, and its gradient line is u1 = m u0 + b.
    float* u1 = reinterpret_cast<float*>(sm + n);
    float* u0 = u1 + n;
    float* g = u0 + n;
    float* m = g + n;
    float* b = m + n;
    float* v = b + n;

    // Differences across each 2x2 block, along its two diagonals.
    for (std::size_t i = 0; i < gr; ++i)
        for (std::size_t j = 0; j < gc; ++j) {
            const std::size_t p = i * gc + j;
            d[p] = Lanes{I(i + 1, j) - I(i, j + 1), I(i, j) - I(i + 1, j + 1), 0.0f, 0.0f};
            u0[p] = static_cast<float>(i) + K0;
            u1[p] = static_cast<float>(j) + K1;
        }
    filter_into(d, sm, gr, gc);

    // Element-wise steps run as loops of their own (they vectorise; every
    // element is rounded as its scalar formula says); the sums stay
    // sequential, in row-major order.
    for (std::size_t p = 0; p < n; ++p) {
        const float s1 = sm[p][0], s2 = sm[p][1];
        g[p] = s1 * s1 + s2 * s2;
        m[p] = slope(s1, s2);
        b[p] = u1[p] - m[p] * u0[p];
    }

    // Gradient centroid.
    float S = 0.0f, Sg1 = 0.0f, Sg0 = 0.0f;
    for (std::size_t p = 0; p < n; ++p) {
        S += g[p];
        Sg1 += g[p] * u1[p];
        Sg0 += g[p] * u0[p];
    }
    if (S == 0.0f) S = 1.0f;
    const float c1 = Sg1 / S;
    const float c0 = Sg0 / S;

    // Weights: squared gradient over the distance from the centroid (floored
    // at 1e-4; a NaN distance compares false and is kept), normalised by the
    // line's slope.
    for (std::size_t p = 0; p < n; ++p) {
        const float d0 = u0[p] - c0, d1 = u1[p] - c1;
        const float dist = std::sqrt(d0 * d0 + d1 * d1);
        const float w = g[p] / (dist < 0.0001f ? 0.0001f : dist);
        v[p] = w / (m[p] * m[p] + 1.0f);
    }

    // Weighted least squares for the point nearest to all gradient lines.
    float A = 0.0f, B = 0.0f, M = 0.0f, P = 0.0f, Q = 0.0f;
    for (std::size_t p = 0; p < n; ++p) {
        const float vm = v[p] * m[p];
        A += v[p];
        B += vm;
        M += vm * m[p];
        P += vm * b[p];
        Q += v[p] * b[p];
    }

    const float det = B * B - A * M;
    if (det == 0.0f) return std::nullopt;
    return std::pair{(P * A - Q * B) / det, (P * B - Q * M) / det};
}

}  // namespace sonaloc
