// Read-only strided views of caller-owned arrays.
//
// Strides are kept in bytes and elements are loaded with memcpy, so arrays
// whose byte strides are not multiples of the element size (a field of a
// packed record array, an odd offset into a byte buffer) are read correctly.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/errors.hpp"

namespace sonaloc {

// Loads a T from a byte address of any alignment.
template <class T = float>
inline T load(const std::byte* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

inline constexpr const char* kIndexFault = "ndarray: index out of bounds";

template <class T, std::size_t D>
struct View {
    const std::byte* data = nullptr;
    std::array<std::size_t, D> shape{};
    std::array<std::ptrdiff_t, D> strides{};  // in bytes

    std::size_t size(std::size_t axis) const noexcept { return shape[axis]; }
    std::size_t count() const noexcept {
        std::size_t n = 1;
        for (auto s : shape) n *= s;
        return n;
    }

    // Unchecked load; callers prove the index is inside.
    template <class... I>
    T operator()(I... idx) const noexcept {
        static_assert(sizeof...(I) == D);
        const std::array<std::size_t, D> ix{static_cast<std::size_t>(idx)...};
        std::ptrdiff_t off = 0;
        for (std::size_t a = 0; a < D; ++a) off += static_cast<std::ptrdiff_t>(ix[a]) * strides[a];
        return load<T>(data + off);
    }

    // Checked load: an index outside the view is an internal fault.
    template <class... I>
    T at(I... idx) const {
        static_assert(sizeof...(I) == D);
        const std::array<std::size_t, D> ix{static_cast<std::size_t>(idx)...};
        for (std::size_t a = 0; a < D; ++a)
            if (ix[a] >= shape[a]) fault(kIndexFault);
        return (*this)(idx...);
    }
};

using Matrix = View<float, 2>;
using Volume = View<float, 3>;
using IndexVector = View<std::int32_t, 1>;

// A view over a contiguous row-major buffer owned elsewhere (window copies).
template <class T, std::size_t D>
View<T, D> contiguous_view(const T* data, std::array<std::size_t, D> shape) noexcept {
    View<T, D> v;
    v.data = reinterpret_cast<const std::byte*>(data);
    v.shape = shape;
    std::ptrdiff_t s = sizeof(T);
    for (std::size_t a = D; a-- > 0;) {
        v.strides[a] = s;
        s *= static_cast<std::ptrdiff_t>(shape[a]);
    }
    return v;
}

// A computed array on its way to the caller: row-major data plus its shape.
// Storage: a std::vector<T>, or any buffer with data() and size() that the
// hand-over knows.
template <class T, class Storage = std::vector<T>>
struct Output {
    Storage data;
    std::vector<std::size_t> shape;
};

}  // namespace sonaloc
