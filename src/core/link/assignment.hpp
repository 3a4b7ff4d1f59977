// Minimum-cost assignment of one frame pair's rows to its columns, where
// every row may also stay unmatched at a fixed cost.
//
// The problem is the one of the dense R x (C + R) matrix whose first C
// columns hold the admissible pair costs (every other entry forbidden) and
// whose column C + i is row i's private "unmatched" column of cost U. A
// forbidden entry is never part of an optimum when U > 0 (moving every row on
// a forbidden entry to its own private column is always cheaper), so only the
// admissible pairs and the private columns matter, and the matrix is never
// built: the solver works on the sparse list of admissible pairs.
// Method: shortest augmenting paths (Jonker-Volgenant) with Dijkstra on
// reduced costs, over a sparse cost list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace sonaloc {

struct AdmissiblePair {
    std::uint32_t col;
    std::int64_t cost;
};

// The admissible pairs of a frame pair, row by row: the pairs of row i are
// entries row_start[i] .. row_start[i + 1] - 1 of `pairs`.
struct AdmissiblePairs {
    std::vector<std::size_t> row_start{0};
    std::vector<AdmissiblePair> pairs;

    std::size_t rows() const noexcept { return row_start.size() - 1; }
    void add(std::uint32_t c, std::int64_t w) { pairs.push_back({c, w}); }
    void end_row() { row_start.push_back(pairs.size()); }
};

inline constexpr std::uint32_t kUnmatched = std::numeric_limits<std::uint32_t>::max();

// For every row, its column in [0, cols) or kUnmatched, such that the sum of
// the chosen pair costs plus `unmatched_cost` per unmatched row is minimal.
// Among the optima, one with the most pairs is returned. Requires
// unmatched_cost > 0 and cols < kUnmatched; pairs costing more than
// `unmatched_cost` are never chosen.
//
// Each row is added by a shortest augmenting path search (Dijkstra on reduced
// costs over the sparse pairs). A search never leaves the connected component
// of the admissible pairs that holds its row, and is bounded by the row's own
// private column, so a row with one uncontested pair costs one heap step and
// the work follows the size of the components, not R x C.
std::vector<std::uint32_t> solve_assignment(const AdmissiblePairs& pairs, std::size_t cols,
                                            std::int64_t unmatched_cost);

}  // namespace sonaloc
