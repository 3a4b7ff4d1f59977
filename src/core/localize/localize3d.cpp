#include "core/localize/localize3d.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>
#include <algorithm>

#include "core/coordinates.hpp"
#include "core/localize/gaussian_fitting3d.hpp"
#include "core/localize/lanes2d.hpp"
#include "core/localize/lanes3d.hpp"
#include "core/localize/radial_symmetry3d.hpp"
#include "core/runtime/interrupt.hpp"

namespace sonaloc {
namespace {

// First index of a w-voxel window around idx that lies inside [0, n); n >= w.
std::size_t window_start(std::size_t idx, std::size_t w, std::size_t n) {
    const std::size_t h = w / 2;
    std::size_t start = idx < h ? 0 : idx - h;
    if (start + w > n) start = n - w;
    return start;
}

void copy_window(const Volume& v, const std::array<std::size_t, 3>& start, std::size_t w,
                 float* out) {
    for (std::size_t a = 0; a < w; ++a)
        for (std::size_t b = 0; b < w; ++b) {
            const std::byte* line = v.data +
                                    static_cast<std::ptrdiff_t>(start[0] + a) * v.strides[0] +
                                    static_cast<std::ptrdiff_t>(start[1] + b) * v.strides[1] +
                                    static_cast<std::ptrdiff_t>(start[2]) * v.strides[2];
            if (v.strides[2] == static_cast<std::ptrdiff_t>(sizeof(float))) {
                std::memcpy(out, line, w * sizeof(float));
                out += w;
            } else {
                for (std::size_t c = 0; c < w; ++c, ++out)
                    std::memcpy(out, line + static_cast<std::ptrdiff_t>(c) * v.strides[2],
                                sizeof(float));
            }
        }
}

}  // namespace

std::vector<Peak3D> localize_3d(const Volume& volume, const std::vector<Peak3D>& peaks,
                                std::uint64_t window_size, const VolumeExtent& extent,
                                LocalizationMethod method,
                                std::optional<std::uint64_t> max_num_peaks) {
    std::vector<Peak3D> out;
    // Checked before anything is allocated: the window then fits in the volume.
    if (peaks.empty()) return out;
    for (std::size_t n : volume.shape)
        if (n < window_size) return out;

    const std::size_t w = window_size;
    const float bound = static_cast<float>(w) * 0.5f;
    std::array<float, 3> step{}, first{};
    for (std::size_t axis = 0; axis < 3; ++axis) {
        first[axis] = extent[2 * axis];
        step[axis] = integer_spacing(extent[2 * axis], extent[2 * axis + 1], volume.shape[axis]);
    }
    auto start_of = [&](const Peak3D& p) {
        return std::array<std::size_t, 3>{window_start(p.i, w, volume.shape[0]),
                                          window_start(p.j, w, volume.shape[1]),
                                          window_start(p.k, w, volume.shape[2])};
    };
    // Appends the refined peak; true once the cap is reached.
    auto append = [&](const Peak3D& p, const std::array<std::size_t, 3>& start, Point3 d) {
        // A NaN component compares false and passes through.
        if (std::fabs(d[0]) - bound > bound || std::fabs(d[1]) - bound > bound ||
            std::fabs(d[2]) - bound > bound)
            d = {bound, bound, bound};
        Peak3D refined = p;
        refined.x = local_coordinate(start[0], d[0], step[0], first[0]);
        refined.y = local_coordinate(start[1], d[1], step[1], first[1]);
        refined.z = local_coordinate(start[2], d[2], step[2], first[2]);
        out.push_back(refined);
        return max_num_peaks && out.size() >= *max_num_peaks;
    };

    // Windows of up to kLaneWindow voxels a side go through the lanes where
    // the CPU has them (the radial symmetry needs at least 3).
    constexpr std::size_t kLaneWindow = 15;
    const std::size_t lanes = w >= 3 && w <= kLaneWindow ? volume_lanes(method) : 0;
    if (lanes > 0) {
        const std::size_t voxels = w * w * w;
        std::vector<float> windows(voxels * lanes), work(volume_lanes_work(method, w, lanes));
        std::vector<float> one(voxels);
        std::array<std::array<std::size_t, 3>, 16> starts{};
        float r0[16], r1[16], r2[16];
        for (std::size_t base = 0; base < peaks.size(); base += lanes) {
            interrupt::check_every(base / lanes, 4);
            const std::size_t used = std::min(lanes, peaks.size() - base);
            for (std::size_t lane = 0; lane < used; ++lane) starts[lane] = start_of(peaks[base + lane]);
            // Unused lanes repeat the first window, so every lane computes on real data.
            for (std::size_t lane = used; lane < lanes; ++lane) starts[lane] = starts[0];
            if (volume.strides[2] == static_cast<std::ptrdiff_t>(sizeof(float))) {
                // Line by line, every lane's line at once.
                const std::byte* src[16];
                for (std::size_t a = 0; a < w; ++a)
                    for (std::size_t b = 0; b < w; ++b) {
                        for (std::size_t lane = 0; lane < lanes; ++lane)
                            src[lane] = volume.data +
                                        static_cast<std::ptrdiff_t>(starts[lane][0] + a) * volume.strides[0] +
                                        static_cast<std::ptrdiff_t>(starts[lane][1] + b) * volume.strides[1] +
                                        static_cast<std::ptrdiff_t>(starts[lane][2] * sizeof(float));
                        pack_line_lanes(src, w, windows.data() + (a * w + b) * w * lanes);
                    }
            } else {
                for (std::size_t lane = 0; lane < lanes; ++lane) {
                    copy_window(volume, starts[lane], w, one.data());
                    for (std::size_t v = 0; v < voxels; ++v) windows[v * lanes + lane] = one[v];
                }
            }
            const unsigned ok = localize_3d_lanes(method, windows.data(), w, work.data(), r0, r1, r2);
            for (std::size_t lane = 0; lane < used; ++lane) {
                if (!(ok >> lane & 1u)) continue;
                if (append(peaks[base + lane], starts[lane], {r0[lane], r1[lane], r2[lane]})) return out;
            }
        }
        return out;
    }

    std::vector<float> buffer(w * w * w);
    const Volume window = contiguous_view<float, 3>(buffer.data(), {w, w, w});
    RadialSymmetryScratch3D scratch;
    for (std::size_t n = 0; n < peaks.size(); ++n) {
        interrupt::check_every(n, 64);
        const Peak3D& p = peaks[n];
        const std::array<std::size_t, 3> start = start_of(p);
        copy_window(volume, start, w, buffer.data());
        const std::optional<Point3> found = method == LocalizationMethod::RadialSymmetry
                                                ? localize_radial_symmetry_3d(window, scratch)
                                                : localize_gaussian_fitting_3d(window);
        if (found && append(p, start, *found)) break;
    }
    return out;
}

}  // namespace sonaloc
