// What the process can get from the machine: processors, memory, and large
// zero-filled buffers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

namespace detail {
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Advises the huge pages for the whole 2 MB pages of a large reservation.
inline void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t{kHugePage - 1};
    if (bytes >= 4 * kHugePage && last > first)
        (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // advice only
}

// `bytes` rounded up to whole 2 MB pages: the length of map_huge's mapping.
inline std::size_t huge_length(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// A fresh anonymous mapping of huge_length(bytes), starting on a 2 MB
// boundary and advised to be huge pages, so that its first touches fault and
// zero it 2 MB at a time; nullptr when the kernel refuses.
inline void* map_huge(std::size_t bytes) noexcept {
    const std::size_t length = huge_length(bytes);
    if (length < bytes) return nullptr;  // wrapped
    const std::size_t reserved = length + kHugePage;
    if (reserved < length) return nullptr;
    void* p = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (first > begin) (void)::munmap(p, first - begin);
    const std::uintptr_t tail = begin + reserved - (first + length);
    if (tail > 0) (void)::munmap(reinterpret_cast<void*>(first + length), tail);
    (void)::madvise(reinterpret_cast<void*>(first), length, MADV_HUGEPAGE);  // advice only
    return reinterpret_cast<void*>(first);
}

inline void unmap_huge(void* p, std::size_t bytes) noexcept { (void)::munmap(p, huge_length(bytes)); }
}  // namespace detail

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

// n zeros, never resized. A large buffer is a fresh anonymous mapping (from
// 2 MB on whole huge pages), whose pages the kernel zeroes when they are
// first touched: the zeroing happens in the threads that fill the buffer, in
// parallel, and never for pages nobody writes (huge pages take fewer faults
// where an image is filled densely, at the price of zeroing 2 MB at a time). A small one comes from calloc.
// Throws std::bad_alloc.
template <class T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T>, "zero bytes must be a valid T");
    static constexpr std::size_t kMapped = std::size_t{1} << 20;  // bytes from which a buffer is mapped

public:
    explicit ZeroedArray(std::size_t n) : n_(n) {
        if (n > (std::size_t{1} << 62) / sizeof(T)) throw std::bad_alloc{};
        bytes_ = (n > 0 ? n : 1) * sizeof(T);
        void* p = nullptr;
        if (bytes_ >= detail::kHugePage) {
            p = detail::map_huge(bytes_);
            if (p == nullptr) throw std::bad_alloc{};
        } else if (bytes_ >= kMapped) {
            p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc{};
        } else {
            p = std::calloc(1, bytes_);
            if (p == nullptr) throw std::bad_alloc{};
        }
        p_ = static_cast<T*>(p);
    }
    ZeroedArray(ZeroedArray&& o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(o.n_), bytes_(o.bytes_) {}
    ZeroedArray& operator=(ZeroedArray&& o) noexcept {
        if (this != &o) {
            release();
            p_ = std::exchange(o.p_, nullptr);
            n_ = o.n_;
            bytes_ = o.bytes_;
        }
        return *this;
    }
    ZeroedArray(const ZeroedArray&) = delete;
    ZeroedArray& operator=(const ZeroedArray&) = delete;
    ~ZeroedArray() { release(); }

    T* data() noexcept { return p_; }
    const T* data() const noexcept { return p_; }
    std::size_t size() const noexcept { return n_; }
    T& operator[](std::size_t i) noexcept { return p_[i]; }
    const T& operator[](std::size_t i) const noexcept { return p_[i]; }

private:
    void release() noexcept {
        if (p_ == nullptr) return;
        if (bytes_ >= detail::kHugePage) detail::unmap_huge(p_, bytes_);
        else if (bytes_ >= kMapped) (void)::munmap(p_, bytes_);
        else std::free(p_);
        p_ = nullptr;
    }
    T* p_ = nullptr;
    std::size_t n_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace sonaloc::system
