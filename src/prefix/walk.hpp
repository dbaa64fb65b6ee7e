// The edit-distance walk over the index: the engines, the one place that
// chooses among them (choose_engine), and the reporters.
//
// The walk goes depth-first from the root, children in edge order, and keeps
// the rows of the Levenshtein table along the current path, so that a node's
// row is shared by everything below it. A child whose row minimum
// exceeds the bound is cut off with its subtree: row minima never shrink with
// depth. That order is written once, in the follower (depth_first.hpp), with
// the rows as its strategy (BandedRows) and the reads of the index as its
// edge reader (edges.hpp).
// What happens at a node within the bound is up to the reporter (term matches
// spell the path; node matches do not), which is the only thing the two
// matchers do differently.
//
// An index that passed the check (DerivedIndex::checked) is walked by the
// faster engines (sealed_walk.hpp, one_edit_walk.hpp, or the follower with
// direct reads), which give the same records in the same order. Any other
// index is walked by walk_checked() below, the follower whose reads follow
// the children rule (Trie::children) and go through at(), in the order
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
#include "prefix/banded_rows.hpp"
#include "prefix/depth_first.hpp"
#include "prefix/derived.hpp"
#include "prefix/edges.hpp"
#include "prefix/levels.hpp"
#include "prefix/matcher.hpp"
#include "prefix/one_edit_walk.hpp"
#include "prefix/recorder.hpp"
#include "prefix/sealed_walk.hpp"
#include "prefix/search_scheme.hpp"
#include "prefix/trie.hpp"
#include "text.hpp"

namespace quillmesh::walk {

// The checked walk (any index): the follower with every read through at(),
// and the rows of the path held as the diagonal band of the edit-distance
// table (Ukkonen 1985; see Band). Its reads come in the order the top
// comment gives.
template <class Reporter>
void walk_checked(const Trie& trie, std::u32string_view query, std::uint32_t bound, Recorder<Reporter>& recorder) {
    BandedRows rows(query, bound);
    follow_depth_first(CheckedEdges{trie}, rows, bound, recorder);
}

// The same follower with direct reads, for a checked index.
template <class Reporter>
void walk_direct(const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
                 Recorder<Reporter>& recorder) {
    BandedRows rows(query, bound);
    follow_depth_first(DirectEdges(index.trie()), rows, bound, recorder);
}

// The engines, and which one serves a query.
enum class Engine {
    kNothing,  // nothing can match: answered at once
    kChecked,  // walk_checked: every read through at(), in the documented order
    kBanded,   // SealedWalk (sealed_walk.hpp): direct reads, rows as levels
    kOneEdit,  // OneEditWalk (one_edit_walk.hpp): the edits of the query themselves
    kScheme,   // run_search_scheme (search_scheme.hpp): narrow forward and backward searches
    kDirect,   // walk_direct: the follower with direct reads, rows as the band
};

// The one place an engine is chosen:
//
//   index                                  bound  term                engine
//   fails the check                        any    any                 kChecked (its IndexOutOfBounds must come)
//   checked tree                           any    longer than the     kNothing (no path is long enough)
//                                                 deepest path + bound
//   checked tree with a reversed index,    1 ... 7  4 ... 4096        kScheme (two narrow searches instead of
//   terms only (no prefix nodes)                    code points          one broad walk, no edit tried near the
//                                                                       root; see scheme_applies)
//   checked, children consecutive, in      1      any                 kOneEdit (fewest reads; falls back
//   label order, one-byte labels                                        to kBanded past its cursor budget)
//   checked                                <= 31  any                 kBanded (the band fits one word per
//                                                                       level; falls back to kDirect past
//                                                                       its row budget)
//   checked                                other  any                 kDirect
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
    if (terminals_only && scheme_applies(derived, term_length, bound)) {
        return Engine::kScheme;
    }
    if (bound == 1 && one_edit_applies(derived)) {
        return Engine::kOneEdit;
    }
    return Levels::fits(bound) ? Engine::kBanded : Engine::kDirect;
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
    if (engine == Engine::kChecked) {
        walk_checked(index.trie(), query, bound, recorder);
        return;
    }
    // kScheme gives way to kBanded wherever it cannot serve.
    if (engine != Engine::kDirect) {
        const ScratchLease scratch;
        if (engine == Engine::kOneEdit && OneEditWalk<Reporter>(index, query, recorder, *scratch).run()) {
            return;
        }
        recorder.restart();
        if (Levels::fits(bound) && SealedWalk<Reporter>(index, query, bound, recorder, *scratch).run()) {
            return;
        }
        recorder.restart();
    }
    walk_direct(index, query, bound, recorder);
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
        MatchResult& m = out.emplace_back();
        m.node = node;
        m.distance = distance;
        // A path of ASCII labels is its own UTF-8, a byte a label.
        char32_t any = 0;
        for (const char32_t c : path) {
            any |= c;
        }
        if (any < 0x80) {
            m.text.resize(path.size());
            std::copy(path.begin(), path.end(), m.text.begin());
        } else {
            m.text = encode_utf8(std::u32string_view(path.data(), path.size()));
        }
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
