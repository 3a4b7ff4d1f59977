// Greedy thinning of sorted peaks by a minimum distance, 2D and 3D: a peak is
// dropped when it lies too close to a peak kept before it, else kept. The
// closeness test is the caller's float expression (its sum order differs
// between 2D and 3D); a cell index finds the only kept peaks it can be true
// for.
// Method: greedy non-maximum suppression by distance over a hashed cell grid.
#pragma once
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/runtime/interrupt.hpp"

namespace sonaloc {

// Kept positions bucketed in cells of side 2 |min_distance| (= 2D). Only a
// kept peak whose position differs from the candidate's by less than D along
// every axis can drop it: a difference of at least D rounds to at least D,
// its square to at least fl(D * D) = min_distance^2, and so does any sum of
// such squares, so the closeness test fails. Those kept peaks lie in the cells
// that the box [p - D', p + D'] touches, D' = D (1 + 2^-20): the box bounds are
// formed in double with an error below D 2^-20 while |p| < D 2^33 (covers()
// asks for less), and the cell index is monotone. The box spans two cells
// along an axis, three at most, so a candidate looks at 2^D cells, rarely
// more. Open addressing over compact slots (the cell as 32-bit integers and
// the head of its chain of kept peaks, linked through `next_`), so that a
// frame's index stays in the nearest caches.
template <std::size_t D>
class CellIndex {
public:
    using Cell = std::array<std::int32_t, D>;
    using Position = std::array<float, D>;

    explicit CellIndex(float min_distance)
        : inverse_side_(1.0 / (2.0 * std::fabs(static_cast<double>(min_distance)))),
          reach_(std::fabs(static_cast<double>(min_distance)) * (1.0 + 0x1p-20)) {}

    // The cells around this finite position can be formed soundly, as 32-bit
    // integers: |p| / side < 2^30, and the box adds less than a cell.
    bool covers(const Position& p) const {
        constexpr double kLimit = 0x1p30;
        if (!std::isfinite(inverse_side_) || !std::isfinite(reach_)) return false;
        for (float c : p)
            if (!(std::fabs(static_cast<double>(c)) * inverse_side_ < kLimit)) return false;
        return true;
    }

    Cell cell_of(const Position& p) const {
        Cell c;
        for (std::size_t a = 0; a < D; ++a) c[a] = index(static_cast<double>(p[a]));
        return c;
    }

    // Calls near(id) for the kept peaks of the cells the box around p
    // touches, until it returns true; returns whether it did.
    template <class F>
    bool any_near(const Position& p, F&& near) const {
        if (slots_.empty()) return false;
        Cell lo, hi;
        for (std::size_t a = 0; a < D; ++a) {
            lo[a] = index(static_cast<double>(p[a]) - reach_);
            hi[a] = index(static_cast<double>(p[a]) + reach_);
        }
        Cell c = lo;
        for (;;) {
            const Slot& s = slots_[find(c)];
            for (std::uint32_t id = s.head; id != kNone; id = next_[id])
                if (near(id)) return true;
            std::size_t a = 0;
            for (; a < D; ++a) {
                if (c[a] != hi[a]) {
                    ++c[a];
                    break;
                }
                c[a] = lo[a];
            }
            if (a == D) return false;
        }
    }

    // Room for n kept peaks without growing.
    void reserve(std::size_t n) {
        std::size_t size = 64;
        while (size < 2 * n) size *= 2;
        if (size > slots_.size()) rebuild(size);
        next_.reserve(n);
    }

    // The most kept peaks an index numbers.
    static constexpr std::size_t kMaxPeaks = 0xFFFFFFFEu;

    // Adds kept peak number `id` (ids are 0, 1, 2, ... in insertion order;
    // peaks kept outside the index still take their number; id < kMaxPeaks).
    void insert(const Cell& c, std::size_t id) {
        if (2 * (used_ + 1) > slots_.size()) rebuild(slots_.empty() ? 64 : 2 * slots_.size());
        Slot& s = slots_[find(c)];
        if (s.head == kNone) {
            s.cell = c;
            ++used_;
        }
        if (next_.size() <= id) next_.resize(id + 1, kNone);
        next_[id] = s.head;
        s.head = static_cast<std::uint32_t>(id);
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    // A slot is used when it heads a chain.
    struct Slot {
        Cell cell{};
        std::uint32_t head = kNone;
    };

    // floor(v / side) for the positions covers() admits: truncation, one
    // down where it rounded up.
    std::int32_t index(double v) const noexcept {
        const double s = v * inverse_side_;
        const auto t = static_cast<std::int64_t>(s);
        return static_cast<std::int32_t>(t - (s < static_cast<double>(t) ? 1 : 0));
    }

    static bool same(const Cell& a, const Cell& b) noexcept {
        for (std::size_t i = 0; i < D; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    static std::uint64_t hash(const Cell& c) noexcept {
        constexpr std::uint64_t kMix[3] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full,
                                           0x165667B19E3779F9ull};
        std::uint64_t h = 0;
        for (std::size_t a = 0; a < D; ++a)
            h ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(c[a])) * kMix[a];
        return h ^ (h >> 31);
    }

    // The slot holding `c`, or the free slot where it would go.
    std::size_t find(const Cell& c) const noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash(c) & mask;
        while (slots_[i].head != kNone && !same(slots_[i].cell, c)) i = (i + 1) & mask;
        return i;
    }

    void rebuild(std::size_t size) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(size, Slot{});
        for (const Slot& s : old)
            if (s.head != kNone) slots_[find(s.cell)] = s;
    }

    double inverse_side_;
    double reach_;
    std::vector<Slot> slots_;  // size a power of two, at most half used
    std::size_t used_ = 0;
    std::vector<std::uint32_t> next_;
};

// Greedy in the given order. `position(p)` gives a peak's coordinates as a
// std::array<float, D>; `too_close(p, k)` is the float test of candidate p
// against kept position k, true only when min_distance^2 is greater than a sum
// of the squared coordinate differences. A peak with a coordinate that is not
// finite is never close to any other (its difference along that axis is
// infinite or NaN, and so is the sum): it is always kept and stays out of the
// index. A few candidates are compared with every kept peak; more go through
// the index, which finds the same answer. `alone(q)` may tell of sorted[q]
// that no other peak lies within |min_distance| of it along every axis: it is
// then kept untested, and left out of the index, as it can drop no other.
template <std::size_t D, class Peak, class Position, class TooClose, class Alone>
std::vector<Peak> thin_by_distance(const std::vector<Peak>& sorted, float min_distance,
                                   Position&& position, TooClose&& too_close, Alone&& alone) {
    const float limit = min_distance * min_distance;
    if (!(limit > 0.0f)) return sorted;  // a squared distance is never below 0 (or NaN)
    std::vector<Peak> kept;
    std::vector<std::array<float, D>> at;  // kept positions, compact for the tests
    auto keep = [&](const Peak& p, const std::array<float, D>& x) {
        kept.push_back(p);
        at.push_back(x);
    };
    auto finite = [](const std::array<float, D>& x) {
        for (float c : x)
            if (!std::isfinite(c)) return false;
        return true;
    };

    CellIndex<D> index(min_distance);
    constexpr std::size_t kIndexFrom = 64;
    bool indexed = sorted.size() >= kIndexFrom && sorted.size() <= CellIndex<D>::kMaxPeaks && std::isfinite(limit);
    for (std::size_t q = 0; indexed && q < sorted.size(); ++q) {
        const auto x = position(sorted[q]);
        indexed = !finite(x) || index.covers(x);
    }
    if (indexed) {
        std::size_t crowd = 0;
        for (std::size_t q = 0; q < sorted.size(); ++q) crowd += alone(q) ? 0 : 1;
        index.reserve(crowd);
        kept.reserve(sorted.size());
        at.reserve(sorted.size());
        for (std::size_t q = 0; q < sorted.size(); ++q) {
            interrupt::check_every(q, 4096);
            const Peak& p = sorted[q];
            const auto x = position(p);
            if (!alone(q) && finite(x)) {
                if (index.any_near(x, [&](std::size_t k) { return too_close(p, at[k]); })) continue;
                index.insert(index.cell_of(x), kept.size());
            }
            keep(p, x);
        }
        return kept;
    }

    for (std::size_t q = 0; q < sorted.size(); ++q) {
        interrupt::check_every(q, 256);
        const Peak& p = sorted[q];
        if (alone(q)) {
            kept.push_back(p);  // close to none: never compared
            continue;
        }
        bool close = false;
        for (std::size_t k = 0; k < at.size() && !close; ++k) close = too_close(p, at[k]);
        if (!close) keep(p, position(p));
    }
    return kept;
}

template <std::size_t D, class Peak, class Position, class TooClose>
std::vector<Peak> thin_by_distance(const std::vector<Peak>& sorted, float min_distance,
                                   Position&& position, TooClose&& too_close) {
    return thin_by_distance<D>(sorted, min_distance, position, too_close, [](std::size_t) { return false; });
}

}  // namespace sonaloc
