// The band of the Levenshtein table that the bounded walks compute, and the
// limits they share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "failures.hpp"

namespace quillmesh::walk {

// Bounds above this behave as this one.
inline constexpr std::uint32_t kMaxBound = 65535;

// Most memory one query may use for the distance rows of its current path.
inline constexpr std::size_t kRowBudgetBytes = std::size_t{256} << 20;

// The band of the Levenshtein table that a bounded walk needs: the diagonal
// band of Ukkonen 1985 ("Algorithms for approximate string matching").
//
// Cell (d, j) is the distance between the first d labels of the path and the
// first j query code points; it is at least |d - j|, so only cells with
// |d - j| <= bound matter. Every cell saturates at bound + 1, which keeps all
// values at or below the bound exact (min and +1 commute with saturation) and
// lets cells outside the band read as bound + 1. Cells are 32 bits wide, so no
// term length or depth can make them wrap.
//
// A row of depth d stores the cells j = base(d) ... base(d) + width - 1, with
// width = min(n + 1, 2 * bound + 1), and one more cell that holds bound + 1
// just above the last live one (the next row reads it as the cell above its
// top): a row takes `stride` cells.
//
// A row whose minimum is exactly the bound has spent the whole budget: a
// child's cell can then only be within the bound by a match on the diagonal
// from a cell equal to the bound, so the child survives only if its label is
// one of the query code points at those cells (spent_labels()), and the
// children it rules out cost a comparison instead of a row.
class Band {
public:
    Band(std::u32string_view query, std::uint32_t bound)
        : query_(query),
          n_(query.size()),
          bound_(bound),
          cap_(bound + 1),
          width_(std::min<std::size_t>(n_ + 1, 2 * std::size_t{bound} + 1)),
          stride_(width_ + 1) {}

    std::size_t n() const { return n_; }
    std::uint32_t bound() const { return bound_; }
    std::size_t width() const { return width_; }
    std::size_t stride() const { return stride_; }
    // Deepest row that can hold a cell within the bound.
    std::size_t max_depth() const { return n_ + bound_; }

    // Writes the root's row (depth 0) at `row`.
    void root(std::uint32_t* row) const {
        const std::size_t hi = std::min<std::size_t>(n_, bound_);
        for (std::size_t j = 0; j <= hi; ++j) {
            row[j] = static_cast<std::uint32_t>(j);
        }
        row[hi + 1] = cap_;
    }

    // Where the cells of a row at depth + 1 lie, computed once for all the
    // children of a node at depth.
    struct Step {
        std::size_t lo;     // first live cell
        std::size_t hi;     // last live cell
        std::size_t pb;     // first stored cell of the parent's row
        std::size_t cb;     // first stored cell of the child's row
        std::uint32_t top;  // cell (depth + 1, 0) when lo is 0
        bool dead;          // deeper than n + bound: every cell exceeds the bound
    };
    Step geometry(std::size_t depth) const {
        const std::size_t e = depth + 1;
        Step g{};
        g.lo = e > bound_ ? e - bound_ : 0;
        g.dead = g.lo > n_;
        g.hi = std::min(n_, e + std::size_t{bound_});
        g.pb = base(depth);
        g.cb = base(e);
        g.top = static_cast<std::uint32_t>(std::min<std::size_t>(e, cap_));
        return g;
    }

    // Computes into `cur` the row of a child labelled `label` at depth + 1
    // from its parent's row `prev` at depth (g = geometry(depth)). Returns the
    // row minimum (bound + 1 when nothing is within the bound) and sets `last`
    // to the cell (depth + 1, n): the distance between the child's path and
    // the whole query, or bound + 1 if that exceeds the bound.
    std::uint32_t step(const std::uint32_t* prev, std::uint32_t* cur, const Step& g, char32_t label,
                       std::uint32_t& last) const {
        // Members are copied to locals: the stores into the rows could
        // otherwise alias them and force a reload per cell.
        const std::uint32_t cap = cap_;
        if (g.dead) {
            last = cap;
            return cap;
        }
        const std::size_t hi = g.hi;
        const char32_t* q = query_.data();
        prev -= g.pb;
        cur -= g.cb;
        std::uint32_t left = cap;
        std::uint32_t low = cap;
        std::size_t j = g.lo;
        if (j == 0) {
            left = g.top;
            cur[0] = left;
            low = left;
            j = 1;
        }
        for (; j <= hi; ++j) {
            // Only `left` carries from cell to cell; the rest is independent.
            const std::uint32_t up = prev[j] + 1;
            const std::uint32_t diag = prev[j - 1] + (q[j - 1] != label ? 1u : 0u);
            const std::uint32_t above = std::min(std::min(up, diag), cap);
            left = std::min(left + 1, above);
            cur[j] = left;
            low = std::min(low, left);
        }
        cur[hi + 1] = cap;
        last = hi == n_ ? cur[hi] : cap;
        return low;
    }

    // For a row at `depth` whose minimum is the bound: writes to `out` the
    // query code points q[i] whose cell i equals the bound, and returns how
    // many (at most width).
    std::size_t spent_labels(const std::uint32_t* row, std::size_t depth, std::uint32_t* out) const {
        const std::size_t lo = depth > bound_ ? depth - bound_ : 0;
        const std::size_t top = std::min(n_, depth + bound_ + 1);  // i < n
        const std::size_t b = base(depth);
        std::size_t count = 0;
        for (std::size_t i = lo; i < top; ++i) {
            out[count] = static_cast<std::uint32_t>(query_[i]);
            count += row[i - b] == bound_ ? 1 : 0;
        }
        return count;
    }

private:
    // First cell stored for row d: the band's low end, held back near the end
    // of the row so that the band always fits the row's width.
    std::size_t base(std::size_t d) const {
        const std::size_t lo = d > bound_ ? d - bound_ : 0;
        return std::min(lo, n_ + 1 - width_);
    }

    std::u32string_view query_;
    std::size_t n_;
    std::uint32_t bound_;
    std::uint32_t cap_;
    std::size_t width_;
    std::size_t stride_;
};

// Whether `label` is one of the `count` code points at `labels`.
inline bool admitted(const std::uint32_t* labels, std::size_t count, char32_t label) {
    for (std::size_t i = 0; i < count; ++i) {
        if (labels[i] == static_cast<std::uint32_t>(label)) {
            return true;
        }
    }
    return false;
}

// Refuses a query whose rows would pass the budget.
[[noreturn]] inline void refuse_rows(std::size_t n, std::uint32_t bound) {
    throw QueryError("the query needs more than " + std::to_string(kRowBudgetBytes >> 20) +
                     " MiB of distance rows on this index (a term of " + std::to_string(n) +
                     " code points with max_dist " + std::to_string(bound) +
                     "); use a shorter term or a smaller max_dist");
}

}  // namespace quillmesh::walk
