// Per-pixel passage lists in a layout that grows with the passages, not with
// the grid: every passage of a track through a pixel is one (pixel, entry)
// record in a flat buffer, in drawing order. A stable radix sort by pixel then
// places the passages of each pixel next to each other, still in drawing
// order, and each pixel's run is aggregated on its own. Unvisited pixels cost
// nothing beyond their zeros in the output images.
#pragma once
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "core/render/track_records.hpp"
#include "core/render/walk2d.hpp"
#include "core/render/walk3d.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/system.hpp"

namespace sonaloc {

// a + b, saturated: passage bounds of absurd walks never wrap around.
inline std::size_t add_saturated(std::size_t a, std::size_t b) {
    std::size_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::size_t>::max() : r;
}

// Upper bound of one track's passages: the walk of every drawable segment,
// plus the track's last point. walk(a, b) gives a segment's walk.
template <class Entry, class Points, class Walk>
std::size_t passage_bound(const Points& pts, Walk&& walk) {
    if (pts.empty()) return 0;
    std::size_t n = 1;
    for (std::size_t j = 0; j + 1 < pts.size(); ++j)
        if (Entry::segment_drawable(pts[j], pts[j + 1])) n = add_saturated(n, walk(pts[j], pts[j + 1]).count);
    return n;
}

template <class Key, class Entry>
struct Passage {
    Key pixel;
    Entry entry;
};

// Fills the buffer track by track, in parallel: bound(t) is an upper bound of
// the passages of track t, fill(t, out) writes them to out[0 ..) and returns
// how many it wrote. Slots left unused carry the pixel `sentinel`, which sorts
// after every real pixel. Track t's passages follow those of t - 1, so the
// buffer is in drawing order whatever the number of threads.
template <class Key, class Entry, class Bound, class Fill>
std::vector<Passage<Key, Entry>> gather_passages(std::size_t tracks, Key sentinel, Bound&& bound,
                                                 Fill&& fill) {
    std::vector<std::size_t> offset(tracks + 1, 0);
    parallel::for_range(tracks, 256, [&](std::size_t b, std::size_t e) {
        for (std::size_t t = b; t < e; ++t) {
            interrupt::check_every(t, 256);
            offset[t + 1] = bound(t);
        }
    });
    for (std::size_t t = 0; t < tracks; ++t)
        if (__builtin_add_overflow(offset[t + 1], offset[t], &offset[t + 1])) throw std::bad_alloc();
    auto out = system::zeroed_buffer<Passage<Key, Entry>>(offset[tracks]);
    parallel::for_range(tracks, 256, [&](std::size_t b, std::size_t e) {
        for (std::size_t t = b; t < e; ++t) {
            interrupt::check_every(t, 256);
            Passage<Key, Entry>* slot = out.data() + offset[t];
            const std::size_t used = fill(t, slot);
            for (std::size_t i = used; i < offset[t + 1] - offset[t]; ++i) slot[i].pixel = sentinel;
        }
    });
    return out;
}

// Stable LSD radix sort of the passages by pixel, for pixels below `limit`
// (the sentinel included). Digits of at most 11 bits keep the histograms and
// the scatter targets in cache.
template <class Key, class Entry>
void sort_by_pixel(std::vector<Passage<Key, Entry>>& v, std::uint64_t limit) {
    const int bits = std::bit_width(limit);
    if (v.size() < 2 || bits == 0) return;
    const int passes = (bits + 10) / 11;
    const int digit = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const Key mask = static_cast<Key>(buckets - 1);
    // The histograms of all digits in one read; a pass whose digit is the
    // same for every passage would move nothing and is skipped.
    std::vector<std::size_t> hist(buckets * static_cast<std::size_t>(passes), 0);
    constexpr std::size_t kBlock = std::size_t{1} << 18;  // passages between check points
    for (std::size_t b = 0; b < v.size(); b += kBlock) {
        interrupt::check();
        const auto* end = v.data() + std::min(v.size(), b + kBlock);
        for (const auto* x = v.data() + b; x < end; ++x)
            for (int p = 0; p < passes; ++p) ++hist[p * buckets + ((x->pixel >> (p * digit)) & mask)];
    }
    auto buf = system::zeroed_buffer<Passage<Key, Entry>>(v.size());
    auto* src = &v;
    auto* dst = &buf;
    for (int p = 0; p < passes; ++p) {
        std::size_t* pos = hist.data() + p * buckets;
        const int shift = p * digit;
        if (std::find(pos, pos + buckets, v.size()) != pos + buckets) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < buckets; ++b) sum += std::exchange(pos[b], sum);
        Passage<Key, Entry>* out = dst->data();
        for (std::size_t b = 0; b < src->size(); b += kBlock) {
            interrupt::check();
            const auto* end = src->data() + std::min(src->size(), b + kBlock);
            for (const auto* x = src->data() + b; x < end; ++x) out[pos[(x->pixel >> shift) & mask]++] = *x;
        }
        std::swap(src, dst);
    }
    if (src != &v) v.swap(buf);
}

// Calls f(pixel, begin, end) for every run of passages of one pixel below
// `limit`, the runs split over the worker pool. f writes only to its pixel's
// slots, so the result does not depend on the number of threads.
template <class Key, class Entry, class F>
void for_each_pixel_run(std::vector<Passage<Key, Entry>>& v, std::uint64_t limit, F&& f) {
    std::size_t n = v.size();
    while (n > 0 && v[n - 1].pixel >= limit) --n;  // the sentinels, at the end
    constexpr std::size_t kChunk = 1 << 16;
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    // Chunk c handles the runs that start in [c kChunk, (c + 1) kChunk).
    auto run_start = [&](std::size_t i) -> std::size_t {
        if (i == 0 || i >= n || v[i].pixel != v[i - 1].pixel) return std::min(i, n);
        const Key p = v[i].pixel;  // inside a run: skip to its end
        return static_cast<std::size_t>(
            std::partition_point(v.begin() + i, v.begin() + n, [p](const auto& x) { return x.pixel == p; }) -
            v.begin());
    };
    parallel::for_range(chunks, 1, [&](std::size_t cb, std::size_t ce) {
        for (std::size_t c = cb; c < ce; ++c) {
            interrupt::check();
            std::size_t i = run_start(c * kChunk);
            const std::size_t stop = run_start(std::min((c + 1) * kChunk, n));
            while (i < stop) {
                std::size_t j = i + 1;
                while (j < n && v[j].pixel == v[i].pixel) ++j;
                f(static_cast<std::uint64_t>(v[i].pixel), v.data() + i, v.data() + j);
                i = j;
            }
        }
    });
}

// Runs body with Key = uint32_t when every pixel and the sentinel (= cells)
// fit 32 bits, else with uint64_t: a narrower key halves the sorted bytes.
template <class Body>
decltype(auto) with_pixel_key(std::uint64_t cells, Body&& body) {
    if (cells <= std::numeric_limits<std::uint32_t>::max()) return body(std::uint32_t{});
    return body(std::uint64_t{});
}

// Passage count of a pixel as the uint32 count image holds it: saturated.
inline std::uint32_t saturated_count(std::size_t g) {
    return g > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                         : static_cast<std::uint32_t>(g);
}

// The lower-quartile trim shared by the density and value images: sorts the
// run by intensity, ascending and stable (equal intensities stay in drawing
// order), drops the floor(g / 4) lowest and sums the rest in ascending order
// from -0.0: S_I the intensities and, for entries with a value, S_IV the
// products intensity x value.
struct TrimmedSums {
    float intensity = -0.0f;
    float weighted = -0.0f;
};

template <class P>
TrimmedSums trimmed_sums(P* begin, P* end) {
    const auto less = [](const P& a, const P& b) { return a.entry.intensity < b.entry.intensity; };
    const std::size_t g = static_cast<std::size_t>(end - begin);
    if (g <= 32) {
        for (P* i = begin + 1; i < end; ++i) {  // insertion sort: stable, fast on short runs
            const P x = *i;
            P* j = i;
            for (; j > begin && less(x, *(j - 1)); --j) *j = *(j - 1);
            *j = x;
        }
    } else {
        std::stable_sort(begin, end, less);
    }
    TrimmedSums s;
    for (P* p = begin + g / 4; p < end; ++p) {
        s.intensity += p->entry.intensity;
        if constexpr (requires { p->entry.value; }) s.weighted += p->entry.intensity * p->entry.value;
    }
    return s;
}

// All passages of the tracks through the grid, in drawing order: per segment
// the cells of the walk inside the grid (t = i / n for the i-th of n cells,
// the end cell left to the next segment), then the track's last point.
template <class Key, class Entry, class P>
std::vector<Passage<Key, Entry>> passages_2d(const ImageTracks<P>& tracks, const RenderGrid<2>& g) {
    auto plan = [&](const P& a, const P& b) {
        return line_cells_2d(a.x, a.y, b.x, b.y, g.axes[0].n, g.axes[1].n);
    };
    auto bound = [&](std::size_t t) { return passage_bound<Entry>(tracks.track(t), plan); };
    auto fill = [&](std::size_t t, Passage<Key, Entry>* out) -> std::size_t {
        const auto pts = tracks.track(t);
        if (pts.empty()) return 0;
        std::size_t k = 0;
        for (std::size_t j = 0; j + 1 < pts.size(); ++j) {
            const P& a = pts[j];
            const P& b = pts[j + 1];
            if (!Entry::segment_drawable(a, b)) continue;
            const LineCells2D w = plan(a, b);
            const auto n = static_cast<float>(w.n);
            for_each_cell(w, [&](std::uint64_t pixel, std::uint64_t i) {
                Entry e;
                if (Entry::at(static_cast<float>(i) / n, a, b, e))
                    out[k++] = {static_cast<Key>(pixel), e};
            });
        }
        const P& last = pts.back();
        Entry e;
        if (last.inside(g) && Entry::at_point(last, e))
            out[k++] = {static_cast<Key>(last.pixel(g)), e};
        return k;
    };
    return gather_passages<Key, Entry>(tracks.size(), static_cast<Key>(g.cells()), bound, fill);
}

// Calls visit(voxel, entry) for the passages of one 3D track in drawing order
// (voxels with a negative coordinate are outside, so a point below the grid
// is not drawn).
template <class Entry, class P, class Visit>
void track_passages_3d(std::span<const P> pts, const Grid3D& g, Visit&& visit) {
    if (pts.empty()) return;
    for (std::size_t j = 0; j + 1 < pts.size(); ++j) {
        const P& a = pts[j];
        const P& b = pts[j + 1];
        if (!Entry::segment_drawable(a, b)) continue;
        const LineCells3D w = line_cells_3d(a.v, b.v, g);
        const auto n = static_cast<float>(w.n + 1);
        for_each_cell(w, [&](std::uint64_t voxel, std::uint64_t i) {
            Entry e;
            if (Entry::at(static_cast<float>(i) / n, a, b, e)) visit(voxel, e);
        });
    }
    const P& last = pts.back();
    Entry e;
    if (last.inside(g) && Entry::at_point(last, e)) visit(last.voxel(g), e);
}

// All passages of the tracks, in drawing order, in one flat buffer.
template <class Key, class Entry, class P>
std::vector<Passage<Key, Entry>> passages_3d(const ImageTracks<P>& tracks, const Grid3D& g) {
    auto bound = [&](std::size_t t) {
        return passage_bound<Entry>(tracks.track(t), [&](const P& a, const P& b) { return line_cells_3d(a.v, b.v, g); });
    };
    auto fill = [&](std::size_t t, Passage<Key, Entry>* out) {
        std::size_t k = 0;
        track_passages_3d<Entry>(tracks.track(t), g, [&](std::uint64_t voxel, const Entry& e) {
            out[k++] = {static_cast<Key>(voxel), e};
        });
        return k;
    };
    return gather_passages<Key, Entry>(tracks.size(), static_cast<Key>(g.cells()), bound, fill);
}

}  // namespace sonaloc
