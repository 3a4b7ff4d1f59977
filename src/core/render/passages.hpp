// Per-pixel passage lists in a layout that grows with the passages, not with
// the grid: every passage of a track through a pixel is one (pixel, entry)
// record in a flat buffer, in drawing order. A stable radix sort by pixel then
// places the passages of each pixel next to each other, still in drawing
// order, and each pixel's run is aggregated on its own. Unvisited pixels cost
// nothing beyond their zeros in the output images.
// Method: stable LSD radix sort of (cell, entry) records, then one run per cell.
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

// The passage list: every slot is written before it is read, so it is never
// zero-filled.
template <class Key, class Entry>
using Passages = system::WriteFirstBuffer<Passage<Key, Entry>>;

// Fills the buffer track by track, in parallel: bound(t) is an upper bound of
// the passages of track t, fill(t, out) writes them to out[0 ..) and returns
// how many it wrote. Slots left unused carry the pixel `sentinel`, which sorts
// after every real pixel. Track t's passages follow those of t - 1, so the
// buffer is in drawing order whatever the number of threads.
template <class Key, class Entry, class Bound, class Fill>
Passages<Key, Entry> gather_passages(std::size_t tracks, Key sentinel, Bound&& bound,
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
    auto out = system::write_first_buffer<Passage<Key, Entry>>(offset[tracks]);
    parallel::for_range(tracks, 256, [&](std::size_t b, std::size_t e) {
        for (std::size_t t = b; t < e; ++t) {
            interrupt::check_every(t, 256);
            Passage<Key, Entry>* slot = out.data() + offset[t];
            const std::size_t used = fill(t, slot);
            for (std::size_t i = used; i < offset[t + 1] - offset[t]; ++i) slot[i] = {sentinel, Entry{}};
        }
    });
    return out;
}

// One stable counting pass over [from, from + n) into `to` by the digit at
// `shift` (mask `mask`, `buckets` values), with `count` as scratch.
template <class P, class Key>
void counting_pass(const P* from, std::size_t n, P* to, int shift, Key mask, std::vector<std::size_t>& count) {
    std::fill(count.begin(), count.end(), 0);
    for (std::size_t i = 0; i < n; ++i) ++count[(from[i].pixel >> shift) & mask];
    std::size_t sum = 0;
    for (auto& c : count) sum += std::exchange(c, sum);
    for (std::size_t i = 0; i < n; ++i) to[count[(from[i].pixel >> shift) & mask]++] = from[i];
}

// Stable radix sort of the passages by pixel, for pixels below `limit` (the
// sentinel included), digits of at most 11 bits. The first pass, on the top
// digit, runs over the whole list: the list is cut into blocks, every block
// counts its digits, the targets are laid out digit by digit and, within a
// digit, block by block, and every block then scatters its passages in order.
// Each top digit's passages then span a few thousand pixels and fit in cache:
// they are sorted there on the lower digits, least significant first, bucket
// by bucket in parallel (a handful by insertion). Every step is stable, so the
// result is the one stable order, whatever the blocks.
template <class Key, class Entry>
void sort_by_pixel(Passages<Key, Entry>& v, std::uint64_t limit) {
    using P = Passage<Key, Entry>;
    const int bits = std::bit_width(limit);
    const std::size_t n = v.size();
    if (n < 2 || bits == 0) return;
    const int passes = (bits + 10) / 11;
    const int digit = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    const Key mask = static_cast<Key>(buckets - 1);
    const int top = (passes - 1) * digit;  // shift of the top digit
    constexpr std::size_t kMinBlock = 1 << 16;
    const std::size_t blocks = std::max<std::size_t>(1, std::min(parallel::thread_count() * 4, n / kMinBlock));
    auto block_begin = [&](std::size_t b) { return n * b / blocks; };
    auto top_digit = [&](const P& x) { return static_cast<std::size_t>(x.pixel >> top) & mask; };

    std::vector<std::size_t> hist(blocks * buckets, 0);
    parallel::for_each(blocks, [&](std::size_t b) {
        std::size_t* h = hist.data() + b * buckets;
        const P* end = v.data() + block_begin(b + 1);
        for (const P* x = v.data() + block_begin(b); x < end; ++x) ++h[top_digit(*x)];
    });
    // Bucket starts, then the blocks' first targets: digit-major, then block order.
    std::vector<std::size_t> start(buckets + 1, 0);
    for (std::size_t d = 0; d < buckets; ++d) {
        std::size_t total = 0;
        for (std::size_t b = 0; b < blocks; ++b) total += hist[b * buckets + d];
        start[d + 1] = start[d] + total;
    }
    std::size_t sum = 0;
    for (std::size_t d = 0; d < buckets; ++d)
        for (std::size_t b = 0; b < blocks; ++b) sum += std::exchange(hist[b * buckets + d], sum);
    auto buf = system::write_first_buffer<P>(n);
    P* out = buf.data();
    parallel::for_each(blocks, [&](std::size_t b) {
        std::size_t* pos = hist.data() + b * buckets;
        const P* end = v.data() + block_begin(b + 1);
        for (const P* x = v.data() + block_begin(b); x < end; ++x) out[pos[top_digit(*x)]++] = *x;
    });
    if (passes == 1) {
        v.swap(buf);
        return;
    }
    // The lower digits, bucket by bucket, back into v.
    parallel::for_range(buckets, 16, [&](std::size_t db, std::size_t de) {
        std::vector<std::size_t> count(buckets);
        for (std::size_t d = db; d < de; ++d) {
            const std::size_t s = start[d], m = start[d + 1] - s;
            P* here = buf.data() + s;   // the bucket, as the top pass left it
            P* other = v.data() + s;    // its room in v
            if (m <= 32) {
                for (std::size_t i = 1; i < m; ++i) {  // insertion by pixel: stable
                    const P x = here[i];
                    std::size_t j = i;
                    for (; j > 0 && x.pixel < here[j - 1].pixel; --j) here[j] = here[j - 1];
                    here[j] = x;
                }
            } else {
                for (int p = 0; p + 1 < passes; ++p) {
                    counting_pass(here, m, other, p * digit, mask, count);
                    std::swap(here, other);
                }
            }
            if (here != v.data() + s) std::copy(here, here + m, v.data() + s);
        }
    });
}

// Calls f(pixel, begin, end) for every run of passages of one pixel below
// `limit`, the runs split over the worker pool. f writes only to its pixel's
// slots, so the result does not depend on the number of threads.
template <class Key, class Entry, class F>
void for_each_pixel_run(Passages<Key, Entry>& v, std::uint64_t limit, F&& f) {
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

// The walk of a segment between two consecutive track points: in 2D the
// cells from a toward b (the end cell left to the next segment, t = i / n for
// the i-th of n cells), in 3D the voxels from a to b, both included
// (t = j / (N + 1)).
template <std::size_t C>
LineCells2D segment_walk(const ImagePoint2D<C>& a, const ImagePoint2D<C>& b, const RenderGrid<2>& g) {
    return line_cells_2d(a.x, a.y, b.x, b.y, g.axes[0].n, g.axes[1].n);
}
template <std::size_t C>
LineCells3D segment_walk(const ImagePoint3D<C>& a, const ImagePoint3D<C>& b, const Grid3D& g) {
    return line_cells_3d(a.v, b.v, g);
}
inline float t_denominator(const LineCells2D& w) { return static_cast<float>(w.n); }
inline float t_denominator(const LineCells3D& w) { return static_cast<float>(w.n + 1); }

// Calls visit(cell, entry) for the passages of one track in drawing order:
// the cells of every drawable segment's walk inside the grid, then the
// track's last point when it lies inside.
template <class Entry, class P, class Grid, class Visit>
void track_passages(std::span<const P> pts, const Grid& g, Visit&& visit) {
    if (pts.empty()) return;
    for (std::size_t j = 0; j + 1 < pts.size(); ++j) {
        const P& a = pts[j];
        const P& b = pts[j + 1];
        if (!Entry::segment_drawable(a, b)) continue;
        const auto w = segment_walk(a, b, g);
        const float n = t_denominator(w);
        for_each_cell(w, [&](std::uint64_t cell, std::uint64_t i) {
            Entry e;
            if (Entry::at(static_cast<float>(i) / n, a, b, e)) visit(cell, e);
        });
    }
    const P& last = pts.back();
    Entry e;
    if (last.inside(g) && Entry::at_point(last, e)) visit(last.cell(g), e);
}

// All passages of the tracks, in drawing order, in one flat buffer.
template <class Key, class Entry, class P, class Grid>
Passages<Key, Entry> track_passages(const ImageTracks<P>& tracks, const Grid& g) {
    auto bound = [&](std::size_t t) {
        return passage_bound<Entry>(tracks.track(t), [&](const P& a, const P& b) { return segment_walk(a, b, g); });
    };
    auto fill = [&](std::size_t t, Passage<Key, Entry>* out) {
        std::size_t k = 0;
        track_passages<Entry>(tracks.track(t), g, [&](std::uint64_t cell, const Entry& e) {
            out[k++] = {static_cast<Key>(cell), e};
        });
        return k;
    };
    return gather_passages<Key, Entry>(tracks.size(), static_cast<Key>(g.cells()), bound, fill);
}

}  // namespace sonaloc
