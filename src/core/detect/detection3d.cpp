#include "core/detect/detection3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/coordinates.hpp"
#include "core/detect/peak_order.hpp"
#include "core/detect/scan_kernels.hpp"
#include "core/detect/thinning.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/simd/isa.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonaloc {
namespace {

// One of the 26 neighbours as a byte offset from the centre voxel. `later`
// marks the neighbours that follow the centre in the tie order (i ascending,
// j ascending, k descending): an equal (or NaN-involving) value there
// disqualifies the centre, while an equal value at an earlier neighbour does
// not. Only a neighbour that is strictly greater disqualifies in both cases.
struct Neighbour {
    std::ptrdiff_t offset;
    bool later;
};

using Neighbourhood = std::array<Neighbour, 26>;

bool follows_in_tie_order(int d0, int d1, int d2) {
    if (d0 != 0) return d0 > 0;
    if (d1 != 0) return d1 > 0;
    return d2 < 0;
}

// The face neighbours come first: they disqualify most voxels, and the axis-2
// pair lies in the line being scanned. The order does not change the outcome.
Neighbourhood build_neighbourhood(const Volume& v) {
    Neighbourhood nb{};
    std::size_t n = 0;
    auto add = [&](int d0, int d1, int d2) {
        nb[n++] = {d0 * v.strides[0] + d1 * v.strides[1] + d2 * v.strides[2],
                   follows_in_tie_order(d0, d1, d2)};
    };
    add(0, 0, 1);
    add(0, 0, -1);
    add(0, 1, 0);
    add(0, -1, 0);
    add(1, 0, 0);
    add(-1, 0, 0);
    for (int d0 = -1; d0 <= 1; ++d0)
        for (int d1 = -1; d1 <= 1; ++d1)
            for (int d2 = -1; d2 <= 1; ++d2)
                if (std::abs(d0) + std::abs(d1) + std::abs(d2) > 1) add(d0, d1, d2);
    return nb;
}

// Neighbourhood test for an interior voxel (all 26 neighbours inside).
inline bool is_local_maximum(const std::byte* centre, float c, const Neighbourhood& nb) noexcept {
    for (const Neighbour& n : nb) {
        const float u = load(centre + n.offset);
        if (n.later ? !(c > u) : (u > c)) return false;
    }
    return true;
}

struct ScanContext {
    const Volume& volume;
    Neighbourhood neighbourhood;
    ProductFirstAxis map0, map1, map2;
    float threshold;
};

// Scans k = 1 .. n2 - 2 of the line (i, j), appending peaks in increasing k.
void scan_line(const ScanContext& cx, std::size_t i, std::size_t j, std::vector<Peak3D>& out) {
    const Volume& v = cx.volume;
    const std::size_t end = v.shape[2] - 1;
    const std::ptrdiff_t s2 = v.strides[2];
    const std::byte* line = v.data + static_cast<std::ptrdiff_t>(i) * v.strides[0] +
                            static_cast<std::ptrdiff_t>(j) * v.strides[1];
    const float x = cx.map0(i);
    const float y = cx.map1(j);

    auto test = [&](std::size_t k) {
        const std::byte* p = line + static_cast<std::ptrdiff_t>(k) * s2;
        const float c = load(p);
        if (c < cx.threshold) return;
        if (!is_local_maximum(p, c, cx.neighbourhood)) return;
        out.push_back(Peak3D{std::nullopt, i, j, k, x, y, cx.map2(k), c});
    };

    std::size_t k = 1;
#if defined(__SSE2__)
    if (s2 == static_cast<std::ptrdiff_t>(sizeof(float))) {
        // Contiguous line: skip blocks of voxels that all lie below the
        // threshold (NaN is "not below" and gets the full test).
        const __m128 t = _mm_set1_ps(cx.threshold);
        const auto* f = reinterpret_cast<const float*>(line);
        auto passing = [&](std::size_t at) { return _mm_cmpnlt_ps(_mm_loadu_ps(f + at), t); };
        auto test_block = [&](std::size_t at, std::size_t n) {
            for (std::size_t b = 0; b < n; ++b) test(at + b);
        };
        for (; k + 16 <= end; k += 16) {
            const __m128 any = _mm_or_ps(_mm_or_ps(passing(k), passing(k + 4)),
                                         _mm_or_ps(passing(k + 8), passing(k + 12)));
            if (_mm_movemask_ps(any) != 0) test_block(k, 16);
        }
        for (; k + 4 <= end; k += 4)
            if (_mm_movemask_ps(passing(k)) != 0) test_block(k, 4);
    }
#endif
    for (; k < end; ++k) test(k);
}

// The scan of lines line_begin .. line_end - 1 on a wider instruction set,
// for contiguous lines: the kernel hands its peaks to `append`, in order.
using LineKernel = void (*)(const scan::PackedVolume&, std::size_t, std::size_t, float, scan::Sink3D, void*);

LineKernel wide_line_kernel(const Volume& v) noexcept {
#if defined(__x86_64__)
    if (v.strides[2] == static_cast<std::ptrdiff_t>(sizeof(float))) {
        switch (simd::isa()) {
            case simd::Isa::Avx512: return scan::scan_lines_avx512;
            case simd::Isa::Avx2: return scan::scan_lines_avx2;
            case simd::Isa::Portable: break;
        }
    }
#else
    (void)v;
#endif
    return nullptr;
}

struct LineSink {
    const ScanContext& cx;
    std::vector<Peak3D>& out;

    static void append(void* self, std::size_t i, std::size_t j, std::size_t k, float c) {
        auto* s = static_cast<LineSink*>(self);
        s->out.push_back(Peak3D{std::nullopt, i, j, k, s->cx.map0(i), s->cx.map1(j), s->cx.map2(k), c});
    }
};

// Candidate scan over the (i, j) lines, i outer and j inner, in parallel. The
// chunks' lists are joined in chunk order, so the result is in (i, j, k)
// row-major order for every thread count.
std::vector<Peak3D> find_peaks(const ScanContext& cx) {
    const Volume& v = cx.volume;
    const std::size_t n1 = v.shape[1] - 2;
    const std::size_t lines = (v.shape[0] - 2) * n1;
    const std::size_t chunks = std::min(lines, parallel::thread_count() * 8);
    const LineKernel wide = wide_line_kernel(v);
    const scan::PackedVolume packed{v.data, v.strides[0], v.strides[1], v.shape[1], v.shape[2]};
    return parallel::collect<Peak3D>(chunks, [&](std::size_t c, std::vector<Peak3D>& found) {
        const std::size_t begin = lines / chunks * c + std::min(c, lines % chunks);
        const std::size_t end = lines / chunks * (c + 1) + std::min(c + 1, lines % chunks);
        if (wide) {
            LineSink sink{cx, found};
            wide(packed, begin, end, cx.threshold, &LineSink::append, &sink);
            return;
        }
        for (std::size_t l = begin; l < end; ++l) {
            interrupt::check_every(l, 64);
            scan_line(cx, 1 + l / n1, 1 + l % n1, found);
        }
    });
}

// The 3D thinning test, in this order: min_distance^2 > ((dy^2 + dx^2) + dz^2).
inline bool too_close(const Peak3D& p, const std::array<float, 3>& k, float limit) noexcept {
    const float dx = p.x - k[0];
    const float dy = p.y - k[1];
    const float dz = p.z - k[2];
    return limit > (dy * dy + dx * dx) + dz * dz;
}

}  // namespace

std::vector<Peak3D> detect_peaks_3d(const Volume& volume, const VolumeExtent& extent,
                                    float threshold, float min_distance) {
    for (std::size_t n : volume.shape)
        if (n < 3) return {};
    const ScanContext cx{volume,
                         build_neighbourhood(volume),
                         ProductFirstAxis(extent[0], extent[1], volume.shape[0]),
                         ProductFirstAxis(extent[2], extent[3], volume.shape[1]),
                         ProductFirstAxis(extent[4], extent[5], volume.shape[2]),
                         threshold};
    std::vector<Peak3D> peaks = find_peaks(cx);
    sort_peaks_by_intensity(peaks);
    const float limit = min_distance * min_distance;
    return thin_by_distance<3>(
        peaks, min_distance, [](const Peak3D& p) { return std::array<float, 3>{p.x, p.y, p.z}; },
        [limit](const Peak3D& p, const std::array<float, 3>& k) { return too_close(p, k, limit); });
}

}  // namespace sonaloc
