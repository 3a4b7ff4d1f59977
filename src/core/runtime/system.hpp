// What the process can get from the machine: processors, memory, and large
// zero-filled buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
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

// An allocator that leaves elements default-initialised (for trivial types:
// not written) where a vector would value-initialise them: for buffers every
// element of which is written before it is read.
template <class T>
struct NoInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = NoInitAllocator<U>;
    };
    NoInitAllocator() noexcept = default;
    template <class U>
    NoInitAllocator(const NoInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using WriteFirstBuffer = std::vector<T, NoInitAllocator<T>>;

namespace detail {
// Advises the huge pages for the whole 2 MB pages of a large reservation.
inline void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
    if (bytes >= 4 * kHuge && last > first)
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
}
}  // namespace detail

// A vector of n elements that are not written (on huge pages where large):
// the caller writes every element before reading it.
template <class T>
WriteFirstBuffer<T> write_first_buffer(std::size_t n) {
    WriteFirstBuffer<T> v;
    v.reserve(n);
    detail::advise_huge_pages(v.data(), n * sizeof(T));
    v.resize(n);
    return v;
}

// A zero-filled vector of n elements. Large buffers (images, passage lists)
// are first advised to live on huge pages: filling hundreds of megabytes
// page by 4 KB page costs several times more than the filling itself. The
// filling goes in steps of 16 MB with an interrupt check point between them.
template <class T>
std::vector<T> zeroed_buffer(std::size_t n) {
    std::vector<T> v;
    v.reserve(n);
    detail::advise_huge_pages(v.data(), n * sizeof(T));
    constexpr std::size_t kStep = (std::size_t{16} << 20) / sizeof(T) + 1;
    while (n - v.size() > kStep) {
        interrupt::check();
        v.resize(v.size() + kStep);
    }
    v.resize(n);
    return v;
}

}  // namespace sonaloc::system
