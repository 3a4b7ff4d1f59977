#include "core/localize/lanes2d.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/simd/expf.hpp"
#include "core/simd/lanes.hpp"

namespace sonaloc {

#pragma GCC push_options
#pragma GCC target("avx2,fma,bmi,bmi2,popcnt")
namespace lanes_avx2 {
using namespace simd::avx2;
#include "core/localize/gaussian_fitting2d_lanes.inl"
#include "core/localize/maxima_lanes.inl"
#include "core/localize/radial_symmetry2d_lanes.inl"
}  // namespace lanes_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")
namespace lanes_avx512 {
using namespace simd::avx512;
#include "core/localize/gaussian_fitting2d_lanes.inl"
#include "core/localize/maxima_lanes.inl"
#include "core/localize/radial_symmetry2d_lanes.inl"
}  // namespace lanes_avx512
#pragma GCC pop_options

namespace {

bool wide512() noexcept { return simd::isa() == simd::Isa::Avx512; }

}  // namespace

std::size_t window_lanes(LocalizationMethod method) noexcept {
    if (method == LocalizationMethod::GaussianFitting && simd::expf_variant() == simd::ExpfVariant::Library)
        return 0;
    return simd::lane_count();
}

std::size_t window_lanes_work(LocalizationMethod method, std::size_t w, std::size_t lanes) noexcept {
    if (method == LocalizationMethod::RadialSymmetry) return 4 * (w - 1) * (w - 1) * lanes;
    return w * w * lanes;
}

unsigned count_maxima_lanes(const float* framed, std::size_t w, float* counts) {
    return wide512() ? lanes_avx512::count_maxima_lanes(framed, w, counts)
                     : lanes_avx2::count_maxima_lanes(framed, w, counts);
}

unsigned localize_lanes(LocalizationMethod method, const float* framed, std::size_t w, float* work,
                        float* x0, float* y0) {
    const std::size_t rs = w + 2;
    if (wide512()) {
        const float* origin = framed + (rs + 1) * lanes_avx512::kLanes;
        if (method == LocalizationMethod::RadialSymmetry)
            return lanes_avx512::radial_symmetry_lanes(origin, w, rs, work, x0, y0);
        return simd::expf_variant() == simd::ExpfVariant::Fused
                   ? lanes_avx512::fit_lanes<true>(origin, w, rs, work, x0, y0)
                   : lanes_avx512::fit_lanes<false>(origin, w, rs, work, x0, y0);
    }
    const float* origin = framed + (rs + 1) * lanes_avx2::kLanes;
    if (method == LocalizationMethod::RadialSymmetry)
        return lanes_avx2::radial_symmetry_lanes(origin, w, rs, work, x0, y0);
    return simd::expf_variant() == simd::ExpfVariant::Fused ? lanes_avx2::fit_lanes<true>(origin, w, rs, work, x0, y0)
                                                            : lanes_avx2::fit_lanes<false>(origin, w, rs, work, x0, y0);
}

}  // namespace sonaloc
