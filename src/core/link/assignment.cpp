#include "core/link/assignment.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace sonaloc {
namespace {

// All arithmetic on costs, distances and potentials is 128-bit. Costs reach
// 2^63 - 1 (an unbounded max_distance saturates U), the tie-break scaling
// below multiplies them by up to 2^31, and potentials move by at most one
// search distance (at most the scaled U) per row, fewer than 2^32 rows, so
// every value stays below 2^127.
using Wide = __int128;
constexpr Wide kInfinity = static_cast<Wide>((~static_cast<unsigned __int128>(0)) >> 1);
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

struct HeapEntry {
    Wide dist;
    std::size_t col;
    // std::push_heap builds a max-heap: invert so that the smallest distance,
    // then the smallest column (a pair before a private column), comes first.
    bool operator<(const HeapEntry& o) const noexcept {
        if (dist != o.dist) return dist > o.dist;
        return col > o.col;
    }
};

}  // namespace

std::vector<std::uint32_t> solve_assignment(const AdmissiblePairs& pairs, std::size_t cols,
                                            std::int64_t unmatched_cost) {
    const std::size_t rows = pairs.rows();
    std::vector<std::uint32_t> result(rows, kUnmatched);
    if (rows == 0 || cols == 0 || unmatched_cost <= 0) return result;
    // Frame-local indices are 32-bit; a frame that large could not be held.
    if (rows >= kUnmatched || cols >= kUnmatched) throw std::bad_alloc();

    // A row whose one usable pair leads to a column that no other row can use
    // is matched to it whatever the other rows do: its search could reach
    // nothing else, and its pair is cheaper than its private column. Such
    // pairs, most of them in sparse frames, are settled here, and the search
    // runs only for the rest (which never reaches them).
    std::vector<std::uint32_t> users(cols, 0);
    for (const AdmissiblePair& a : pairs.pairs)
        if (a.cost <= unmatched_cost && users[a.col] < 2) ++users[a.col];
    std::vector<unsigned char> alone(rows, 0);
    bool contested = false;
    for (std::size_t r = 0; r < rows; ++r) {
        std::size_t usable = 0, col = 0;
        for (std::size_t e = pairs.row_start[r]; e < pairs.row_start[r + 1]; ++e)
            if (pairs.pairs[e].cost <= unmatched_cost) {
                ++usable;
                col = pairs.pairs[e].col;
            }
        if (usable == 1 && users[col] == 1) {
            result[r] = static_cast<std::uint32_t>(col);
            alone[r] = 1;
        } else if (usable > 0) {
            contested = true;
        }
    }
    if (!contested) return result;

    // Scaled costs: pair w -> w * M, private column U -> U * M + 1, with M
    // above the number of rows. The scaled optimum is an optimum of the
    // original costs that leaves the fewest rows unmatched, so a pair costing
    // exactly U (a distance of exactly max_distance) is linked rather than
    // dropped. Beyond 2^31 rows the scaling is skipped to keep the bound.
    const Wide scale = rows < (std::size_t{1} << 31) ? static_cast<Wide>(rows) + 1 : 1;
    const Wide escape_cost = static_cast<Wide>(unmatched_cost) * scale + (scale > 1 ? 1 : 0);
    const Wide limit = static_cast<Wide>(unmatched_cost);

    // Columns 0 .. cols - 1 are the real ones, cols + i is row i's private one.
    const std::size_t total = cols + rows;
    std::vector<Wide> u(rows, 0), v(total, 0), dist(total, kInfinity);
    std::vector<std::size_t> col_of_row(rows, kNone), row_of_col(total, kNone), via(total, kNone);
    std::vector<unsigned char> done(total, 0);
    std::vector<std::size_t> touched, settled, reached_rows;
    std::vector<HeapEntry> heap;

    auto relax = [&](std::size_t j, Wide d, std::size_t from) {
        if (done[j] || !(d < dist[j])) return;
        if (dist[j] == kInfinity) touched.push_back(j);
        dist[j] = d;
        via[j] = from;
        heap.push_back({d, j});
        std::push_heap(heap.begin(), heap.end());
    };

    for (std::size_t start = 0; start < rows; ++start) {
        if (alone[start]) continue;
        const std::size_t b0 = pairs.row_start[start], e0 = pairs.row_start[start + 1];
        bool any = false;
        for (std::size_t e = b0; e < e0 && !any; ++e) any = pairs.pairs[e].cost <= unmatched_cost;
        if (!any) {
            // Nothing but the private column: no other row can ever reach it.
            col_of_row[start] = cols + start;
            row_of_col[cols + start] = start;
            continue;
        }

        Wide reach = 0;  // distance of the column settled last
        std::size_t i = start, sink = kNone;
        for (;;) {
            reached_rows.push_back(i);
            for (std::size_t e = pairs.row_start[i]; e < pairs.row_start[i + 1]; ++e) {
                const AdmissiblePair& a = pairs.pairs[e];
                if (a.cost > limit) continue;
                relax(a.col, reach + static_cast<Wide>(a.cost) * scale - u[i] - v[a.col], i);
            }
            const std::size_t own = cols + i;
            relax(own, reach + escape_cost - u[i] - v[own], i);

            // The start row's private column is always in the heap, so the
            // heap never runs dry before a free column is settled.
            std::size_t j;
            for (;;) {
                std::pop_heap(heap.begin(), heap.end());
                const HeapEntry top = heap.back();
                heap.pop_back();
                if (!done[top.col] && top.dist == dist[top.col]) {
                    j = top.col;
                    break;
                }
            }
            done[j] = 1;
            settled.push_back(j);
            reach = dist[j];
            if (row_of_col[j] == kNone) {
                sink = j;
                break;
            }
            i = row_of_col[j];
        }

        // Potentials keep every reduced cost non-negative and the matched
        // pairs tight.
        u[start] += reach;
        for (std::size_t k = 1; k < reached_rows.size(); ++k) {
            const std::size_t r = reached_rows[k];
            u[r] += reach - dist[col_of_row[r]];
        }
        for (std::size_t j : settled) v[j] -= reach - dist[j];

        // Flip the alternating path back to the start row.
        for (std::size_t j = sink;;) {
            const std::size_t r = via[j];
            row_of_col[j] = r;
            std::swap(col_of_row[r], j);
            if (r == start) break;
        }

        for (std::size_t j : touched) {
            dist[j] = kInfinity;
            done[j] = 0;
        }
        touched.clear();
        settled.clear();
        reached_rows.clear();
        heap.clear();
    }

    for (std::size_t r = 0; r < rows; ++r)
        if (col_of_row[r] < cols) result[r] = static_cast<std::uint32_t>(col_of_row[r]);
    return result;
}

}  // namespace sonaloc
