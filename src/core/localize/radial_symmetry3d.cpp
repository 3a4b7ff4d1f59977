#include "core/localize/radial_symmetry3d.hpp"

#include <algorithm>
#include <cmath>

namespace sonaloc {
namespace {

struct Grid {
    std::size_t n0, n1, n2;
    std::size_t size() const { return n0 * n1 * n2; }
    std::size_t at(std::size_t i, std::size_t j, std::size_t k) const { return (i * n1 + j) * n2 + k; }
};

// The three diagonal differences of a grid point travel together as the
// lanes of one vector; every lane is rounded exactly as its scalar would be.
using Lanes = RadialSymmetryScratch3D::Lanes;

// 3x3x3 sum in index order from 0, divided by 27 everywhere (zeros outside).
void filter_into(const Lanes* a, Lanes* out, const Grid& g) {
    for (std::size_t i = 0; i < g.n0; ++i) {
        const std::size_t a0 = i == 0 ? 0 : i - 1, a1 = std::min(i + 1, g.n0 - 1);
        for (std::size_t j = 0; j < g.n1; ++j) {
            const std::size_t b0 = j == 0 ? 0 : j - 1, b1 = std::min(j + 1, g.n1 - 1);
            for (std::size_t k = 0; k < g.n2; ++k) {
                const std::size_t c0 = k == 0 ? 0 : k - 1, c1 = std::min(k + 1, g.n2 - 1);
                Lanes sum = {0.0f, 0.0f, 0.0f, 0.0f};
                for (std::size_t x = a0; x <= a1; ++x)
                    for (std::size_t y = b0; y <= b1; ++y)
                        for (std::size_t z = c0; z <= c1; ++z) sum += a[g.at(x, y, z)];
                out[g.at(i, j, k)] = sum / 27.0f;
            }
        }
    }
}

// Half a difference, with an exact zero difference giving +0.
inline float half(float v) { return v == 0.0f ? 0.0f : v * 0.5f; }

inline float to_index(float p, std::size_t d) { return (static_cast<float>(d) * 0.5f + p) + -0.5f; }

}  // namespace

std::optional<Point3> localize_radial_symmetry_3d(const Volume& window) {
    RadialSymmetryScratch3D scratch;
    return localize_radial_symmetry_3d(window, scratch);
}

std::optional<Point3> localize_radial_symmetry_3d(const Volume& I, RadialSymmetryScratch3D& scratch) {
    const std::size_t D0 = I.size(0), D1 = I.size(1), D2 = I.size(2);
    if (D0 < 3 || D1 < 3 || D2 < 3) return std::nullopt;
    const Grid G{D0 - 1, D1 - 1, D2 - 1};
    const std::size_t n = G.size();
    const float K0 = 0.5f - (static_cast<float>(D0) - 1.0f) * 0.5f;
    const float K1 = 0.5f - (static_cast<float>(D1) - 1.0f) * 0.5f;
    const float K2 = 0.5f - (static_cast<float>(D2) - 1.0f) * 0.5f;
    auto u0 = [&](std::size_t i) { return static_cast<float>(i) + K0; };
    auto u1 = [&](std::size_t j) { return static_cast<float>(j) + K1; };
    auto u2 = [&](std::size_t k) { return static_cast<float>(k) + K2; };

    Lanes* E = scratch.room(2 * n);  // lanes: E1, E2, E3
    Lanes* S = E + n;       // lanes: S1, S2, S3

    // Differences along three body diagonals of every 2x2x2 block.
    for (std::size_t i = 0; i < G.n0; ++i)
        for (std::size_t j = 0; j < G.n1; ++j)
            for (std::size_t k = 0; k < G.n2; ++k) {
                E[G.at(i, j, k)] = Lanes{I(i + 1, j + 1, k + 1) - I(i, j, k),
                                         I(i + 1, j, k) - I(i, j + 1, k + 1),
                                         I(i + 1, j + 1, k) - I(i, j, k + 1), 0.0f};
            }
    filter_into(E, S, G);

    // Strength and its centroid (centred frame).
    float T = 0.0f, T0 = 0.0f, T1 = 0.0f, T2 = 0.0f;
    for (std::size_t i = 0; i < G.n0; ++i)
        for (std::size_t j = 0; j < G.n1; ++j)
            for (std::size_t k = 0; k < G.n2; ++k) {
                const std::size_t p = G.at(i, j, k);
                const float s1 = S[p][0], s2 = S[p][1], s3 = S[p][2];
                const float g = (s1 * s1 + s2 * s2) + s3 * s3;
                T += g;
                T0 += g * u0(i);
                T1 += g * u1(j);
                T2 += g * u2(k);
            }
    if (T == 0.0f) return std::nullopt;
    const float c0m = T0 / T, c1m = T1 / T, c2m = T2 / T;
    const Point3 centroid{to_index(c0m, D0), to_index(c1m, D1), to_index(c2m, D2)};

    // Normal equations of the point nearest to the lines through the grid
    // points along their directions, weighted by strength over distance.
    float A00 = 0.0f, A01 = 0.0f, A02 = 0.0f, A11 = 0.0f, A12 = 0.0f, A22 = 0.0f;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
    for (std::size_t i = 0; i < G.n0; ++i)
        for (std::size_t j = 0; j < G.n1; ++j)
            for (std::size_t k = 0; k < G.n2; ++k) {
                const std::size_t p = G.at(i, j, k);
                const float s1 = S[p][0], s2 = S[p][1], s3 = S[p][2];
                const float e1 = E[p][0], e2 = E[p][1], e3 = E[p][2];
                const float c0 = half(s1 - s3) + half(e1 - e3);
                const float c1 = half(s2 - s1) + half(e2 - e1);
                const float c2 = half(s3 - s2) + half(e3 - e2);
                const float g = (s1 * s1 + s2 * s2) + s3 * s3;
                const float q = (c0 * c0 + c1 * c1) + c2 * c2;
                const float r0 = u0(i) - c0m, r1 = u1(j) - c1m, r2 = u2(k) - c2m;
                const float d2 = r2 * r2 + (r1 * r1 + r0 * r0);
                const float w = (d2 > 0.0f && q > 0.0f) ? (g / q) / std::sqrt(d2) : 0.0f;

                const float m00 = (c1 * c1 + c2 * c2) * -2.0f;
                const float m11 = (c2 * c2 + c0 * c0) * -2.0f;
                const float m22 = (c1 * c1 + c0 * c0) * -2.0f;
                const float m01 = (2.0f * c1) * c0;
                const float m02 = (2.0f * c2) * c0;
                const float m12 = (2.0f * c2) * c1;

                A00 += w * m00;
                A01 += w * m01;
                A02 += w * m02;
                A11 += w * m11;
                A12 += w * m12;
                A22 += w * m22;
                b0 += (u2(k) * m02 + (u1(j) * m01 + u0(i) * m00)) * w;
                b1 += (u2(k) * m12 + (u1(j) * m11 + u0(i) * m01)) * w;
                b2 += (u2(k) * m22 + (u1(j) * m12 + u0(i) * m02)) * w;
            }

    const float det = A00 * (A11 * A22 - A12 * A12) - A01 * (A01 * A22 - A02 * A12) +
                      A02 * (A01 * A12 - A02 * A11);
    if (det == 0.0f || std::isnan(det)) return centroid;
    const float r = 1.0f / det;
    const float p0 = (b0 * (A11 * A22 - A12 * A12) - b1 * (A01 * A22 - A02 * A12) + b2 * (A01 * A12 - A02 * A11)) * r;
    const float p1 = (b1 * (A00 * A22 - A02 * A02) - b0 * (A01 * A22 - A02 * A12) - b2 * (A00 * A12 - A01 * A02)) * r;
    const float p2 = (b0 * (A01 * A12 - A02 * A11) - b1 * (A00 * A12 - A01 * A02) + b2 * (A00 * A11 - A01 * A01)) * r;
    if (std::isnan(p0) || std::isnan(p1) || std::isnan(p2)) return centroid;
    return Point3{to_index(p0, D0), to_index(p1, D1), to_index(p2, D2)};
}

}  // namespace sonaloc
