// Which variant of the C library's expf this process runs, as far as the
// vector lanes of expf_lanes.hpp can reproduce it.
#pragma once

namespace sonaloc::simd {

enum class ExpfVariant {
    Library = 0,  // neither lane variant matches: kernels call expf itself
    Separate = 1, // every double product and sum rounded on its own
    Fused = 2,    // five operations contracted into FMA
};

// Decided once, on first use, by evaluating expf at the inputs where the two
// variants differ, at its special cases and at a few thousand others, and
// comparing with the lanes of the widest path the kernels use (isa()). With
// the portable path there are no lanes: Library.
ExpfVariant expf_variant() noexcept;

}  // namespace sonaloc::simd
