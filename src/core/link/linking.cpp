#include "core/link/linking.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "core/errors.hpp"
#include "core/link/assignment.hpp"
#include "core/numeric.hpp"
#include "core/runtime/parallel.hpp"

// One implementation serves 2D and 3D, templated over the point record; the
// traits hold what differs (coordinates, columns of the export).
namespace sonaloc {
namespace {

// Distances become integer costs at this scale (one unit per 1e-6 of distance).
inline constexpr float kCostScale = 1000000.0f;

// Refusal of an export whose end rows would not fit 32 bits.
inline constexpr const char* kTooManyLinkedPoints =
    "Too many linked points to export: the track end indices would exceed 32 bits";

// What the linker reads of a point record and how it exports it.
template <class Point>
struct LinkTraits;

template <>
struct LinkTraits<Peak2D> {
    static constexpr std::size_t dims = 2;
    static constexpr std::size_t columns = 3;  // x, y, intensity
    static std::array<float, 2> coords(const Peak2D& p) noexcept { return {p.x, p.y}; }
    static float squared_distance(const Peak2D& p, const Peak2D& q) noexcept {
        const float dx = p.x - q.x;
        const float dy = p.y - q.y;
        return dx * dx + dy * dy;
    }
    static void write(const Peak2D& p, float* out) noexcept {
        out[0] = p.x;
        out[1] = p.y;
        out[2] = p.intensity;
    }
};

template <>
struct LinkTraits<Peak3D> {
    static constexpr std::size_t dims = 3;
    static constexpr std::size_t columns = 4;  // x, y, z, intensity
    static std::array<float, 3> coords(const Peak3D& p) noexcept { return {p.x, p.y, p.z}; }
    static float squared_distance(const Peak3D& p, const Peak3D& q) noexcept {
        const float dx = p.x - q.x;
        const float dy = p.y - q.y;
        const float dz = p.z - q.z;
        return dx * dx + dy * dy + dz * dz;
    }
    static void write(const Peak3D& p, float* out) noexcept {
        out[0] = p.x;
        out[1] = p.y;
        out[2] = p.z;
        out[3] = p.intensity;
    }
};


// The most points one export can hold: columns x N must stay below 2^32
// (1,431,655,765 in 2D, 1,073,741,823 in 3D).
template <class Point>
inline constexpr std::size_t kMaxExportPoints =
    std::size_t{0xFFFFFFFFu} / LinkTraits<Point>::columns;

// ------------------------------------------------------------------ grid

template <std::size_t D>
using CellKey = std::array<std::uint64_t, D>;

// Cell index along one axis: floor(v / cell_size) in float, saturated into
// unsigned 64 bits (NaN and negative values give 0, so every point with a
// negative coordinate shares cell 0 on that axis).
inline std::uint64_t cell_index(float v, float cell_size) noexcept {
    return floor_saturate<std::uint64_t>(v / cell_size);
}

template <std::size_t D>
bool same_key(const CellKey<D>& a, const CellKey<D>& b) noexcept {
    for (std::size_t i = 0; i < D; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

template <std::size_t D>
std::uint64_t hash_key(const CellKey<D>& k) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::uint64_t c : k) {
        h ^= c + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return h;
}

// Point lists per cell key, for one frame: the members of a cell are
// frame-local positions in input row order. Cells are found through an
// open-addressing table that is only ever looked up, so its layout affects no
// result.
template <std::size_t D>
class CellTable {
public:
    CellTable() = default;

    // key_of(i) gives the key of point i, or nothing to leave it out.
    template <class KeyOf>
    CellTable(std::size_t n, KeyOf key_of) {
        if (n == 0) return;
        std::vector<std::uint32_t> cell_of(n, kEmpty);
        std::size_t capacity = 16;
        while (capacity < 4 * n) capacity *= 2;  // load <= 1/4: a miss ends after ~1.4 slots
        slots_.assign(capacity, kEmpty);
        mask_ = capacity - 1;
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<CellKey<D>> key = key_of(i);
            if (!key) continue;
            std::size_t s = hash_key(*key) & mask_;
            while (slots_[s] != kEmpty && !same_key<D>(keys_[slots_[s]], *key)) s = (s + 1) & mask_;
            if (slots_[s] == kEmpty) {
                slots_[s] = static_cast<std::uint32_t>(keys_.size());
                keys_.push_back(*key);
                start_.push_back(0);
            }
            cell_of[i] = slots_[s];
            ++start_[slots_[s]];
        }
        // Counts to start positions, then fill each cell in input order.
        std::uint32_t sum = 0;
        for (auto& c : start_) sum += std::exchange(c, sum);
        start_.push_back(sum);
        members_.resize(sum);
        std::vector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            if (cell_of[i] != kEmpty) members_[fill[cell_of[i]]++] = static_cast<std::uint32_t>(i);
    }

    // Calls f(local position) for every point in the cell `key`, in input order.
    template <class F>
    void for_each_in(const CellKey<D>& key, F&& f) const {
        if (slots_.empty()) return;
        std::size_t s = hash_key(key) & mask_;
        while (slots_[s] != kEmpty) {
            const std::uint32_t c = slots_[s];
            if (same_key<D>(keys_[c], key)) {
                for (std::uint32_t m = start_[c]; m < start_[c + 1]; ++m) f(members_[m]);
                return;
            }
            s = (s + 1) & mask_;
        }
    }

private:
    static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();
    std::size_t mask_ = 0;
    std::vector<std::uint32_t> slots_;
    std::vector<CellKey<D>> keys_;
    std::vector<std::uint32_t> start_;
    std::vector<std::uint32_t> members_;
};

// The linking grid of one frame: cells of edge max_distance, keys from
// cell_index. A pair of points is a candidate only when each key component of
// the later point is that of the earlier one, plus or minus one, with unsigned
// wrap-around.
template <std::size_t D>
class Mapper {
public:
    template <class Point>
    Mapper(const Point* points, std::size_t n, float cell_size)
        : cell_size_(cell_size),
          cells_(n, [&](std::size_t i) { return std::optional(key_of(points[i])); }) {}

    template <class Point>
    CellKey<D> key_of(const Point& p) const noexcept {
        const auto c = LinkTraits<Point>::coords(p);
        CellKey<D> key;
        for (std::size_t a = 0; a < D; ++a) key[a] = cell_index(c[a], cell_size_);
        return key;
    }

    static bool neighbours(const CellKey<D>& a, const CellKey<D>& b) noexcept {
        for (std::size_t i = 0; i < D; ++i) {
            const std::uint64_t d = b[i] - a[i];
            if (d > 1 && d != ~std::uint64_t{0}) return false;
        }
        return true;
    }

    // Every point in the 3^D cells around `key`, the first axis outermost.
    template <class F>
    void for_each_candidate(const CellKey<D>& key, F&& f) const {
        constexpr std::array<std::uint64_t, 3> offsets{~std::uint64_t{0}, 0, 1};
        CellKey<D> k;
        if constexpr (D == 2) {
            for (auto dx : offsets)
                for (auto dy : offsets) {
                    k = {key[0] + dx, key[1] + dy};
                    cells_.for_each_in(k, f);
                }
        } else {
            for (auto dx : offsets)
                for (auto dy : offsets)
                    for (auto dz : offsets) {
                        k = {key[0] + dx, key[1] + dy, key[2] + dz};
                        cells_.for_each_in(k, f);
                    }
        }
    }

private:
    float cell_size_;
    CellTable<D> cells_;
};

// A search index over the same frame that finds every point that can pass a
// finite distance gate, however the linking grid lumps points together: the
// linking grid saturates every negative coordinate into cell 0, so frames
// with negative coordinates (centred or negative extents) would otherwise
// compare every point of that half-space with every other. Cells here are
// signed, computed in double and clamped to +-2^52; a point with a
// non-finite coordinate is left out (it fails any finite gate). Candidates it
// yields are then filtered by the linking grid's own rule, so the pairs
// considered are exactly the linking grid's.
template <std::size_t D>
class SearchGrid {
public:
    template <class Point>
    SearchGrid(const Point* points, std::size_t n, float max_distance)
        : // Every pair that passes m^2 >= d^2 in float is closer than this
          // along each axis (the float roundings are far below 2^-16).
          reach_(static_cast<double>(max_distance) * (1.0 + 1.0 / 65536.0)),
          // Cells as wide as the whole reach, 2 r: a query box then spans
          // two cells per axis (2^D probes, not 3^D); sparse frames leave
          // most cells empty, so the probes, not the points, are the cost.
          per_cell_(1.0 / (2.0 * reach_)),
          cells_(n, [&](std::size_t i) -> std::optional<CellKey<D>> {
              const auto c = LinkTraits<Point>::coords(points[i]);
              CellKey<D> key;
              for (std::size_t a = 0; a < D; ++a) {
                  if (!std::isfinite(c[a])) return std::nullopt;
                  key[a] = cell(c[a]);
              }
              return key;
          }) {}

    // Every indexed point within reach of `c` along each axis (and some more).
    template <class F>
    void for_each_candidate(const std::array<float, D>& c, F&& f) const {
        std::array<std::uint64_t, D> lo, hi;
        for (std::size_t a = 0; a < D; ++a) {
            if (!std::isfinite(c[a])) return;
            // Rounding is monotone and every float is a double, so any float
            // within reach lies between the two rounded bounds.
            lo[a] = cell(c[a] - reach_);
            hi[a] = cell(c[a] + reach_);
        }
        CellKey<D> k = lo;
        for (;;) {
            cells_.for_each_in(k, f);
            std::size_t a = D;
            while (a-- > 0) {
                if (k[a] != hi[a]) {
                    ++k[a];
                    break;
                }
                k[a] = lo[a];
            }
            if (a == static_cast<std::size_t>(-1)) return;
        }
    }

private:
    // Signed cell index stored as its two's-complement bits; monotone in v.
    std::uint64_t cell(double v) const noexcept {
        constexpr double kLimit = 4503599627370496.0;  // 2^52
        double q = v * per_cell_;  // a product is as monotone as a quotient
        if (q < -kLimit) q = -kLimit;
        if (q > kLimit) q = kLimit;
        // floor without a library call: truncate (exact below 2^52), step down below
        std::int64_t c = static_cast<std::int64_t>(q);
        c -= static_cast<double>(c) > q ? 1 : 0;
        return static_cast<std::uint64_t>(c);
    }

    double reach_;
    double per_cell_;  // 1 / cell width
    CellTable<D> cells_;
};

// ------------------------------------------------------------------ matching

// The matches of one frame pair (t, t + g): for every point of frame t, in
// row order, the frame-local position of its partner in frame t + g or
// kUnmatched. Empty when either frame is empty.
using FramePairMatch = std::vector<std::uint32_t>;

// The parameters every frame pair shares.
struct LinkCosts {
    float max_distance = 0.0f;
    float squared_gate = 0.0f;   // max_distance^2 in float
    bool finite_gate = false;
    std::int64_t unmatched = 0;  // U
};

inline LinkCosts link_costs(float max_distance) noexcept {
    const float m2 = max_distance * max_distance;
    return {max_distance, m2, std::isfinite(m2), saturate_cast<std::int64_t>(kCostScale * max_distance)};
}

// Matches frame t against frame t + g. `gate(p, q)` is the extra admission
// test beyond the distance (the 2D intensity ratio; always true in 3D).
//
// A pair is admissible when q lies in the 3^D linking-grid cells around p,
// passes m^2 >= d^2 (NaN fails) and passes `gate`. With a finite squared gate
// the candidates come from the search grid and are filtered by the linking
// grid's neighbourhood rule; with an infinite one (max_distance above ~1.8e19)
// every non-NaN distance passes and the linking grid is searched directly.
// Each row's pairs are sorted by column, so the order never depends on the
// index used.
//
// The indexes of one frame as the later frame of its pairs: the linking grid
// (searched directly under an infinite gate) and the search index (under a
// finite one), each empty where it is not used.
// Under a finite gate it also holds the linking-grid key of every point, which
// the neighbourhood rule asks for once per candidate.
template <std::size_t D>
struct LaterFrameIndex {
    template <class Point>
    LaterFrameIndex(const Point* points, std::size_t n, const LinkCosts& costs)
        : mapper(points, costs.finite_gate ? 0 : n, costs.max_distance),
          search(points, costs.finite_gate ? n : 0, costs.max_distance) {
        if (!costs.finite_gate) return;
        keys.resize(n);
        for (std::size_t j = 0; j < n; ++j) keys[j] = mapper.key_of(points[j]);
    }
    Mapper<D> mapper;
    SearchGrid<D> search;
    std::vector<CellKey<D>> keys;
};

template <class Point, class Gate>
FramePairMatch match_frame_pair(const FramePoints<Point>& frames, std::size_t t, std::size_t g,
                                const LaterFrameIndex<LinkTraits<Point>::dims>& later, const LinkCosts& costs,
                                const Gate& gate) {
    constexpr std::size_t D = LinkTraits<Point>::dims;
    const std::size_t rows = frames.frame_size(t), cols = frames.frame_size(t + g);
    if (rows == 0 || cols == 0) return {};
    const Point* row_points = frames.points.data() + frames.offsets[t];
    const Point* col_points = frames.points.data() + frames.offsets[t + g];
    const Mapper<D>& mapper = later.mapper;
    const SearchGrid<D>& search = later.search;

    AdmissiblePairs pairs;
    pairs.row_start.reserve(rows + 1);
    for (std::size_t i = 0; i < rows; ++i) {
        const Point& p = row_points[i];
        const CellKey<D> key = mapper.key_of(p);
        auto consider = [&](std::uint32_t j) {
            const Point& q = col_points[j];
            const float d2 = LinkTraits<Point>::squared_distance(p, q);
            if (!(costs.squared_gate >= d2)) return;  // NaN fails too
            if (!gate(p, q)) return;
            pairs.add(j, saturate_cast<std::int64_t>(std::sqrt(d2) * kCostScale));
        };
        if (costs.finite_gate) {
            search.for_each_candidate(LinkTraits<Point>::coords(p), [&](std::uint32_t j) {
                if (Mapper<D>::neighbours(key, later.keys[j])) consider(j);
            });
        } else {
            mapper.for_each_candidate(key, consider);
        }
        const auto first = pairs.pairs.begin() + static_cast<std::ptrdiff_t>(pairs.row_start.back());
        if (pairs.pairs.end() - first > 1)
            std::sort(first, pairs.pairs.end(),
                      [](const AdmissiblePair& a, const AdmissiblePair& b) { return a.col < b.col; });
        pairs.end_row();
    }
    return solve_assignment(pairs, cols, costs.unmatched);
}

// The matches of every frame pair: result[g - 1][t] for frames (t, t + g).
// Only gaps below the number of frames can hold a pair, so the gaps run to
// min(max_skip + 1, n_frames - 1), computed without overflow. The first
// frames are cut into blocks that run in parallel; a block goes through the
// later frames of its pairs one by one, builds the frame's index once and
// matches every pair of the block that ends there (a frame ends up to `gaps`
// pairs), so each running block holds one index. Results are placed by index.
template <class Point, class Gate>
std::vector<std::vector<FramePairMatch>> link(const FramePoints<Point>& frames,
                                              std::uint64_t max_skip, const LinkCosts& costs,
                                              const Gate& gate) {
    constexpr std::size_t D = LinkTraits<Point>::dims;
    const std::size_t n = frames.frames();
    if (n < 2) return {};
    const std::size_t gaps = max_skip >= n - 2 ? n - 1 : static_cast<std::size_t>(max_skip) + 1;
    std::vector<std::vector<FramePairMatch>> out(gaps);
    for (std::size_t gi = 0; gi < gaps; ++gi) out[gi].resize(n - gi - 1);
    constexpr std::size_t kBlock = 8;  // first frames per block
    const std::size_t first_frames = n - 1;
    const std::size_t blocks = (first_frames + kBlock - 1) / kBlock;
    parallel::for_each(blocks, [&](std::size_t b) {
        const std::size_t t0 = b * kBlock, t1 = std::min(first_frames, t0 + kBlock);
        const std::size_t f1 = std::min(n, t1 + gaps);  // past the last later frame of the block's pairs
        for (std::size_t f = t0 + 1; f < f1; ++f) {
            interrupt::check();
            const LaterFrameIndex<D> later(frames.points.data() + frames.offsets[f], frames.frame_size(f), costs);
            // the pairs (t, f) of the block: t in [t0, t1), 1 <= f - t <= gaps
            const std::size_t first = f > gaps ? std::max(t0, f - gaps) : t0;
            for (std::size_t t = first; t < t1 && t < f; ++t)
                out[f - t - 1][t] = match_frame_pair(frames, t, f - t, later, costs, gate);
        }
    });
    return out;
}

// ------------------------------------------------------------------ tracks

// Matches every frame pair, merges the matches, follows them into tracks and
// exports the tracks. `frames` is the flattened input, one frame after another.
//
// When U = trunc(1e6 * max_distance) is not positive (max_distance below 1e-6,
// zero, negative or NaN), nothing is linked: every pair then costs at least as
// much as staying unmatched, and the forbidden cost 10 U no longer forbids
// anything, so leaving every point unmatched is the only outcome that respects
// the gates. The forbidden cost itself is never formed (it would overflow for
// max_distance above ~9.2e11); forbidden pairs are simply never candidates.
template <class Point, class Gate>
TrackMatrices link_into_tracks(const FramePoints<Point>& frames, float max_distance,
                               std::uint64_t max_skip, const Gate& gate) {
    constexpr std::size_t kNoPoint = std::numeric_limits<std::size_t>::max();
    const std::size_t n_frames = frames.frames();
    const std::size_t n_points = frames.points.size();
    const LinkCosts costs = link_costs(max_distance);

    std::vector<std::size_t> next(n_points, kNoPoint);
    std::vector<unsigned char> has_prev(n_points, 0);

    if (costs.unmatched > 0 && n_frames >= 2) {
        for (std::size_t f = 0; f < n_frames; ++f)
            if (frames.frame_size(f) >= kUnmatched) throw std::bad_alloc();
        const auto matches = link(frames, max_skip, costs, gate);

        // Merge: gaps ascending, first frames ascending, rows in order; a pair
        // is taken only when neither end is already linked that way, so a
        // smaller gap always wins.
        for (std::size_t gi = 0; gi < matches.size(); ++gi) {
            const std::size_t g = gi + 1;
            for (std::size_t t = 0; t < matches[gi].size(); ++t) {
                const FramePairMatch& m = matches[gi][t];
                for (std::size_t i = 0; i < m.size(); ++i) {
                    if (m[i] == kUnmatched) continue;
                    const std::size_t p = frames.offsets[t] + i;
                    const std::size_t q = frames.offsets[t + g] + m[i];
                    if (next[p] != kNoPoint || has_prev[q]) continue;
                    next[p] = q;
                    has_prev[q] = 1;
                }
            }
        }
    }

    // Tracks start at every point without a predecessor that has a successor,
    // in point-index order, which is by start frame then row.
    std::size_t n_rows = 0, n_tracks = 0;
    for (std::size_t i = 0; i < n_points; ++i) {
        if (has_prev[i] || next[i] != kNoPoint) ++n_rows;
        if (!has_prev[i] && next[i] != kNoPoint) ++n_tracks;
    }
    if (n_rows > kMaxExportPoints<Point>) throw ValueError(kTooManyLinkedPoints);

    constexpr std::size_t cols = LinkTraits<Point>::columns;
    TrackMatrices out;
    out.points.resize(n_rows * cols);
    out.ends.reserve(n_tracks);
    std::size_t row = 0;
    for (std::size_t i = 0; i < n_points; ++i) {
        if (has_prev[i] || next[i] == kNoPoint) continue;
        for (std::size_t p = i; p != kNoPoint; p = next[p])
            LinkTraits<Point>::write(frames.points[p], out.points.data() + cols * row++);
        out.ends.push_back(static_cast<std::uint32_t>(row));
    }
    return out;
}

// ------------------------------------------------------------------ gates

// The 2D intensity-ratio gate: a pair is refused when either intensity exceeds
// the other times the ratio. A comparison with NaN is false and refuses nothing.
struct IntensityRatioGate {
    float ratio;
    bool operator()(const Peak2D& p, const Peak2D& q) const noexcept {
        if (q.intensity > ratio * p.intensity) return false;
        if (p.intensity > q.intensity * ratio) return false;
        return true;
    }
};

// Every distance-admissible pair is allowed; intensities are not compared.
struct NoGate {
    bool operator()(const Peak3D&, const Peak3D&) const noexcept { return true; }
};

template <class Point, std::size_t Cols, class Fill>
FramePoints<Point> read_frames(const std::vector<Matrix>& frames, Fill fill) {
    FramePoints<Point> out;
    out.offsets.reserve(frames.size() + 1);
    std::size_t total = 0;
    for (const Matrix& m : frames) {
        if (m.size(0) > 0 && m.size(1) < Cols) (void)m.at(0, m.size(1));
        if (m.size(0) > out.points.max_size() - total) throw std::bad_alloc();
        total += m.size(0);
    }
    out.points.reserve(total);
    for (const Matrix& m : frames) {
        for (std::size_t r = 0; r < m.size(0); ++r) {
            std::array<float, Cols> row;
            for (std::size_t c = 0; c < Cols; ++c) row[c] = m.at(r, c);
            out.points.push_back(fill(row));
        }
        out.end_frame();
    }
    return out;
}

}  // namespace

FramePoints<Peak2D> frame_points_2d(const std::vector<Matrix>& frames) {
    return read_frames<Peak2D, 3>(frames, [](const std::array<float, 3>& r) {
        Peak2D p;
        p.x = r[0];
        p.y = r[1];
        p.intensity = r[2];
        return p;
    });
}

FramePoints<Peak3D> frame_points_3d(const std::vector<Matrix>& frames) {
    return read_frames<Peak3D, 4>(frames, [](const std::array<float, 4>& r) {
        Peak3D p;
        p.x = r[0];
        p.y = r[1];
        p.z = r[2];
        p.intensity = r[3];
        return p;
    });
}

ExportMatrices2D link_and_export(const FramePoints<Peak2D>& frames, float max_distance,
                                 std::uint64_t max_skip, float max_intensity_ratio) {
    TrackMatrices m = link_into_tracks(frames, max_distance, max_skip,
                                       IntensityRatioGate{max_intensity_ratio});
    return {std::move(m.points), std::move(m.ends)};
}

TrackMatrices link_and_export_3d(const FramePoints<Peak3D>& frames, float max_distance,
                                 std::uint64_t max_skip) {
    return link_into_tracks(frames, max_distance, max_skip, NoGate{});
}

}  // namespace sonaloc
