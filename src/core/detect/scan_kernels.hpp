// The candidate scans of 2D and 3D detection on the wider instruction sets.
//
// Each kernel performs, for every pixel, exactly the comparisons of the
// portable scan in detection2d.cpp / detection3d.cpp: the threshold test
// "not below" (so NaN pixels, and every pixel under a NaN threshold, go on to
// the neighbour test), then the neighbour test of the ordered tie rule (an
// earlier neighbour disqualifies when greater, a later one unless smaller; a
// NaN centre is never a peak). Only the grouping into vector lanes differs, so
// the candidates, and their order, are those of the portable scan.
//
// The kernels are compiled for their targets with function attributes and
// take plain pointers and a callback: no library code runs under the wider
// target. Callers choose them from simd::isa().
#pragma once
#include <cstddef>
#include <cstdint>

namespace sonaloc::scan {

// A 2D frame whose columns are adjacent floats (rows `row_stride` bytes apart,
// any sign, any alignment), at least 3 x 3.
struct PackedFrame {
    const std::byte* data;
    std::ptrdiff_t row_stride;
    std::size_t n_cols;
};

// Receives one peak: its row, its column, its value.
using Sink2D = void (*)(void* sink, std::size_t row, std::size_t col, float value);

// Interior rows row_begin .. row_end - 1 (each in 1 .. n_rows - 2), columns
// 1 .. n_cols - 2, peaks handed to `sink` in row-major order.
void scan_rows_avx2(const PackedFrame& frame, std::size_t row_begin, std::size_t row_end, float threshold,
                    Sink2D sink, void* state);
void scan_rows_avx512(const PackedFrame& frame, std::size_t row_begin, std::size_t row_end, float threshold,
                      Sink2D sink, void* state);

// A 3D volume whose axis-2 elements are adjacent floats, at least 3 x 3 x 3.
// Line l (counting the interior lines (i, j), i outer) is the line
// i = 1 + l / (n1 - 2), j = 1 + l % (n1 - 2).
struct PackedVolume {
    const std::byte* data;
    std::ptrdiff_t stride0, stride1;
    std::size_t n1, n2;
};

// Receives one peak: i, j, k and its value.
using Sink3D = void (*)(void* sink, std::size_t i, std::size_t j, std::size_t k, float value);

// Interior lines line_begin .. line_end - 1, voxels k = 1 .. n2 - 2 of each,
// peaks handed to `sink` in (i, j, k) row-major order. The tie order of the
// 3D neighbours is (i ascending, j ascending, k descending).
void scan_lines_avx2(const PackedVolume& volume, std::size_t line_begin, std::size_t line_end,
                     float threshold, Sink3D sink, void* state);
void scan_lines_avx512(const PackedVolume& volume, std::size_t line_begin, std::size_t line_end,
                       float threshold, Sink3D sink, void* state);

// For the kernels: eight voxels waiting for their neighbour test, those at
// positions pos .. pos + 7 of the run of lines of plane i that starts at line
// j0 (its element 0 at p), lanes `lanes` of them.
struct Waiting {
    const std::byte* p;
    std::size_t i, j0, pos;
    unsigned lanes;
};

// Bit g set where byte g of `pass` is not zero: the groups of 8 lanes of a
// threshold step that hold a passing pixel.
inline unsigned busy_groups(std::uint64_t pass) noexcept {
    std::uint64_t x = pass | pass >> 4;
    x |= x >> 2;
    x |= x >> 1;
    x &= 0x0101010101010101ull;
    return static_cast<unsigned>((x * 0x0102040810204080ull) >> 56);
}

// The groups of the plane before (tested once the current plane has been
// read) and of the current plane, in scan order.
class WaitingLists {
public:
    static constexpr std::size_t kCapacity = 256;

    bool full() const noexcept { return n_[cur_] == kCapacity; }
    void add(const Waiting& w) noexcept { lists_[cur_][n_[cur_]++] = w; }
    const Waiting* previous() const noexcept { return lists_[cur_ ^ 1]; }
    std::size_t n_previous() const noexcept { return n_[cur_ ^ 1]; }
    const Waiting* current() const noexcept { return lists_[cur_]; }
    std::size_t n_current() const noexcept { return n_[cur_]; }
    void clear() noexcept { n_[0] = n_[1] = 0; }
    // After the previous plane's groups were tested: the current plane's
    // become the previous ones.
    void next_plane() noexcept {
        cur_ ^= 1;
        n_[cur_] = 0;
    }

private:
    Waiting lists_[2][kCapacity];
    std::size_t n_[2] = {0, 0};
    unsigned cur_ = 0;
};

}  // namespace sonaloc::scan
