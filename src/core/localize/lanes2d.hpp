// 2D windows worked on in SIMD lanes, one window per lane: the regional-
// maximum count and both localizers. Every lane performs exactly the float
// operations of the scalar code, in the same order.
//
// Layout of a batch: the windows are framed by one pixel of -infinity, and
// pixel (a, e) of the framed (w + 2) x (w + 2) grid is the `lanes` floats at
// framed + (a * (w + 2) + e) * lanes, lane k for window k.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/localize/method.hpp"

namespace sonaloc {

// The number of lanes the method runs on, or 0 where there are none (the
// portable path; for Gaussian fitting also a C library whose expf the lanes
// do not reproduce).
std::size_t window_lanes(LocalizationMethod method) noexcept;

// Per lane, the number of window pixels above 0 without a greater or an equal
// neighbour (counts[k]); returns the mask of the lanes holding a pixel above 0
// with an equal but no greater neighbour, whose count the scalar flood must
// settle. For the other lanes counts[k] is the regional-maximum count.
// The floats of working memory localize_lanes needs for windows of side w.
std::size_t window_lanes_work(LocalizationMethod method, std::size_t w, std::size_t lanes) noexcept;

unsigned count_maxima_lanes(const float* framed, std::size_t w, float* counts);

// One line of w floats from each of the lanes' windows into lanes: lane k's
// float c from src[k] + 4 c bytes goes to out[c * lanes + k]. Only the lines'
// own floats are read.
void pack_line_lanes(const std::byte* const* src, std::size_t w, float* out);

// Copies the w x w windows of a packed-column image (rows row_stride bytes
// apart) into the interiors of a framed batch: window k (k < lanes) has its
// pixel (a, e) at the float at corners[k] + a row_stride + 4 e bytes. Only
// the windows' own pixels are read.
void pack_windows_lanes(const std::byte* const* corners, std::ptrdiff_t row_stride, std::size_t w,
                        float* framed);

// The localizer on every lane's window: offsets from the window centre to
// x0[k], y0[k]; returns the mask of the lanes that succeeded. `work` has room
// for window_lanes_work(method, w, lanes) floats.
unsigned localize_lanes(LocalizationMethod method, const float* framed, std::size_t w, float* work,
                        float* x0, float* y0);

}  // namespace sonaloc
