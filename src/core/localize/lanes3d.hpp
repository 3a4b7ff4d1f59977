// 3D windows worked on in SIMD lanes, one window per lane: both localizers.
// Every lane performs exactly the float operations of the scalar code, in the
// same order. Voxel (i, j, k) of the w^3 windows of a batch is the `lanes`
// floats at win + ((i * w + j) * w + k) * lanes, lane k for window k.
#pragma once
#include <cstddef>

#include "core/localize/method.hpp"

namespace sonaloc {

// The number of lanes the method runs on, or 0 where there are none (the
// portable path; for Gaussian fitting also a C library whose expf the lanes
// do not reproduce).
std::size_t volume_lanes(LocalizationMethod method) noexcept;

// The floats of working memory a batch of windows of side w needs.
std::size_t volume_lanes_work(LocalizationMethod method, std::size_t w, std::size_t lanes) noexcept;

// The localizer on every lane's window (w >= 3 for radial symmetry): the
// result in index coordinates of the window to out0[k] .. out2[k]; returns the
// mask of the lanes that have one.
unsigned localize_3d_lanes(LocalizationMethod method, const float* win, std::size_t w, float* work,
                           float* out0, float* out1, float* out2);

}  // namespace sonaloc
