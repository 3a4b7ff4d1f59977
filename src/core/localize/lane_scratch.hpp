// Work space of the radial-symmetry localizers: vectors of four float lanes,
// on the stack for the usual window sizes, on the heap beyond. A caller that
// localizes many windows keeps one for all of them.
#pragma once
#include <cstddef>
#include <vector>

namespace sonaloc {

class LaneScratch {
public:
    typedef float Lanes __attribute__((vector_size(16)));

    // Room for n lanes, not initialised; valid until the next call.
    Lanes* room(std::size_t n) {
        if (n <= kInline) return inline_;
        if (heap_.size() < n) heap_.resize(n);
        return heap_.data();
    }

private:
    static constexpr std::size_t kInline = 512;  // 8 KB: 2D windows to 11 x 11, 3D to 7 x 7 x 7
    Lanes inline_[kInline];
    std::vector<Lanes> heap_;
};

}  // namespace sonaloc
