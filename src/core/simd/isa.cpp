#include "core/simd/isa.hpp"

namespace sonaloc::simd {
namespace {

Isa detect() noexcept {
#if !defined(SONALOC_MAX_ISA)
#define SONALOC_MAX_ISA 2
#endif
#if SONALOC_MAX_ISA == 0 || !defined(__x86_64__)
    return Isa::Portable;
#else
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                      __builtin_cpu_supports("popcnt");
    if (!avx2) return Isa::Portable;
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    return avx512 && SONALOC_MAX_ISA >= 2 ? Isa::Avx512 : Isa::Avx2;
#endif
}

}  // namespace

Isa isa() noexcept {
    static const Isa chosen = detect();
    return chosen;
}

const char* isa_name(Isa i) noexcept {
    switch (i) {
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
        case Isa::Portable: break;
    }
    return "portable";
}

}  // namespace sonaloc::simd
