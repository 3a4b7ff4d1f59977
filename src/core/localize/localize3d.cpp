#include "core/localize/localize3d.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "core/localize/gaussian_fitting3d.hpp"
#include "core/localize/radial_symmetry3d.hpp"
#include "core/runtime/interrupt.hpp"

namespace sonaloc {
namespace {

// (last - first) / (n - 1), with n - 1 formed as an integer.
float spacing(float first, float last, std::size_t n) {
    return n == 0 ? 0.0f : (last - first) / static_cast<float>(n - 1);
}

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
        step[axis] = spacing(extent[2 * axis], extent[2 * axis + 1], volume.shape[axis]);
    }

    std::vector<float> buffer(w * w * w);
    RadialSymmetryScratch3D scratch;
    const Volume window = contiguous_view<float, 3>(buffer.data(), {w, w, w});
    for (std::size_t n = 0; n < peaks.size(); ++n) {
        interrupt::check_every(n, 64);
        const Peak3D& p = peaks[n];
        const std::array<std::size_t, 3> start{window_start(p.i, w, volume.shape[0]),
                                               window_start(p.j, w, volume.shape[1]),
                                               window_start(p.k, w, volume.shape[2])};
        copy_window(volume, start, w, buffer.data());
        const std::optional<Point3> found = method == LocalizationMethod::RadialSymmetry
                                                ? localize_radial_symmetry_3d(window, scratch)
                                                : localize_gaussian_fitting_3d(window);
        if (!found) continue;
        Point3 d = *found;
        // A NaN component compares false and passes through.
        if (std::fabs(d[0]) - bound > bound || std::fabs(d[1]) - bound > bound ||
            std::fabs(d[2]) - bound > bound)
            d = {bound, bound, bound};
        Peak3D refined = p;
        refined.x = (d[0] + static_cast<float>(start[0])) * step[0] + first[0];
        refined.y = (d[1] + static_cast<float>(start[1])) * step[1] + first[1];
        refined.z = (d[2] + static_cast<float>(start[2])) * step[2] + first[2];
        out.push_back(refined);
        if (max_num_peaks && out.size() >= *max_num_peaks) break;
    }
    return out;
}

}  // namespace sonaloc
