// Float-to-integer conversions. Every conversion in the module truncates toward
// zero, saturates at the bounds of the target, gives 0 for NaN, and gives 0 for
// every negative value when the target is unsigned. A bare cast would be
// undefined behaviour for NaN and out-of-range values.
#pragma once
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>

namespace sonaloc {

template <std::integral I>
constexpr I saturate_cast(float v) noexcept {
    using L = std::numeric_limits<I>;
    // 2^digits is exactly representable as a float for every integer width.
    constexpr float upper = static_cast<float>(L::max() / 2 + 1) * 2.0f;
    if (!(v == v)) return 0;
    if constexpr (std::is_unsigned_v<I>) {
        if (!(v >= 1.0f)) return 0;
    } else {
        if (v <= static_cast<float>(L::min())) return L::min();
    }
    if (v >= upper) return L::max();
    return static_cast<I>(v);
}

// Round half away from zero, then saturate: saturate_cast(roundf(v)) without
// roundf's branches. Adding the float just below 0.5 with v's sign and
// truncating rounds exactly like roundf: below 0.5 in magnitude the sum stays
// below 1; at 0.5 and above, the sum rounds to the next integer where roundf
// does; from 2^23 on, where every float is an integer, the sum rounds back to
// v. Checked against saturate_cast(roundf(v)) for all 2^32 floats, for the
// 64-bit unsigned and the 32-bit signed targets (tests/native/round_sweep.cpp, with a stride of 1).
template <std::integral I>
inline I round_saturate(float v) noexcept {
    return saturate_cast<I>(v + std::copysign(0x1.fffffep-2f, v));
}

// saturate_cast(floorf(v)) for an unsigned target, which is saturate_cast(v)
// itself: from 0 up floor and truncation agree, and below 0 both give 0
// (checked for all 2^32 floats, tests/native/round_sweep.cpp with a stride of 1).
template <std::unsigned_integral I>
constexpr I floor_saturate(float v) noexcept {
    return saturate_cast<I>(v);
}

}  // namespace sonaloc
