// The instruction sets the kernels may use, chosen once from the CPU.
//
// The build is portable (baseline x86-64): wider kernels are compiled for
// their targets with function attributes and chosen at run time. Every path
// performs exactly the float operations of the portable code, in the same
// order, so results never depend on the path taken. A build may cap the
// widest path (SONALOC_MAX_ISA: 0 portable, 1 AVX2), so that the suite can
// check every path against the same references.
#pragma once

namespace sonaloc::simd {

enum class Isa { Portable = 0, Avx2 = 1, Avx512 = 2 };

// The widest instruction set both the CPU and the build offer: AVX-512 needs
// AVX512F, BW, DQ and VL; AVX2 needs AVX2 and FMA. Decided on first use.
Isa isa() noexcept;

// The name of a path, for benchmark tables: "portable", "avx2", "avx512".
const char* isa_name(Isa i) noexcept;

}  // namespace sonaloc::simd

// Function attributes of the wider paths.
#define SONALOC_TARGET_AVX2 __attribute__((target("avx2,fma,bmi,bmi2,popcnt")))
#define SONALOC_TARGET_AVX512 \
    __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,bmi,bmi2,popcnt")))
