#include "core/detect/detection3d.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/detect/peak_order.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"

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

// Index to physical coordinate: ((last - first) * index) / (n - 1) + first.
struct AxisMap {
    float span, denominator, first;
    float operator()(std::size_t index) const noexcept {
        return (span * static_cast<float>(index)) / denominator + first;
    }
};

AxisMap axis_map(float first, float last, std::size_t n) {
    return {last - first, static_cast<float>(n) - 1.0f, first};
}

struct ScanContext {
    const Volume& volume;
    Neighbourhood neighbourhood;
    AxisMap map0, map1, map2;
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

// Candidate scan over the (i, j) lines, i outer and j inner, in parallel. The
// chunks' lists are joined in chunk order, so the result is in (i, j, k)
// row-major order for every thread count.
std::vector<Peak3D> find_peaks(const ScanContext& cx) {
    const std::size_t n1 = cx.volume.shape[1] - 2;
    const std::size_t lines = (cx.volume.shape[0] - 2) * n1;
    const std::size_t chunks = std::min(lines, parallel::thread_count() * 8);
    std::vector<std::vector<Peak3D>> found(chunks);
    parallel::for_each(chunks, [&](std::size_t c) {
        const std::size_t begin = lines / chunks * c + std::min(c, lines % chunks);
        const std::size_t end = lines / chunks * (c + 1) + std::min(c + 1, lines % chunks);
        for (std::size_t l = begin; l < end; ++l) {
            interrupt::check_every(l, 64);
            scan_line(cx, 1 + l / n1, 1 + l % n1, found[c]);
        }
    });
    std::size_t total = 0;
    for (const auto& f : found) total += f.size();
    std::vector<Peak3D> peaks;
    peaks.reserve(total);
    for (const auto& f : found) peaks.insert(peaks.end(), f.begin(), f.end());
    return peaks;
}

// The thinning test, in the stated order: min_distance^2 > ((dy^2 + dx^2) + dz^2).
inline bool too_close(const Peak3D& p, float kx, float ky, float kz, float limit) noexcept {
    const float dx = p.x - kx;
    const float dy = p.y - ky;
    const float dz = p.z - kz;
    return limit > (dy * dy + dx * dx) + dz * dz;
}

// Kept peaks bucketed in cubic cells of side 2 |min_distance|. Two peaks whose
// cells are not adjacent differ by more than 2 |min_distance| along some
// axis, so the float test above fails for them by a wide margin: looking at
// the 27 cells around a candidate finds every kept peak that can drop it.
// Open addressing; each cell heads a chain of kept peaks through `next`.
class CellIndex {
public:
    using Cell = std::array<std::int64_t, 3>;

    explicit CellIndex(float min_distance)
        : inverse_side_(1.0 / (2.0 * std::fabs(static_cast<double>(min_distance)))) {}

    // The cell of every candidate can be formed (finite, far from overflow).
    bool covers(const std::vector<Peak3D>& peaks) const {
        constexpr double kLimit = 0x1p60;
        if (!std::isfinite(inverse_side_)) return false;
        for (const Peak3D& p : peaks)
            for (float c : {p.x, p.y, p.z}) {
                const double q = static_cast<double>(c) * inverse_side_;
                if (!(std::fabs(q) < kLimit)) return false;
            }
        return true;
    }

    Cell cell_of(const Peak3D& p) const {
        auto f = [&](float c) {
            return static_cast<std::int64_t>(std::floor(static_cast<double>(c) * inverse_side_));
        };
        return {f(p.x), f(p.y), f(p.z)};
    }

    // Calls near(id) for the kept peaks of the 27 cells around `c` until it
    // returns true.
    template <class F>
    bool any_around(const Cell& c, F&& near) const {
        if (slots_.empty()) return false;
        for (std::int64_t a = -1; a <= 1; ++a)
            for (std::int64_t b = -1; b <= 1; ++b)
                for (std::int64_t e = -1; e <= 1; ++e) {
                    const Slot& s = slots_[find({c[0] + a, c[1] + b, c[2] + e})];
                    for (std::size_t id = s.used ? s.head : kNone; id != kNone; id = next_[id])
                        if (near(id)) return true;
                }
        return false;
    }

    // Adds kept peak number `id` (ids are 0, 1, 2, ... in insertion order).
    void insert(const Cell& c, std::size_t id) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        Slot& s = slots_[find(c)];
        if (!s.used) {
            s = Slot{c, kNone, true};
            ++used_;
        }
        next_.push_back(s.head);
        s.head = id;
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Slot {
        Cell cell{};
        std::size_t head = kNone;
        bool used = false;
    };

    static std::uint64_t hash(const Cell& c) noexcept {
        std::uint64_t h = static_cast<std::uint64_t>(c[0]) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<std::uint64_t>(c[1]) * 0xC2B2AE3D27D4EB4Full;
        h ^= static_cast<std::uint64_t>(c[2]) * 0x165667B19E3779F9ull;
        return h ^ (h >> 31);
    }

    // The slot holding `c`, or the free slot where it would go.
    std::size_t find(const Cell& c) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash(c) & mask;
        while (slots_[i].used && slots_[i].cell != c) i = (i + 1) & mask;
        return i;
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
        for (const Slot& s : old)
            if (s.used) slots_[find(s.cell)] = s;
    }

    double inverse_side_;
    std::vector<Slot> slots_;  // size a power of two, at most half used
    std::size_t used_ = 0;
    std::vector<std::size_t> next_;
};

// Greedy in sorted order: a candidate is dropped when it is too close to some
// kept peak, else kept. Few candidates are compared with every kept peak;
// many go through the cell index, which finds the same answer.
std::vector<Peak3D> thin_by_distance(std::vector<Peak3D> candidates, float min_distance) {
    const float limit = min_distance * min_distance;
    if (!(limit > 0.0f)) return candidates;  // a squared distance is never below 0 (or NaN)
    std::vector<Peak3D> kept;
    std::vector<float> kx, ky, kz;
    auto keep = [&](const Peak3D& p) {
        kept.push_back(p);
        kx.push_back(p.x);
        ky.push_back(p.y);
        kz.push_back(p.z);
    };

    CellIndex index(min_distance);
    constexpr std::size_t kIndexFrom = 512;
    if (candidates.size() >= kIndexFrom && std::isfinite(limit) && index.covers(candidates)) {
        for (const Peak3D& p : candidates) {
            interrupt::check_every(static_cast<std::size_t>(&p - candidates.data()), 4096);
            const CellIndex::Cell c = index.cell_of(p);
            if (index.any_around(c, [&](std::size_t t) { return too_close(p, kx[t], ky[t], kz[t], limit); }))
                continue;
            index.insert(c, kept.size());
            keep(p);
        }
        return kept;
    }

    for (const Peak3D& p : candidates) {
        interrupt::check_every(static_cast<std::size_t>(&p - candidates.data()), 256);
        bool close = false;
        constexpr std::size_t kBlock = 64;
        for (std::size_t b = 0; b < kx.size() && !close; b += kBlock) {
            const std::size_t e = std::min(kx.size(), b + kBlock);
            for (std::size_t t = b; t < e; ++t) close |= too_close(p, kx[t], ky[t], kz[t], limit);
        }
        if (!close) keep(p);
    }
    return kept;
}

}  // namespace

std::vector<Peak3D> detect_peaks_3d(const Volume& volume, const VolumeExtent& extent,
                                    float threshold, float min_distance) {
    for (std::size_t n : volume.shape)
        if (n < 3) return {};
    const ScanContext cx{volume,
                         build_neighbourhood(volume),
                         axis_map(extent[0], extent[1], volume.shape[0]),
                         axis_map(extent[2], extent[3], volume.shape[1]),
                         axis_map(extent[4], extent[5], volume.shape[2]),
                         threshold};
    std::vector<Peak3D> peaks = find_peaks(cx);
    sort_peaks_by_intensity(peaks);
    return thin_by_distance(std::move(peaks), min_distance);
}

}  // namespace sonaloc
