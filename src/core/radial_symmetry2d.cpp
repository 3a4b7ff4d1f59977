#include "core/radial_symmetry2d.hpp"

#include <algorithm>
#include <cmath>

namespace sonaloc {
namespace {

// Slope of the line through a grid point along the local gradient (column per
// row). Both differences zero gives NaN -> 0; s1 == s2 != 0 gives a line along
// a row, whose slope is taken as 1e6 whatever the sign of the infinity.
inline float slope(float s1, float s2) {
    const float m = -(s1 + s2) / (s1 - s2);
    if (std::isnan(m)) return 0.0f;
    if (std::isinf(m)) return 1000000.0f;
    return m;
}

// The two diagonal differences of a grid point travel together as lanes of
// one vector; every lane is rounded exactly as its scalar would be.
typedef float Lanes __attribute__((vector_size(16)));

// Per-call scratch, reused across calls on the same thread so that
// localizing thousands of windows does not allocate per window.
std::vector<Lanes>& scratch() {
    thread_local std::vector<Lanes> buffer;
    return buffer;
}

// 3x3 sum in row-major order from 0, divided by 9 everywhere.
template <class T>
void filter_into(const T* a, T* out, std::size_t rows, std::size_t cols) {
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t r0 = i == 0 ? 0 : i - 1, r1 = std::min(i + 1, rows - 1);
        for (std::size_t j = 0; j < cols; ++j) {
            const std::size_t c0 = j == 0 ? 0 : j - 1, c1 = std::min(j + 1, cols - 1);
            T sum{};
            for (std::size_t r = r0; r <= r1; ++r)
                for (std::size_t c = c0; c <= c1; ++c) sum += a[r * cols + c];
            out[i * cols + j] = sum / 9.0f;
        }
    }
}

}  // namespace

std::vector<float> apply_averaging_filter(const std::vector<float>& a, std::size_t rows, std::size_t cols) {
    std::vector<float> out(rows * cols);
    filter_into(a.data(), out.data(), rows, cols);
    return out;
}

std::optional<std::pair<float, float>> localize_radial_symmetry(const Matrix& I) {
    const std::size_t R = I.size(0), C = I.size(1);
    if (R < 2 || C < 2) return std::nullopt;  // empty gradient grid: every sum is 0
    const std::size_t gr = R - 1, gc = C - 1, n = gr * gc;
    const float Kr = 0.5f - (static_cast<float>(R) - 1.0f) * 0.5f;
    const float Kc = 0.5f - (static_cast<float>(C) - 1.0f) * 0.5f;

    auto& buf = scratch();
    buf.resize(2 * n);
    Lanes* d = buf.data();  // lanes: d1, d2
    Lanes* sm = d + n;      // lanes: s1, s2

    // Differences across each 2x2 block, along its two diagonals.
    for (std::size_t i = 0; i < gr; ++i)
        for (std::size_t j = 0; j < gc; ++j)
            d[i * gc + j] = Lanes{I(i + 1, j) - I(i, j + 1), I(i, j) - I(i + 1, j + 1), 0.0f, 0.0f};
    filter_into(d, sm, gr, gc);

    // Gradient centroid.
    float S = 0.0f, Sgx = 0.0f, Sgy = 0.0f;
    for (std::size_t i = 0; i < gr; ++i) {
        const float y = static_cast<float>(i) + Kr;
        for (std::size_t j = 0; j < gc; ++j) {
            const float x = static_cast<float>(j) + Kc;
            const float a = sm[i * gc + j][0], b = sm[i * gc + j][1];
            const float g = a * a + b * b;
            S += g;
            Sgx += g * x;
            Sgy += g * y;
        }
    }
    if (S == 0.0f) S = 1.0f;
    const float xc = Sgx / S;
    const float yc = Sgy / S;

    // Weighted least squares for the point nearest to all gradient lines.
    float A = 0.0f, B = 0.0f, M = 0.0f, P = 0.0f, Q = 0.0f;
    for (std::size_t i = 0; i < gr; ++i) {
        const float y = static_cast<float>(i) + Kr;
        for (std::size_t j = 0; j < gc; ++j) {
            const float x = static_cast<float>(j) + Kc;
            const float a = sm[i * gc + j][0], b = sm[i * gc + j][1];
            const float m = slope(a, b);
            const float intercept = x - m * y;
            const float g = a * a + b * b;
            const float dy = y - yc, dx = x - xc;
            const float dist = std::sqrt(dy * dy + dx * dx);
            // The floor keeps a NaN distance (it compares false).
            const float w = g / (dist < 0.0001f ? 0.0001f : dist);
            const float v = w / (m * m + 1.0f);
            const float vm = v * m;
            A += v;
            B += vm;
            M += vm * m;
            P += vm * intercept;
            Q += v * intercept;
        }
    }

    const float det = B * B - A * M;
    if (det == 0.0f) return std::nullopt;
    return std::pair{(P * A - Q * B) / det, (P * B - Q * M) / det};
}

}  // namespace sonaloc
