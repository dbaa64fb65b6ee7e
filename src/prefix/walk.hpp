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

// The band of the Levenshtein table that a bounded walk needs.
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

// The rows of the current path, kept in slots (one per frame of the walk's
// stack). Each slot holds a row of the band, then the length and the entries
// of the row's spent-label list (collect()). Storage grows with the number of
// slots the walk actually uses, never with the bound or the term length alone.
class BandedRows {
public:
    BandedRows(std::u32string_view query, std::uint32_t bound)
        : band_(query, bound),
          slot_size_(band_.stride() + 1 + band_.width()),
          max_rows_(band_.max_depth() + 1) {
        grow(std::min<std::size_t>(max_rows_, 64));
        band_.root(cells_.data());
        if (bound == 0) {
            collect(0, 0);
        }
    }

    // Computes, into slot + 1, the row of a child labelled `label` at depth + 1
    // from the row at depth held in `slot` (slot 0 holds the root's row).
    // Returns the row minimum (bound + 1 when nothing is within the bound);
    // last() then gives the distance to the whole query.
    std::uint32_t step(std::size_t slot, std::size_t depth, char32_t label) {
        if (depth + 1 <= band_.max_depth() && slot + 1 >= rows_) {
            grow(slot + 2);
        }
        return band_.step(cells_.data() + offsets_[slot], cells_.data() + offsets_[slot + 1], band_.geometry(depth),
                          label, last_);
    }

    // The cell (depth + 1, n) of the last step(): the distance between the
    // child's path and the whole query, or bound + 1 if that exceeds the bound.
    std::uint32_t last() const { return last_; }

    // The row in slot + 1 takes the place of the one in `slot`, which is no
    // longer needed (its node has no children left to try).
    void replace(std::size_t slot) { std::swap(offsets_[slot], offsets_[slot + 1]); }

    // For the row of depth `depth` in `slot`, whose minimum is the bound:
    // notes the labels a child needs to stay within the bound.
    void collect(std::size_t slot, std::size_t depth) {
        std::uint32_t* row = cells_.data() + offsets_[slot];
        row[band_.stride()] = static_cast<std::uint32_t>(band_.spent_labels(row, depth, row + band_.stride() + 1));
    }

    // Whether a child labelled `label` of the collected row in `slot` can be
    // within the bound at all.
    bool admits(std::size_t slot, char32_t label) const {
        const std::uint32_t* row = cells_.data() + offsets_[slot];
        return admitted(row + band_.stride() + 1, row[band_.stride()], label);
    }

private:
    // The rows along the path cost depth x band: a long term with a large
    // bound on a deep index could otherwise ask for gigabytes. Past the budget
    // the query is refused (ValueError) rather than left to exhaust memory.
    void grow(std::size_t needed) {
        const std::size_t budget_rows = std::max<std::size_t>(2, kRowBudgetBytes / (slot_size_ * sizeof(std::uint32_t)));
        if (needed > budget_rows) {
            refuse_rows(band_.n(), band_.bound());
        }
        const std::size_t rows = std::min({max_rows_, budget_rows, std::max(needed, 2 * rows_)});
        cells_.resize(rows * slot_size_);
        for (; rows_ < rows; ++rows_) {
            offsets_.push_back(rows_ * slot_size_);
        }
    }

    Band band_;
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
// and optionally on_edges(count), told of every examined edge (a labelled
// child of an entered node), and on_step(), called once per computed row:
// statistics hooks that cost nothing when absent. `path` holds the labels from the root's
// child to c, c's own label included; it is empty unless kSpellsPath.
// restart() forgets every record (the sealed walk gave up; see walk_trie).
//
// The checked walk keeps its own stack (the depth is bounded by the term length plus
// the bound, both in the caller's hands), and stops as soon as `limit`
// records have been made. A node entered through its parent's last edge
// takes the parent's frame and row slot, since nothing is left to come back
// to: a long chain costs two rows, not one per level. A limit of 0 and a
// trie without nodes are the callers' business.
template <class Reporter>
void walk_checked(const Trie& trie, std::u32string_view query, std::uint32_t bound,
                  std::optional<std::uint32_t> limit, Reporter& reporter) {
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
        if constexpr (requires { reporter.on_edges(std::size_t{}); }) {
            reporter.on_edges(1);
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

// The same walk on a sealed trie (Trie::sealed()), whose reads cannot fail:
// the sequences are read directly, and a node's children are tried all at
// once, before the walk goes down into the first of them. The rows of the
// children that stay within the bound wait side by side until each one's
// turn comes (a node is recorded when its turn comes, so the records come in
// the same pre-order), and the first reads of each waiting child are
// requested from memory while its siblings are still being tried.
//
// The rows of the waiting children can take more memory than the checked
// walk's rows of the path; past the same budget this walk gives up and
// returns false, and the caller repeats the query with the checked walk,
// which answers or refuses it as ever.
template <class Reporter>
class SealedWalk {
public:
    SealedWalk(const Trie& trie, std::u32string_view query, std::uint32_t bound, Reporter& reporter)
        : trie_(trie),
          band_(query, bound),
          reporter_(reporter),
          shifts_(trie.node_shifts.data()),
          targets_(trie.child_transitions.data()),
          labels_(trie.child_labels.data()),
          nodes_(trie.node_shifts.size()),
          edges_(trie.child_transitions.size()),
          stride_(band_.stride()),
          sorted_(trie.children_sorted()),
          spent_(band_.width()),
          cells_(stride_ * 64) {
        waiting_.reserve(256);
        frames_.reserve(64);
        if constexpr (Reporter::kSpellsPath) {
            path_.reserve(64);
        }
    }

    bool run(std::optional<std::uint32_t> limit) {
        band_.root(cells_.data());
        used_ = stride_;
        if (!expand(0, 0, 0, 0, stride_)) {
            return false;
        }
        std::size_t recorded = 0;
        while (!frames_.empty()) {
            Frame& top = frames_.back();
            if (top.next == top.end) {
                used_ = top.mark;
                waiting_.resize(top.first);
                frames_.pop_back();
                continue;
            }
            const Waiting w = waiting_[top.next++];
            const std::size_t depth = top.depth;
            if constexpr (Reporter::kSpellsPath) {
                path_.resize(depth - 1);
                path_.push_back(w.label);
            }
            if (w.last <= band_.bound() && reporter_.accepts(trie_, w.node)) {
                reporter_.record(w.node, w.last, std::span<const char32_t>(path_));
                if (limit && ++recorded >= *limit) {
                    return true;
                }
            }
            std::size_t row = w.row;
            std::size_t mark = used_;
            if (top.next == top.end) {
                // The frame's last child: nothing is left to come back to, so
                // the frame goes and the child's row moves down to where the
                // frame's rows began (a long chain costs one row, not one per
                // level).
                mark = top.mark;
                if (row != mark) {
                    std::copy_n(cells_.data() + row, stride_, cells_.data() + mark);
                    row = mark;
                }
                used_ = mark + stride_;
                waiting_.resize(top.first);
                frames_.pop_back();
            }
            if (!expand(w.node, depth, row, w.low, mark)) {
                return false;
            }
        }
        return true;
    }

private:
    // A spent row with at most this many labels, whose node has more than
    // kScanFanout children in ascending label order, looks its labels up.
    static constexpr std::size_t kInlineLabels = 8;
    static constexpr std::size_t kScanFanout = 8;

    struct Waiting {
        std::uint32_t node;
        char32_t label;
        std::uint32_t low;   // its row's minimum
        std::uint32_t last;  // its distance to the whole query, or bound + 1
        std::size_t row;     // offset of its row in cells_
    };
    struct Frame {
        std::size_t first;  // its waiting children: waiting_[first, end)
        std::size_t next;
        std::size_t end;
        std::size_t depth;  // of those children
        std::size_t mark;   // cells in use before its rows
    };

    // Tries the children of node v (at depth d, row at offset `row`, row
    // minimum `low`); those within the bound wait in a new frame whose rows
    // start at `mark`. False when the rows would pass the budget.
    bool expand(std::uint32_t v, std::size_t d, std::size_t row, std::uint32_t low, std::size_t mark) {
        const std::uint32_t* const targets = targets_;
        const char32_t* const labels = labels_;
        const std::size_t start = shifts_[v];
        const std::size_t end = v + 1 < nodes_ ? shifts_[v + 1] : edges_;
        if (start >= end) {
            used_ = mark;
            return true;
        }
        const std::size_t stride = stride_;
        const std::size_t room = used_ + (end - start) * stride;
        if (room > cells_.size()) {
            constexpr std::size_t max_cells = kRowBudgetBytes / sizeof(std::uint32_t);
            if (room > max_cells) {
                return false;
            }
            cells_.resize(std::min(max_cells, std::max(room, 2 * cells_.size())));
        }
        std::uint32_t* const cells = cells_.data();
        const std::uint32_t* const prev = cells + row;
        std::size_t used = used_;
        const std::size_t first = waiting_.size();
        const std::uint32_t bound = band_.bound();
        const typename Band::Step g = band_.geometry(d);

        auto try_child = [&](std::uint32_t c, char32_t label) {
            if constexpr (requires { reporter_.on_step(); }) {
                reporter_.on_step();
            }
            std::uint32_t last = 0;
            const std::uint32_t child_low = band_.step(prev, cells + used, g, label, last);
            if (child_low <= bound) {
                __builtin_prefetch(shifts_ + c);
                waiting_.push_back(Waiting{c, label, child_low, last, used});
                used += stride;
            }
        };

        if (low == bound) {
            // Spent: only children labelled with one of these can survive.
            std::uint32_t* const spent = spent_.data();
            const std::size_t count = band_.spent_labels(prev, d, spent);
            if (sorted_ && end - start > kScanFanout && count <= kInlineLabels) {
                // Children in ascending label order: look the few labels up
                // instead of reading every child's.
                if constexpr (requires { reporter_.on_edges(std::size_t{}); }) {
                    reporter_.on_edges(end - start - (labels[targets[start]] == U'\0' ? 1 : 0));
                }
                std::size_t found[kInlineLabels];
                std::size_t hits = 0;
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint32_t want = spent[i];
                    if (want == 0) {
                        continue;  // no child is labelled U+0000
                    }
                    std::size_t lo = start;
                    std::size_t hi = end;
                    while (lo < hi) {
                        const std::size_t mid = lo + (hi - lo) / 2;
                        if (static_cast<std::uint32_t>(labels[targets[mid]]) < want) {
                            lo = mid + 1;
                        } else {
                            hi = mid;
                        }
                    }
                    if (lo < end && static_cast<std::uint32_t>(labels[targets[lo]]) == want) {
                        // Keep edge order, once each.
                        std::size_t at = hits;
                        while (at > 0 && found[at - 1] > lo) {
                            --at;
                        }
                        if (at == 0 || found[at - 1] != lo) {
                            std::copy_backward(found + at, found + hits, found + hits + 1);
                            found[at] = lo;
                            ++hits;
                        }
                    }
                }
                for (std::size_t i = 0; i < hits; ++i) {
                    const std::uint32_t c = targets[found[i]];
                    try_child(c, labels[c]);
                }
            } else {
                for (std::size_t k = start; k < end; ++k) {
                    const std::uint32_t c = targets[k];
                    const char32_t label = labels[c];
                    if (label == U'\0') {
                        continue;
                    }
                    if constexpr (requires { reporter_.on_edges(std::size_t{}); }) {
                        reporter_.on_edges(1);
                    }
                    if (admitted(spent, count, label)) {
                        try_child(c, label);
                    }
                }
            }
        } else {
            for (std::size_t k = start; k < end; ++k) {
                const std::uint32_t c = targets[k];
                const char32_t label = labels[c];
                if (label == U'\0') {
                    continue;  // an unlabelled child is never entered
                }
                if constexpr (requires { reporter_.on_edges(std::size_t{}); }) {
                    reporter_.on_edges(1);
                }
                try_child(c, label);
            }
        }
        used_ = used;
        if (waiting_.size() > first) {
            frames_.push_back(Frame{first, first, waiting_.size(), d + 1, mark});
        } else {
            used_ = mark;
        }
        return true;
    }

    const Trie& trie_;
    const Band band_;
    Reporter& reporter_;
    const std::uint32_t* shifts_;
    const std::uint32_t* targets_;
    const char32_t* labels_;
    std::size_t nodes_;
    std::size_t edges_;
    std::size_t stride_;
    bool sorted_;
    std::vector<std::uint32_t> spent_;
    std::vector<std::uint32_t> cells_;
    std::size_t used_ = 0;
    std::vector<Waiting> waiting_;
    std::vector<Frame> frames_;
    std::vector<char32_t> path_;  // labels of depths 1 ... depth of the top frame
};

template <class Reporter>
bool walk_sealed(const Trie& trie, std::u32string_view query, std::uint32_t bound,
                 std::optional<std::uint32_t> limit, Reporter& reporter) {
    return SealedWalk<Reporter>(trie, query, bound, reporter).run(limit);
}

// The walk of the trie: the sealed walk when the trie is sealed and the
// query fits its budget, else the checked walk.
template <class Reporter>
void walk_trie(const Trie& trie, std::u32string_view query, std::uint32_t bound,
               std::optional<std::uint32_t> limit, Reporter& reporter) {
    bound = std::min(bound, kMaxBound);
    if (trie.sealed()) {
        if (walk_sealed(trie, query, bound, limit, reporter)) {
            return;
        }
        reporter.restart();
    }
    walk_checked(trie, query, bound, limit, reporter);
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

    void restart() { out.clear(); }
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

    void restart() { out.clear(); }
};

}  // namespace quillmesh::walk
