#include "core/tracks.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace sonaloc {
namespace {

// Bytes of memory a new allocation can get: the kernel's estimate of
// available memory (free plus reclaimable), else the physical memory; 0 when
// neither is known.
std::uint64_t available_memory() {
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kb = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1;
        std::fclose(f);
        if (found) return static_cast<std::uint64_t>(kb) * 1024;
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

std::string shape_text(std::span<const std::uint64_t> shape) {
    std::string s = "(";
    for (std::size_t a = 0; a < shape.size(); ++a) {
        if (a > 0) s += ", ";
        s += std::to_string(shape[a]);
    }
    return s + ")";
}

void check_grid_size(std::span<const std::uint64_t> shape, std::size_t bytes_per_cell) {
    u128 bytes = bytes_per_cell;
    bool overflow = false;
    for (auto n : shape) {
        // An axis the array library cannot express is refused also when
        // another axis is empty.
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) overflow = true;
        bytes *= n;
        if (bytes > std::numeric_limits<std::uint64_t>::max()) overflow = true;
        if (overflow) break;
    }
    const std::uint64_t memory = available_memory();
    if (overflow || bytes > std::numeric_limits<std::size_t>::max() / 2 ||
        (memory != 0 && bytes > memory))
        throw ValueError("render grid of shape " + shape_text(shape) +
                         " does not fit in memory");
}

}  // namespace

template <std::size_t D>
RenderGrid<D> make_render_grid(const std::array<float, 2 * D>& extent, float pixel_size,
                               std::size_t bytes_per_cell, std::uint64_t max_axis) {
    if (!(pixel_size > 0.0f) || std::isinf(pixel_size))
        throw ValueError("pixel_size must be a positive finite number");
    RenderGrid<D> g;
    std::array<std::uint64_t, D> shape{};
    for (std::size_t a = 0; a < D; ++a) {
        g.axes[a] = axis_grid(extent[2 * a], extent[2 * a + 1], pixel_size);
        shape[a] = g.axes[a].n;
    }
    for (auto n : shape)
        if (n > max_axis)
            throw ValueError("render grid of shape " + shape_text(shape) + " has more than " +
                             std::to_string(max_axis) + " cells along an axis");
    check_grid_size(shape, bytes_per_cell);
    return g;
}

template RenderGrid<3> make_render_grid<3>(const std::array<float, 6>&, float, std::size_t,
                                           std::uint64_t);

RenderGrid<2> render_grid_2d(const std::array<float, 4>& extent, float pixel_size,
                             std::size_t bytes_per_cell) {
    return make_render_grid<2>(extent, pixel_size, bytes_per_cell,
                               std::numeric_limits<std::uint64_t>::max());
}

void check_track_ends(const IndexVector& ends) {
    for (std::size_t t = 0; t < ends.size(0); ++t)
        if (ends(t) < 0) throw ValueError("track_end_indices must not contain negative values");
}

}  // namespace sonaloc
