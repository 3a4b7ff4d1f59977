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

// Round half away from zero, then saturate.
template <std::integral I>
inline I round_saturate(float v) noexcept {
    return saturate_cast<I>(std::round(v));
}

}  // namespace sonaloc
