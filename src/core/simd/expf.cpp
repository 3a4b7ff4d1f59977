#include "core/simd/expf.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/simd/expf_lanes.hpp"
#include "core/simd/isa.hpp"

namespace sonaloc::simd {
namespace {

// The inputs of the check: where the variants differ, the edges of the
// special path, and a spread of others (fit exponents, the whole main range,
// arbitrary bit patterns), deterministic.
std::vector<float> probe_inputs() {
    std::vector<float> x = {0x1.04845ep+5f,  -0x1.f8cbb2p+5f, 0.0f,          -0.0f,
                            1.0f,            -1.0f,           0x1.62e42ep6f, 0x1.62e430p6f,
                            -0x1.9fe368p6f,  -0x1.9fe36ap6f,  -0x1.9d1d9ep6f, -0x1.9d1da0p6f,
                            88.0f,           -88.0f,          87.99999f,      -87.99999f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::min()};
    std::uint32_t s = 0x9E3779B9u;
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    };
    for (int i = 0; i < 2048; ++i) x.push_back(-0.5f * static_cast<float>(next() % 1000000u) * 1e-4f);
    for (int i = 0; i < 2048; ++i) x.push_back(static_cast<float>(next() % 200000u) * 1e-3f - 110.0f);
    for (int i = 0; i < 1024; ++i) x.push_back(std::bit_cast<float>(next()));
    while (x.size() % 16 != 0) x.push_back(0.5f);
    return x;
}

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

template <bool Fused>
SONALOC_TARGET_AVX2 bool matches_avx2(const std::vector<float>& x) {
    for (std::size_t i = 0; i < x.size(); i += 8) {
        alignas(32) float y[8];
        _mm256_store_ps(y, expf_8<Fused>(_mm256_loadu_ps(x.data() + i)));
        for (std::size_t k = 0; k < 8; ++k)
            if (!same_bits(y[k], std::exp(x[i + k]))) return false;
    }
    return true;
}

template <bool Fused>
SONALOC_TARGET_AVX512 bool matches_avx512(const std::vector<float>& x) {
    for (std::size_t i = 0; i < x.size(); i += 16) {
        alignas(64) float y[16];
        _mm512_store_ps(y, expf_16<Fused>(_mm512_loadu_ps(x.data() + i)));
        for (std::size_t k = 0; k < 16; ++k)
            if (!same_bits(y[k], std::exp(x[i + k]))) return false;
    }
    return true;
}

template <bool Fused>
bool matches(Isa path, const std::vector<float>& x) {
    switch (path) {
        case Isa::Avx2: return matches_avx2<Fused>(x);
        case Isa::Avx512: return matches_avx512<Fused>(x);
        case Isa::Portable: break;
    }
    return false;
}

ExpfVariant detect() {
    const Isa path = isa();
    if (path == Isa::Portable) return ExpfVariant::Library;
    const std::vector<float> x = probe_inputs();
    // The fused variant needs FMA, which both wider paths have.
    if (matches<true>(path, x)) return ExpfVariant::Fused;
    if (matches<false>(path, x)) return ExpfVariant::Separate;
    return ExpfVariant::Library;
}

}  // namespace

ExpfVariant expf_variant() noexcept {
    // The check allocates its inputs; without memory the library path is
    // always right.
    static const ExpfVariant chosen = [] {
        try {
            return detect();
        } catch (...) {
            return ExpfVariant::Library;
        }
    }();
    return chosen;
}

}  // namespace sonaloc::simd
