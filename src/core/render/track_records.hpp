// Track records for rendering: cutting the point matrix into tracks and the
// conversion of every point to grid cells (unsigned indices in 2D, signed in
// 3D).
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/numeric.hpp"
#include "core/render/grid.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/runtime/system.hpp"
#include "core/view.hpp"

namespace sonaloc {

// Negative row ends describe no rows; they are refused before any row is read.
void check_track_ends(const IndexVector& ends);

// Tracks stored one after another: track t holds points[ends[t-1] .. ends[t]).
template <class P>
struct ImageTracks {
    system::WriteFirstBuffer<P> points;
    std::vector<std::size_t> ends;

    std::size_t size() const noexcept { return ends.size(); }
    std::span<const P> track(std::size_t t) const noexcept {
        const std::size_t b = t == 0 ? 0 : ends[t - 1];
        return {points.data() + b, ends[t] - b};
    }
};

// Tracks t0 .. t1 - 1 of the matrix as grid cells, appended to `points`, with
// the number of points so far after each track in `counts`. Track t runs from
// the previous entry of `ends` (also when that lies beyond the matrix or
// behind the start before it) to its own; rows beyond the matrix are cut off,
// and of each run of consecutive points in the same cell only the first is
// kept. A matrix with fewer than P::columns columns faults when a track's
// first row is read.
template <class P, class Grid, class Points>
void convert_tracks(const Matrix& m, const IndexVector& ends, const Grid& grid, std::size_t t0, std::size_t t1,
                    Points& points, std::vector<std::size_t>& counts) {
    const std::size_t rows = m.size(0);
    std::size_t start = t0 == 0 ? 0 : static_cast<std::size_t>(ends(t0 - 1));  // non-negative (check_track_ends)
    for (std::size_t t = t0; t < t1; ++t) {
        const auto e = static_cast<std::size_t>(ends(t));
        const std::size_t stop = std::min(e, rows);
        const std::size_t begin = points.size();
        if (start < stop) {
            (void)m.at(start, P::columns - 1);
            for (std::size_t r = start; r < stop; ++r) {
                interrupt::check_every(r, std::size_t{1} << 16);
                const P p = P::from_row(m, r, grid);
                if (points.size() > begin && p.same_cell(points.back())) continue;
                points.push_back(p);
            }
        }
        counts.push_back(points.size());
        start = e;
    }
}

// Cuts the matrix and converts every point to grid cells (convert_tracks),
// in parallel over blocks of tracks; the blocks are then copied into place
// in parallel. The result does not depend on the blocks. Shared by 2D and
// 3D: P provides `columns`, `from_row(m, r, grid)` and `same_cell`.
template <class P, class Grid>
ImageTracks<P> image_tracks(const Matrix& m, const IndexVector& ends, const Grid& grid) {
    check_track_ends(ends);
    const std::size_t n_tracks = ends.size(0);
    constexpr std::size_t kRowsPerBlock = std::size_t{1} << 15;
    const std::size_t blocks =
        std::max<std::size_t>(1, std::min({parallel::thread_count() * 4, n_tracks, m.size(0) / kRowsPerBlock}));
    ImageTracks<P> out;
    if (blocks == 1) {  // straight into place
        out.points.reserve(m.size(0));
        out.ends.reserve(n_tracks);
        convert_tracks<P>(m, ends, grid, 0, n_tracks, out.points, out.ends);
        return out;
    }
    std::vector<std::vector<P>> part(blocks);
    std::vector<std::vector<std::size_t>> counts(blocks);
    parallel::for_each(blocks, [&](std::size_t b) {
        const std::size_t t0 = n_tracks * b / blocks, t1 = n_tracks * (b + 1) / blocks;
        counts[b].reserve(t1 - t0);
        convert_tracks<P>(m, ends, grid, t0, t1, part[b], counts[b]);
    });
    std::vector<std::size_t> offset(blocks + 1, 0);
    for (std::size_t b = 0; b < blocks; ++b) offset[b + 1] = offset[b] + part[b].size();
    out.points = system::write_first_buffer<P>(offset[blocks]);
    out.ends.resize(n_tracks);
    parallel::for_each(blocks, [&](std::size_t b) {
        std::copy(part[b].begin(), part[b].end(), out.points.begin() + static_cast<std::ptrdiff_t>(offset[b]));
        std::vector<P>().swap(part[b]);
        const std::size_t t0 = n_tracks * b / blocks;
        for (std::size_t k = 0; k < counts[b].size(); ++k) out.ends[t0 + k] = offset[b] + counts[b][k];
    });
    return out;
}

// A track point on the 2D grid. Indices are unsigned: a coordinate below the
// grid becomes cell 0. `value` is read only by the value image (Columns = 4).
template <std::size_t Columns>
struct ImagePoint2D {
    static constexpr std::size_t columns = Columns;
    std::uint64_t x, y;  // no initialisers: a buffer of points is written before it is read
    float intensity;
    float value;

    static ImagePoint2D from_row(const Matrix& m, std::size_t r, const RenderGrid<2>& g) {
        ImagePoint2D p;
        p.x = round_saturate<std::uint64_t>(axis_position(m(r, 0), g.axes[0]));
        p.y = round_saturate<std::uint64_t>(axis_position(m(r, 1), g.axes[1]));
        p.intensity = m(r, 2);
        p.value = Columns > 3 ? m(r, Columns - 1) : 0.0f;
        return p;
    }
    bool same_cell(const ImagePoint2D& o) const noexcept { return x == o.x && y == o.y; }
    bool inside(const RenderGrid<2>& g) const noexcept { return x < g.axes[0].n && y < g.axes[1].n; }
    std::uint64_t cell(const RenderGrid<2>& g) const noexcept { return x * g.axes[1].n + y; }
};

// Points of the image tracks of the density image (x, y, intensity) and of
// the value image (x, y, intensity, value).
using ImageTrackPoint2D = ImagePoint2D<3>;
using ImageTrackValuePoint2D = ImagePoint2D<4>;

// A track point on the 3D grid. Indices are signed: a coordinate below the
// grid stays negative and is outside. `value` is read only by the value image.
template <std::size_t Columns>
struct ImagePoint3D {
    static constexpr std::size_t columns = Columns;
    std::array<std::int32_t, 3> v;  // no initialisers: a buffer of points is written before it is read
    float intensity;
    float value;

    static ImagePoint3D from_row(const Matrix& m, std::size_t r, const Grid3D& g) {
        ImagePoint3D p;
        for (std::size_t a = 0; a < 3; ++a)
            p.v[a] = round_saturate<std::int32_t>(axis_position(m(r, a), g.axes[a]));
        p.intensity = m(r, 3);
        p.value = Columns > 4 ? m(r, Columns - 1) : 0.0f;
        return p;
    }
    bool same_cell(const ImagePoint3D& o) const noexcept { return v == o.v; }
    bool inside(const Grid3D& g) const noexcept {
        for (std::size_t a = 0; a < 3; ++a)
            if (v[a] < 0 || static_cast<std::uint64_t>(v[a]) >= g.axes[a].n) return false;
        return true;
    }
    std::uint64_t cell(const Grid3D& g) const noexcept {
        return (static_cast<std::uint64_t>(v[0]) * g.axes[1].n + static_cast<std::uint64_t>(v[1])) *
                   g.axes[2].n +
               static_cast<std::uint64_t>(v[2]);
    }
};

// Points of the 3D density image (x, y, z, intensity) and value image (+ value).
using ImageTrackPoint3D = ImagePoint3D<4>;
using ImageTrackValuePoint3D = ImagePoint3D<5>;

}  // namespace sonaloc
