// Compares the module's branch-free rounding with saturate_cast(roundf(v)),
// and the floor-free unsigned cell index with saturate_cast(floorf(v)), on a
// strided sweep of all float bit patterns.
// Usage: round_sweep STRIDE  -> prints "checked=<n> mismatches=<n>"
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/numeric.hpp"

using namespace sonaloc;

template <class I>
bool same(float v) {
    return round_saturate<I>(v) == saturate_cast<I>(std::round(v));
}

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    std::uint64_t checked = 0, bad = 0;
    for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += stride) {
        const float v = std::bit_cast<float>(static_cast<std::uint32_t>(b));
        bad += !same<std::uint64_t>(v) + !same<std::int32_t>(v) + !same<std::int64_t>(v) + !same<std::uint32_t>(v);
        bad += floor_saturate<std::uint64_t>(v) != saturate_cast<std::uint64_t>(std::floor(v));
        ++checked;
    }
    std::printf("checked=%llu mismatches=%llu\n", static_cast<unsigned long long>(checked),
                static_cast<unsigned long long>(bad));
    return 0;
}
