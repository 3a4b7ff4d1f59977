// Sweeps float inputs through the vector expf lanes of every path the CPU
// offers and compares their bits with the C library's expf.
// Usage: expf_sweep STRIDE  -> prints "variant=<n> checked=<n> mismatches=<n>"
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/simd/expf.hpp"
#include "core/simd/expf_lanes.hpp"
#include "core/simd/isa.hpp"

using namespace sonaloc::simd;

template <bool Fused>
SONALOC_TARGET_AVX2 std::uint64_t sweep_avx2(std::uint64_t stride, std::uint64_t& checked) {
    std::uint64_t bad = 0;
    alignas(32) float x[8], y[8];
    for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += 8 * stride) {
        for (int k = 0; k < 8; ++k) x[k] = std::bit_cast<float>(static_cast<std::uint32_t>(b + k * stride));
        _mm256_store_ps(y, expf_8<Fused>(_mm256_load_ps(x)));
        for (int k = 0; k < 8; ++k) {
            const float want = std::exp(x[k]);
            if (std::isnan(want) && std::isnan(y[k])) continue;
            bad += std::bit_cast<std::uint32_t>(want) != std::bit_cast<std::uint32_t>(y[k]);
        }
        checked += 8;
    }
    return bad;
}

template <bool Fused>
SONALOC_TARGET_AVX512 std::uint64_t sweep_avx512(std::uint64_t stride, std::uint64_t& checked) {
    std::uint64_t bad = 0;
    alignas(64) float x[16], y[16];
    for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += 16 * stride) {
        for (int k = 0; k < 16; ++k) x[k] = std::bit_cast<float>(static_cast<std::uint32_t>(b + k * stride));
        _mm512_store_ps(y, expf_16<Fused>(_mm512_load_ps(x)));
        for (int k = 0; k < 16; ++k) {
            const float want = std::exp(x[k]);
            if (std::isnan(want) && std::isnan(y[k])) continue;
            bad += std::bit_cast<std::uint32_t>(want) != std::bit_cast<std::uint32_t>(y[k]);
        }
        checked += 16;
    }
    return bad;
}

template <bool Fused>
std::uint64_t sweep(Isa path, std::uint64_t stride, std::uint64_t& checked) {
    std::uint64_t bad = sweep_avx2<Fused>(stride, checked);
    if (path == Isa::Avx512) bad += sweep_avx512<Fused>(stride, checked);
    return bad;
}

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const ExpfVariant v = expf_variant();
    std::uint64_t checked = 0, bad = 0;
    if (v == ExpfVariant::Fused) bad = sweep<true>(isa(), stride, checked);
    if (v == ExpfVariant::Separate) bad = sweep<false>(isa(), stride, checked);
    std::printf("isa=%s variant=%d checked=%llu mismatches=%llu\n", isa_name(isa()), static_cast<int>(v),
                static_cast<unsigned long long>(checked), static_cast<unsigned long long>(bad));
    return 0;
}
