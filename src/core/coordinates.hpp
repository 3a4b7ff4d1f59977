// Grid index to physical coordinate, every form the module uses. They round
// differently, on purpose and by name: the order of the float operations is
// part of each result, so no two of them may be merged.
#pragma once
#include <cstddef>

namespace sonaloc {

// first + i * ((last - first) / (float(n) - 1)): the quotient first, then the
// product with the index, then the sum (2D detection).
struct QuotientFirstAxis {
    float first;
    float step;
    QuotientFirstAxis(float first_, float last, std::size_t n)
        : first(first_), step((last - first_) / (static_cast<float>(n) - 1.0f)) {}
    float operator()(std::size_t i) const noexcept { return first + static_cast<float>(i) * step; }
};

// ((last - first) * i) / (float(n) - 1) + first: the product first, then the
// quotient, then the sum (3D detection).
struct ProductFirstAxis {
    float span;
    float denominator;
    float first;
    ProductFirstAxis(float first_, float last, std::size_t n)
        : span(last - first_), denominator(static_cast<float>(n) - 1.0f), first(first_) {}
    float operator()(std::size_t i) const noexcept {
        return (span * static_cast<float>(i)) / denominator + first;
    }
};

// (last - first) / float(n - 1), with n - 1 formed as an integer; 0 for an
// empty axis (the spacing of localized positions, 2D and 3D).
inline float integer_spacing(float first, float last, std::size_t n) noexcept {
    return n == 0 ? 0.0f : (last - first) / static_cast<float>(n - 1);
}

// (index + offset) * spacing + first: a sub-pixel position inside the grid
// (localized positions, 2D and 3D; the offset is 0 for a pixel position).
inline float local_coordinate(std::size_t index, float offset, float spacing, float first) noexcept {
    return (static_cast<float>(index) + offset) * spacing + first;
}

// (last - first) / float(n): the size of one voxel when the extent is shared
// among n voxels (the correlation template).
inline float voxel_size(float first, float last, std::size_t n) noexcept {
    return (last - first) / static_cast<float>(n);
}

}  // namespace sonaloc
