// The edit-distance walk over the index: the engines, the one place that
// chooses among them (choose_engine), and the reporters.
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
// An index that passed the check (DerivedIndex::checked) is walked by the
// faster engines (sealed_walk.hpp, one_edit_walk.hpp), which read directly
// and give the same records in the same order. Any other index is walked by
// walk_checked() below, whose reads follow the
// children rule (Trie::children) and go through at(), in the order
// node_shifts[v], child_transitions[k], child_labels[c], is_terminal[c] (only
// when c's whole path is within the bound of the whole query, and only if the
// reporter asks), then node_shifts[c] on entering c; an inconsistent index
// therefore fails on the first bad read of that order.
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
#include "prefix/band.hpp"
#include "prefix/matcher.hpp"
#include "prefix/derived.hpp"
#include "prefix/one_edit_walk.hpp"
#include "prefix/recorder.hpp"
#include "prefix/sealed_walk.hpp"
#include "prefix/search_scheme.hpp"
#include "prefix/trie.hpp"
#include "text.hpp"

namespace quillmesh::walk {

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

// The checked walk (any index), with the rows of the path held as the
// diagonal band of the edit-distance table (Ukkonen 1985; see Band).
//
// It keeps its own stack (the depth is bounded by the term length plus the
// bound, both in the caller's hands), and stops as soon as the recorder's
// limit is reached. A node entered through its parent's last edge takes the
// parent's frame and row slot, since nothing is left to come back to: a
// long chain costs two rows, not one per level. A limit of 0 and a trie
// without nodes are the callers' business. The reporter may also have
// on_edges(count), told of every examined edge (a labelled child of an
// entered node): a statistics hook that costs nothing when absent.
template <class Reporter>
void walk_checked(const Trie& trie, std::u32string_view query, std::uint32_t bound, Recorder<Reporter>& recorder) {
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
        if constexpr (requires { recorder.reporter().on_edges(std::size_t{}); }) {
            recorder.reporter().on_edges(1);
        }
        if (top.spent && !rows.admits(slot, label)) {
            continue;
        }
        recorder.step();
        const std::uint32_t low = rows.step(slot, depth, label);
        if (low > bound) {
            continue;
        }
        if constexpr (Reporter::kSpellsPath) {
            path.push_back(label);
        }
        const std::uint32_t distance = rows.last();
        if (distance <= bound && recorder.note(child, distance, std::span<const char32_t>(path))) {
            return;
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

// The engines, and which one serves a query.
enum class Engine {
    kNothing,  // nothing can match: answered at once
    kChecked,  // walk_checked: every read through at(), in the documented order
    kBanded,   // SealedWalk (sealed_walk.hpp): direct reads, rows as the band or its levels
    kOneEdit,  // OneEditWalk (one_edit_walk.hpp): the edits of the query themselves
    kScheme,   // run_search_scheme (search_scheme.hpp): narrow forward and backward searches
};

// The one place an engine is chosen:
//
//   index                                  bound  term                engine
//   fails the check                        any    any                 kChecked (its IndexOutOfBounds must come)
//   checked tree                           any    longer than the     kNothing (no path is long enough)
//                                                 deepest path + bound
//   checked, children consecutive, in      1      any                 kOneEdit (fewest reads; falls back
//   label order, one-byte labels                                        to kBanded past its cursor budget)
//   checked tree with a reversed index,    2 ... 7  4 ... 4096        kScheme (two narrow searches instead of
//   terms only (no prefix nodes)                    code points          one broad walk; see scheme_applies)
//   checked                                other  any                 kBanded (falls back to kChecked past
//                                                                       its row budget)
//
// An engine that falls back has recorded nothing that stays (the recorder
// restarts), so every engine gives the records of walk_checked, in its order.
// (`terminals_only`: the reporter records_terminals_only.)
inline Engine choose_engine(const DerivedIndex& derived, std::size_t term_length, std::uint32_t bound,
                            bool terminals_only = false) {
    if (!derived.checked()) {
        return Engine::kChecked;
    }
    if (derived.tree() && term_length > derived.max_depth() + std::size_t{bound}) {
        return Engine::kNothing;
    }
    if (bound == 1 && one_edit_applies(derived)) {
        return Engine::kOneEdit;
    }
    if (terminals_only && scheme_applies(derived, term_length, bound)) {
        return Engine::kScheme;
    }
    return Engine::kBanded;
}

// Runs `engine` (and those it falls back to) on the index.
template <class Reporter>
void run_engine(Engine engine, const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
                Recorder<Reporter>& recorder) {
    if (engine == Engine::kNothing) {
        return;
    }
    if (engine == Engine::kScheme && scheme_applies(index.derived(), query.size(), bound) &&
        records_terminals_only(recorder.reporter())) {
        run_search_scheme(index, query, bound, recorder);
        return;
    }
    if (engine != Engine::kChecked) {
        const ScratchLease scratch;
        if (engine == Engine::kOneEdit && OneEditWalk<Reporter>(index, query, recorder, *scratch).run()) {
            return;
        }
        recorder.restart();
        if (SealedWalk<Reporter>(index, query, bound, recorder, *scratch).run()) {
            return;
        }
        recorder.restart();
    }
    walk_checked(index.trie(), query, bound, recorder);
}

// The walk of the index for a query: records, in depth-first pre-order
// (children in edge order), every node whose path lies within `bound` edits
// of the query and that the reporter takes, until `limit` are recorded.
template <class Reporter>
void walk_index(const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
                std::optional<std::uint32_t> limit, Reporter& reporter, Poll poll = {}) {
    bound = std::min(bound, kMaxBound);
    Recorder<Reporter> recorder(index.trie(), reporter, limit, poll);
    run_engine(choose_engine(index.derived(), query.size(), bound, records_terminals_only(reporter)), index, query,
               bound, recorder);
}

// Records terminal nodes with their spelled path.
struct TermReporter {
    static constexpr bool kSpellsPath = true;
    std::vector<MatchResult>& out;

    bool accepts(const Trie& trie, std::uint32_t node) const { return at(trie.is_terminal, node) != 0; }
    bool terminals_only() const { return true; }

    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t> path) {
        out.push_back(MatchResult{encode_utf8(std::u32string_view(path.data(), path.size())), node, distance});
    }

    void restart() { out.clear(); }
};

// Records nodes only; prefix nodes too unless terminal_only.
struct NodeReporter {
    static constexpr bool kSpellsPath = false;
    std::vector<NodeMatch>& out;
    bool terminal_only;

    bool accepts(const Trie& trie, std::uint32_t node) const { return takes(trie, node, terminal_only); }

    // The rule itself, for other reporters of node matches.
    static bool takes(const Trie& trie, std::uint32_t node, bool terminal_only) {
        return !terminal_only || at(trie.is_terminal, node) != 0;
    }
    bool terminals_only() const { return terminal_only; }

    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t>) {
        out.push_back(NodeMatch{node, distance});
    }

    void restart() { out.clear(); }
};

}  // namespace quillmesh::walk
