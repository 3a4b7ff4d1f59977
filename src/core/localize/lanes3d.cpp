#include "core/localize/lanes3d.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/simd/expf.hpp"
#include "core/simd/lanes.hpp"

namespace sonaloc {

#pragma GCC push_options
#pragma GCC target("avx2,fma,bmi,bmi2,popcnt")
namespace volume_avx2 {
using namespace simd::avx2;
#include "core/localize/gaussian_fitting3d_lanes.inl"
#include "core/localize/radial_symmetry3d_lanes.inl"
}  // namespace volume_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")
namespace volume_avx512 {
using namespace simd::avx512;
#include "core/localize/gaussian_fitting3d_lanes.inl"
#include "core/localize/radial_symmetry3d_lanes.inl"
}  // namespace volume_avx512
#pragma GCC pop_options

std::size_t volume_lanes(LocalizationMethod method) noexcept {
    if (method == LocalizationMethod::GaussianFitting && simd::expf_variant() == simd::ExpfVariant::Library)
        return 0;
    return simd::lane_count();
}

std::size_t volume_lanes_work(LocalizationMethod method, std::size_t w, std::size_t lanes) noexcept {
    if (method == LocalizationMethod::RadialSymmetry) return w < 2 ? 0 : 6 * (w - 1) * (w - 1) * (w - 1) * lanes;
    return w * w * w * lanes;
}

unsigned localize_3d_lanes(LocalizationMethod method, const float* win, std::size_t w, float* work,
                           float* out0, float* out1, float* out2) {
    const bool fused = simd::expf_variant() == simd::ExpfVariant::Fused;
    if (simd::isa() == simd::Isa::Avx512) {
        if (method == LocalizationMethod::RadialSymmetry)
            return volume_avx512::radial_symmetry_3d_lanes(win, w, work, out0, out1, out2);
        return fused ? volume_avx512::fit_3d_lanes<true>(win, w, work, out0, out1, out2)
                     : volume_avx512::fit_3d_lanes<false>(win, w, work, out0, out1, out2);
    }
    if (method == LocalizationMethod::RadialSymmetry)
        return volume_avx2::radial_symmetry_3d_lanes(win, w, work, out0, out1, out2);
    return fused ? volume_avx2::fit_3d_lanes<true>(win, w, work, out0, out1, out2)
                 : volume_avx2::fit_3d_lanes<false>(win, w, work, out0, out1, out2);
}

}  // namespace sonaloc
