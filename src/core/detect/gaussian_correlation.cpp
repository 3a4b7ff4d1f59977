#include "core/detect/gaussian_correlation.hpp"

#include "core/coordinates.hpp"
#include "core/simd/lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/runtime/interrupt.hpp"

namespace sonaloc {
namespace {

constexpr int kRadius = 2;
constexpr int kSide = 2 * kRadius + 1;
constexpr std::size_t kVolume = kSide * kSide * kSide;

using Template = std::array<float, kVolume>;

constexpr std::size_t template_index(int a, int b, int c) {
    return static_cast<std::size_t>(((a + kRadius) * kSide + (b + kRadius)) * kSide + (c + kRadius));
}

// exp(-0.5 (q2^2 + (q1^2 + q0^2))) with q = offset * voxel size / sigma, where
// the voxel size is the extent divided by the number of voxels; then scaled
// to sum 1 (summed in index order).
Template gaussian_template(const Volume& volume, const VolumeExtent& extent,
                           const std::array<float, 3>& sigmas) {
    std::array<float, 3> size{};
    for (std::size_t axis = 0; axis < 3; ++axis)
        size[axis] = voxel_size(extent[2 * axis], extent[2 * axis + 1], volume.shape[axis]);
    Template t{};
    for (int a = -kRadius; a <= kRadius; ++a)
        for (int b = -kRadius; b <= kRadius; ++b)
            for (int c = -kRadius; c <= kRadius; ++c) {
                const float q0 = (static_cast<float>(a) * size[0]) / sigmas[0];
                const float q1 = (static_cast<float>(b) * size[1]) / sigmas[1];
                const float q2 = (static_cast<float>(c) * size[2]) / sigmas[2];
                t[template_index(a, b, c)] = std::exp(-0.5f * (q2 * q2 + (q1 * q1 + q0 * q0)));
            }
    float sum = 0.0f;
    for (float v : t) sum += v;
    for (float& v : t) v /= sum;
    return t;
}

// Offsets d in [-2, 2] with 0 <= index + d < n, as a closed range.
struct OffsetRange {
    int lo, hi;
};

OffsetRange in_bounds(std::size_t index, std::size_t n) {
    const auto i = static_cast<std::ptrdiff_t>(index);
    const auto len = static_cast<std::ptrdiff_t>(n);
    return {static_cast<int>(std::max<std::ptrdiff_t>(-kRadius, -i)),
            static_cast<int>(std::min<std::ptrdiff_t>(kRadius, len - 1 - i))};
}

float correlation_at(const Volume& volume, const Template& tmpl, const Peak3D& p) {
    std::array<float, kVolume> vals, temps;
    std::size_t m = 0;
    const OffsetRange r0 = in_bounds(p.i, volume.shape[0]);
    const OffsetRange r1 = in_bounds(p.j, volume.shape[1]);
    const OffsetRange r2 = in_bounds(p.k, volume.shape[2]);
    for (int a = r0.lo; a <= r0.hi; ++a)
        for (int b = r1.lo; b <= r1.hi; ++b) {
            const std::byte* line =
                volume.data + (static_cast<std::ptrdiff_t>(p.i) + a) * volume.strides[0] +
                (static_cast<std::ptrdiff_t>(p.j) + b) * volume.strides[1] +
                static_cast<std::ptrdiff_t>(p.k) * volume.strides[2];
            for (int c = r2.lo; c <= r2.hi; ++c) {
                std::memcpy(&vals[m], line + c * volume.strides[2], sizeof(float));
                temps[m] = tmpl[template_index(a, b, c)];
                ++m;
            }
        }
    if (m == 0) return 0.0f;

    float sum_v = 0.0f, sum_t = 0.0f;
    for (std::size_t n = 0; n < m; ++n) sum_v += vals[n];
    for (std::size_t n = 0; n < m; ++n) sum_t += temps[n];
    const float mean_v = sum_v / static_cast<float>(m);
    const float mean_t = sum_t / static_cast<float>(m);
    float num = 0.0f, ss_v = 0.0f, ss_t = 0.0f;
    for (std::size_t n = 0; n < m; ++n) {
        const float dv = vals[n] - mean_v;
        const float dt = temps[n] - mean_t;
        num += dt * dv;
        ss_v += dv * dv;
        ss_t += dt * dt;
    }
    const float prod = ss_t * ss_v;
    if (prod == 0.0f) return 0.0f;
    return num / std::sqrt(prod);
}

}  // namespace

#pragma GCC push_options
#pragma GCC target("avx2,fma,bmi,bmi2,popcnt")
namespace correlation_avx2 {
using namespace simd::avx2;
#include "core/detect/correlation_lanes.inl"
}  // namespace correlation_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")
namespace correlation_avx512 {
using namespace simd::avx512;
#include "core/detect/correlation_lanes.inl"
}  // namespace correlation_avx512
#pragma GCC pop_options

namespace {

// Candidates whose whole neighbourhood is inside are scored in lanes where
// the CPU has them: the template's share of the score is the same for all.
bool whole_neighbourhood(const Volume& v, const Peak3D& p) {
    return p.i >= kRadius && p.i + kRadius < v.shape[0] && p.j >= kRadius && p.j + kRadius < v.shape[1] &&
           p.k >= kRadius && p.k + kRadius < v.shape[2];
}

void score_in_lanes(const Volume& volume, const Template& tmpl, std::vector<Peak3D>& peaks, std::size_t lanes) {
    // The template terms, in the scalar score's order (all 125 offsets).
    float sum_t = 0.0f;
    for (float t : tmpl) sum_t += t;
    const float mean_t = sum_t / static_cast<float>(kVolume);
    std::array<float, kVolume> dt;
    float ss_t = 0.0f;
    for (std::size_t n = 0; n < kVolume; ++n) {
        dt[n] = tmpl[n] - mean_t;
        ss_t += dt[n] * dt[n];
    }
    std::vector<float> vals(kVolume * lanes);
    std::array<std::size_t, 16> which{};
    float scores[16];
    std::size_t used = 0;
    auto flush = [&] {
        for (std::size_t lane = used; lane < lanes; ++lane)  // unused lanes repeat lane 0
            for (std::size_t n = 0; n < kVolume; ++n) vals[n * lanes + lane] = vals[n * lanes];
        if (simd::isa() == simd::Isa::Avx512)
            correlation_avx512::correlation_lanes(vals.data(), dt.data(), ss_t, scores);
        else
            correlation_avx2::correlation_lanes(vals.data(), dt.data(), ss_t, scores);
        for (std::size_t lane = 0; lane < used; ++lane) peaks[which[lane]].correlation = scores[lane];
        used = 0;
    };
    for (std::size_t q = 0; q < peaks.size(); ++q) {
        interrupt::check_every(q, 256);
        const Peak3D& p = peaks[q];
        if (!whole_neighbourhood(volume, p)) {
            peaks[q].correlation = correlation_at(volume, tmpl, p);
            continue;
        }
        std::size_t n = 0;
        for (int a = -kRadius; a <= kRadius; ++a)
            for (int b = -kRadius; b <= kRadius; ++b) {
                const std::byte* line = volume.data +
                                        (static_cast<std::ptrdiff_t>(p.i) + a) * volume.strides[0] +
                                        (static_cast<std::ptrdiff_t>(p.j) + b) * volume.strides[1] +
                                        static_cast<std::ptrdiff_t>(p.k) * volume.strides[2];
                for (int c = -kRadius; c <= kRadius; ++c, ++n)
                    std::memcpy(&vals[n * lanes + used], line + c * volume.strides[2], sizeof(float));
            }
        which[used++] = q;
        if (used == lanes) flush();
    }
    if (used > 0) flush();
}

}  // namespace

void compute_correlations(const Volume& volume, const VolumeExtent& extent,
                          std::vector<Peak3D>& peaks, const std::array<float, 3>& sigmas) {
    if (peaks.empty()) return;
    const Template tmpl = gaussian_template(volume, extent, sigmas);
    if (const std::size_t lanes = simd::lane_count()) {
        score_in_lanes(volume, tmpl, peaks, lanes);
        return;
    }
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        interrupt::check_every(i, 256);
        peaks[i].correlation = correlation_at(volume, tmpl, peaks[i]);
    }
}

void screen_by_correlation(std::vector<Peak3D>& peaks, float threshold) {
    std::erase_if(peaks, [threshold](const Peak3D& p) {
        return !(p.correlation.value_or(0.0f) >= threshold);
    });
}

}  // namespace sonaloc
