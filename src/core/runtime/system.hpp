// What the process can get from the machine: processors, memory, and large
// zero-filled buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/mman.h>

#include "core/runtime/interrupt.hpp"

namespace sonaloc::system {

// Processors available to the process: its affinity mask, bounded by the
// cgroup CPU quota (v2, then v1); 1 when neither can be read.
std::size_t available_processors();

// Bytes of memory a new allocation can get: the kernel's estimate of
// available memory (free plus reclaimable), else the physical memory; 0 when
// neither is known.
std::uint64_t available_memory();

// A zero-filled vector of n elements. Large buffers (images, passage lists)
// are first advised to live on huge pages: filling hundreds of megabytes
// page by 4 KB page costs several times more than the filling itself. The
// filling goes in steps of 16 MB with an interrupt check point between them.
template <class T>
std::vector<T> zeroed_buffer(std::size_t n) {
    std::vector<T> v;
    v.reserve(n);
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (begin + n * sizeof(T)) & ~(kHuge - 1);
    if (n * sizeof(T) >= 4 * kHuge && last > first)
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
    constexpr std::size_t kStep = (std::size_t{16} << 20) / sizeof(T) + 1;
    while (n - v.size() > kStep) {
        interrupt::check();
        v.resize(v.size() + kStep);
    }
    v.resize(n);
    return v;
}

}  // namespace sonaloc::system
