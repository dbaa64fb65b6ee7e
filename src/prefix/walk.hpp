// The edit-distance walk over the trie, written once for both matchers.
//
// The walk goes depth-first from the root, children in edge order, and keeps
// the rows of the Levenshtein table along the current path, so that a node's
// row is shared by everything below it. A child whose row minimum
// exceeds the bound is cut off with its subtree: row minima never shrink with
// depth.
// What happens at a node within the bound is up to the reporter (term matches
// spell the path; node matches do not), which is the only thing the two
// matchers do differently.
//
// Reads of the trie follow the children rule (Trie::children) and go through
// at(), in the order node_shifts[v], child_transitions[k], child_labels[c],
// is_terminal[c] (only when c's whole path is within the bound of the whole
// query, and only if the reporter asks), then node_shifts[c] on
// entering c; an inconsistent index therefore fails on the first bad read
// of that order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "failures.hpp"
#include "prefix/matcher.hpp"
#include "prefix/trie.hpp"
#include "text.hpp"

namespace quillmesh::walk {

// Bounds above this behave as this one.
inline constexpr std::uint32_t kMaxBound = 65535;

// Most memory one query may use for the distance rows of its current path.
inline constexpr std::size_t kRowBudgetBytes = std::size_t{256} << 20;

// The rows of the current path, each reduced to the band of cells that can
// still be within the bound, kept in slots (one per frame of the walk's stack).
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
// top). Storage grows with the number of slots the walk actually uses, never
// with the bound or the term length alone.
//
// A row whose minimum is exactly the bound has spent the whole budget: a
// child's cell can then only be within the bound by a match on the diagonal
// from a cell equal to the bound, so the child survives only if its label is
// one of the query code points at those cells. Such a row keeps that short
// list beside it (admits()), and the children it rules out cost a few
// comparisons instead of a row.
class BandedRows {
public:
    BandedRows(std::u32string_view query, std::uint32_t bound)
        : query_(query),
          n_(query.size()),
          bound_(bound),
          cap_(bound + 1),
          width_(std::min<std::size_t>(n_ + 1, 2 * std::size_t{bound} + 1)),
          stride_(width_ + 1),
          slot_size_(stride_ + 1 + width_),
          max_rows_(n_ + bound + 1) {
        grow(std::min<std::size_t>(max_rows_, 64));
        const std::size_t hi = std::min<std::size_t>(n_, bound_);
        for (std::size_t j = 0; j <= hi; ++j) {
            cells_[j] = static_cast<std::uint32_t>(j);
        }
        cells_[hi + 1] = cap_;
        if (bound_ == 0) {
            collect(0, 0);
        }
    }

    // Computes, into slot + 1, the row of a child labelled `label` at depth + 1
    // from the row at depth held in `slot` (slot 0 holds the root's row).
    // Returns the row minimum (bound + 1 when nothing is within the bound);
    // last() then gives the distance to the whole query.
    std::uint32_t step(std::size_t slot, std::size_t depth, char32_t label) {
        // Members are copied to locals: the stores into the rows could
        // otherwise alias them and force a reload per cell.
        const std::size_t n = n_;
        const std::size_t bound = bound_;
        const std::uint32_t cap = cap_;
        const std::size_t e = depth + 1;
        const std::size_t lo = e > bound ? e - bound : 0;
        if (lo > n) {
            // Deeper than n + bound: every cell exceeds the bound.
            last_ = cap;
            return cap;
        }
        const std::size_t hi = std::min(n, e + bound);
        if (slot + 1 >= rows_) {
            grow(slot + 2);
        }
        const std::size_t pb = base(depth);
        const std::size_t cb = base(e);
        const std::uint32_t* prev = cells_.data() + offsets_[slot];
        std::uint32_t* cur = cells_.data() + offsets_[slot + 1];
        const char32_t* q = query_.data();

        std::uint32_t left = cap;
        std::uint32_t low = cap;
        std::size_t j = lo;
        if (lo == 0) {
            left = static_cast<std::uint32_t>(std::min<std::size_t>(e, cap));
            cur[0] = left;
            low = left;
            j = 1;
        }
        for (; j <= hi; ++j) {
            // Only `left` carries from cell to cell; the rest is independent.
            const std::uint32_t up = prev[j - pb] + 1;
            const std::uint32_t diag = prev[j - 1 - pb] + (q[j - 1] != label ? 1u : 0u);
            const std::uint32_t above = std::min(std::min(up, diag), cap);
            left = std::min(left + 1, above);
            cur[j - cb] = left;
            low = std::min(low, left);
        }
        cur[hi + 1 - cb] = cap;
        last_ = hi == n ? cur[n - cb] : cap;
        return low;
    }

    // The cell (depth + 1, n) of the last step(): the distance between the
    // child's path and the whole query, or bound + 1 if that exceeds the bound.
    std::uint32_t last() const { return last_; }

    // The row in slot + 1 takes the place of the one in `slot`, which is no
    // longer needed (its node has no children left to try).
    void replace(std::size_t slot) { std::swap(offsets_[slot], offsets_[slot + 1]); }

    // For the row of depth `depth` in `slot`, whose minimum is the bound:
    // notes the query code points q[i] with cell i equal to the bound.
    void collect(std::size_t slot, std::size_t depth) {
        std::uint32_t* row = cells_.data() + offsets_[slot];
        std::uint32_t* list = row + stride_ + 1;
        const std::size_t lo = depth > bound_ ? depth - bound_ : 0;
        const std::size_t top = std::min(n_, depth + bound_ + 1);  // i < n
        const std::size_t b = base(depth);
        std::uint32_t count = 0;
        for (std::size_t i = lo; i < top; ++i) {
            if (row[i - b] == bound_) {
                list[count++] = static_cast<std::uint32_t>(query_[i]);
            }
        }
        row[stride_] = count;
    }

    // Whether a child labelled `label` of the collected row in `slot` can be
    // within the bound at all.
    bool admits(std::size_t slot, char32_t label) const {
        const std::uint32_t* row = cells_.data() + offsets_[slot];
        const std::uint32_t* list = row + stride_ + 1;
        for (std::uint32_t i = 0, count = row[stride_]; i < count; ++i) {
            if (list[i] == static_cast<std::uint32_t>(label)) {
                return true;
            }
        }
        return false;
    }

private:
    // First cell stored for row d: the band's low end, held back near the end
    // of the row so that the band always fits the row's width.
    std::size_t base(std::size_t d) const {
        const std::size_t lo = d > bound_ ? d - bound_ : 0;
        return std::min(lo, n_ + 1 - width_);
    }

    // The rows along the path cost depth x band: a long term with a large
    // bound on a deep index could otherwise ask for gigabytes. Past the budget
    // the query is refused (ValueError) rather than left to exhaust memory.
    void grow(std::size_t needed) {
        const std::size_t budget_rows = std::max<std::size_t>(2, kRowBudgetBytes / (slot_size_ * sizeof(std::uint32_t)));
        if (needed > budget_rows) {
            throw QueryError("the query needs more than " + std::to_string(kRowBudgetBytes >> 20) +
                             " MiB of distance rows on this index (a term of " + std::to_string(n_) +
                             " code points with max_dist " + std::to_string(bound_) +
                             "); use a shorter term or a smaller max_dist");
        }
        const std::size_t rows = std::min({max_rows_, budget_rows, std::max(needed, 2 * rows_)});
        cells_.resize(rows * slot_size_);
        for (; rows_ < rows; ++rows_) {
            offsets_.push_back(rows_ * slot_size_);
        }
    }

    std::u32string_view query_;
    std::size_t n_;
    std::uint32_t bound_;
    std::uint32_t cap_;
    std::size_t width_;
    std::size_t stride_;
    std::size_t slot_size_;  // the row, the length of its list, the list
    std::size_t max_rows_;
    std::size_t rows_ = 0;
    std::vector<std::uint32_t> cells_;
    std::vector<std::size_t> offsets_;  // slot -> start of its row
    std::uint32_t last_ = 0;
};

// The walk of the trie. Reporter provides:
//   static constexpr bool kSpellsPath;      keep the labels of the path
//   bool accepts(const Trie&, uint32_t c);  may c be recorded (c is within the bound)
//   void record(uint32_t c, uint32_t distance, std::span<const char32_t> path);
// and optionally on_edge(), called once per examined edge (a labelled child
// of an entered node), and on_step(), once per computed row: statistics hooks
// that cost nothing when absent. `path` holds the labels from the root's
// child to c, c's own label included; it is empty unless kSpellsPath.
//
// The walk keeps its own stack (the depth is bounded by the term length plus
// the bound, both in the caller's hands), and stops as soon as `limit`
// records have been made. A node entered through its parent's last edge
// takes the parent's frame and row slot, since nothing is left to come back
// to: a long chain costs two rows, not one per level. A limit of 0 and a
// trie without nodes are the callers' business.
template <class Reporter>
void walk_trie(const Trie& trie, std::u32string_view query, std::uint32_t bound,
               std::optional<std::uint32_t> limit, Reporter& reporter) {
    bound = std::min(bound, kMaxBound);
    struct Frame {
        std::size_t next;  // next edge position to try
        std::size_t end;
        std::size_t depth;  // of the node whose edges these are
        bool spent;         // its row's minimum is the bound (see BandedRows)
    };
    BandedRows rows(query, bound);
    std::vector<Frame> stack;
    std::vector<char32_t> path;  // labels of depths 1 ... depth of the top frame
    stack.reserve(64);
    if constexpr (Reporter::kSpellsPath) {
        path.reserve(64);
    }
    std::size_t recorded = 0;

    const EdgeRange root = trie.children(0);
    stack.push_back(Frame{root.start, root.end, 0, bound == 0});
    while (!stack.empty()) {
        const std::size_t slot = stack.size() - 1;
        Frame& top = stack.back();
        if (top.next >= top.end) {
            stack.pop_back();
            if constexpr (Reporter::kSpellsPath) {
                if (!stack.empty()) {
                    path.resize(stack.back().depth);
                }
            }
            continue;
        }
        const std::size_t depth = top.depth;
        const std::size_t k = top.next++;
        const std::uint32_t child = at(trie.child_transitions, k);
        const char32_t label = at(trie.child_labels, child);
        if (label == U'\0') {
            continue;  // an unlabelled child is never entered
        }
        if constexpr (requires { reporter.on_edge(); }) {
            reporter.on_edge();
        }
        if (top.spent && !rows.admits(slot, label)) {
            continue;
        }
        if constexpr (requires { reporter.on_step(); }) {
            reporter.on_step();
        }
        const std::uint32_t low = rows.step(slot, depth, label);
        if (low > bound) {
            continue;
        }
        if constexpr (Reporter::kSpellsPath) {
            path.push_back(label);
        }
        const std::uint32_t distance = rows.last();
        if (distance <= bound && reporter.accepts(trie, child)) {
            reporter.record(child, distance, std::span<const char32_t>(path));
            if (limit && ++recorded >= *limit) {
                return;
            }
        }
        const EdgeRange range = trie.children(child);
        std::size_t child_slot = slot + 1;
        if (top.next >= top.end) {
            rows.replace(slot);
            child_slot = slot;
            top = Frame{range.start, range.end, depth + 1, low == bound};
        } else {
            stack.push_back(Frame{range.start, range.end, depth + 1, low == bound});
        }
        if (low == bound && !range.empty()) {
            rows.collect(child_slot, depth + 1);
        }
    }
}

// Records terminal nodes with their spelled path.
struct TermReporter {
    static constexpr bool kSpellsPath = true;
    std::vector<MatchResult>& out;

    bool accepts(const Trie& trie, std::uint32_t node) const { return at(trie.is_terminal, node) != 0; }

    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t> path) {
        std::size_t bytes = 0;
        for (char32_t c : path) {
            bytes += utf8_width(c);
        }
        std::string text;
        text.reserve(bytes);
        for (char32_t c : path) {
            append_utf8(text, c);
        }
        out.push_back(MatchResult{std::move(text), node, distance});
    }
};

// Records nodes only; prefix nodes too unless terminal_only.
struct NodeReporter {
    static constexpr bool kSpellsPath = false;
    std::vector<NodeMatch>& out;
    bool terminal_only;

    bool accepts(const Trie& trie, std::uint32_t node) const {
        return !terminal_only || at(trie.is_terminal, node) != 0;
    }

    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t>) {
        out.push_back(NodeMatch{node, distance});
    }
};

}  // namespace quillmesh::walk
