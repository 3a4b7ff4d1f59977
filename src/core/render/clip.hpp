// Clipping of integer line walks to a grid: the steps of a walk along one
// axis that keep its coordinate inside, in exact wide integers.
#pragma once

namespace sonaloc {

using i128 = __int128;
using u128 = unsigned __int128;

namespace detail {

// Steps i >= 0 along one axis from coordinate `start` in direction `down`
// that keep the coordinate inside [0, n): [lo, hi], empty when lo > hi.
struct StepRange {
    i128 lo, hi;
};
inline StepRange axis_steps(i128 start, bool down, i128 n) {
    if (down) return {start - (n - 1), start};
    return {-start, n - 1 - start};
}

inline u128 ceil_div(u128 a, u128 b) { return a / b + (a % b != 0 ? 1 : 0); }

}  // namespace detail

}  // namespace sonaloc
