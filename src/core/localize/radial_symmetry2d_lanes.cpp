#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/localize/radial_symmetry2d.hpp"
#include "core/simd/lanes.hpp"

namespace sonaloc {

#pragma GCC push_options
#pragma GCC target("avx2,fma,bmi,bmi2,popcnt")
namespace radial_avx2 {
using namespace simd::avx2;
#include "core/localize/radial_symmetry2d_lanes.inl"
}  // namespace radial_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")
namespace radial_avx512 {
using namespace simd::avx512;
#include "core/localize/radial_symmetry2d_lanes.inl"
}  // namespace radial_avx512
#pragma GCC pop_options

std::size_t radial_symmetry_lanes() noexcept {
    switch (simd::isa()) {
        case simd::Isa::Avx512: return radial_avx512::kLanes;
        case simd::Isa::Avx2: return radial_avx2::kLanes;
        case simd::Isa::Portable: break;
    }
    return 0;
}

unsigned localize_radial_symmetry_lanes(const float* windows, std::size_t w, float* work, float* x0,
                                        float* y0) {
    if (simd::isa() == simd::Isa::Avx512) return radial_avx512::radial_symmetry_lanes(windows, w, work, x0, y0);
    return radial_avx2::radial_symmetry_lanes(windows, w, work, x0, y0);
}

}  // namespace sonaloc
