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
#include "core/view.hpp"

namespace sonaloc {

// Negative row ends describe no rows; they are refused before any row is read.
void check_track_ends(const IndexVector& ends);

// Cuts the matrix by the exclusive row ends: calls row(r) for the rows of each
// track in order and end_track() after each entry (also for empty tracks).
// The start of a track is the previous entry, also when that lies beyond the
// matrix or behind the start before it; rows beyond the matrix are cut off.
// A matrix with fewer than `columns` columns faults when a row is first read.
template <class Row, class EndTrack>
void cut_tracks(const Matrix& m, const IndexVector& ends, std::size_t columns, Row&& row,
                EndTrack&& end_track) {
    const std::size_t rows = m.size(0);
    std::size_t start = 0;
    for (std::size_t t = 0; t < ends.size(0); ++t) {
        const auto e = static_cast<std::size_t>(ends(t));  // non-negative (check_track_ends)
        const std::size_t stop = std::min(e, rows);
        if (start < stop) {
            (void)m.at(start, columns - 1);
            for (std::size_t r = start; r < stop; ++r) row(r);
        }
        end_track();
        start = e;
    }
}

// Tracks stored one after another: track t holds points[ends[t-1] .. ends[t]).
template <class P>
struct ImageTracks {
    std::vector<P> points;
    std::vector<std::size_t> ends;

    std::size_t size() const noexcept { return ends.size(); }
    std::span<const P> track(std::size_t t) const noexcept {
        const std::size_t b = t == 0 ? 0 : ends[t - 1];
        return {points.data() + b, ends[t] - b};
    }
};

// Cuts the matrix and converts every point to grid cells, keeping only the
// first point of each run of consecutive points in the same cell. Shared by
// 2D and 3D: P provides `columns`, `from_row(m, r, grid)` and `same_cell`.
template <class P, class Grid>
ImageTracks<P> image_tracks(const Matrix& m, const IndexVector& ends, const Grid& grid) {
    check_track_ends(ends);
    ImageTracks<P> out;
    out.ends.reserve(ends.size(0));
    std::size_t rows = 0, start = 0;
    for (std::size_t t = 0; t < ends.size(0); ++t) {
        const auto e = static_cast<std::size_t>(ends(t));
        rows += std::min(e, m.size(0)) - std::min({start, e, m.size(0)});
        start = e;
    }
    out.points.reserve(rows);
    std::size_t begin = 0;
    cut_tracks(
        m, ends, P::columns,
        [&](std::size_t r) {
            interrupt::check_every(r, std::size_t{1} << 16);
            const P p = P::from_row(m, r, grid);
            if (out.points.size() > begin && p.same_cell(out.points.back())) return;
            out.points.push_back(p);
        },
        [&] {
            out.ends.push_back(out.points.size());
            begin = out.points.size();
        });
    return out;
}

// A track point on the 2D grid. Indices are unsigned: a coordinate below the
// grid becomes cell 0. `value` is read only by the value image (Columns = 4).
template <std::size_t Columns>
struct ImagePoint2D {
    static constexpr std::size_t columns = Columns;
    std::uint64_t x = 0, y = 0;
    float intensity = 0.0f;
    float value = 0.0f;

    static ImagePoint2D from_row(const Matrix& m, std::size_t r, const RenderGrid<2>& g) {
        ImagePoint2D p;
        p.x = round_saturate<std::uint64_t>(axis_position(m(r, 0), g.axes[0]));
        p.y = round_saturate<std::uint64_t>(axis_position(m(r, 1), g.axes[1]));
        p.intensity = m(r, 2);
        if constexpr (Columns > 3) p.value = m(r, 3);
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
    std::array<std::int32_t, 3> v{};
    float intensity = 0.0f;
    float value = 0.0f;

    static ImagePoint3D from_row(const Matrix& m, std::size_t r, const Grid3D& g) {
        ImagePoint3D p;
        for (std::size_t a = 0; a < 3; ++a)
            p.v[a] = round_saturate<std::int32_t>(axis_position(m(r, a), g.axes[a]));
        p.intensity = m(r, 3);
        if constexpr (Columns > 4) p.value = m(r, 4);
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
