// The search-scheme engine: the terms within the bound of a query, found
// through two narrow searches instead of one broad walk.
//
// The forward-backward method (Mihov & Schulz 2004, "Fast approximate search
// in large dictionaries"), as a pair of search schemes (Kucherov, Salikhov &
// Tsur 2016, "Approximate string matching using a bidirectional index"): the
// query is split into a head and a tail. Along an alignment of a term with
// the query, let the head's cost be what the alignment has spent by the time
// it leaves the head's last column (gaps right after the head included).
// Either the head costs at most U, or the tail costs at most V, whenever
// U + V >= bound - 1 (the step between the two costs at most 1). So:
//   - the forward search walks the trie with the head's columns capped at U,
//     then the tail's at the bound;
//   - the backward search walks the trie of reversed terms (ReversedIndex)
//     with the reversed tail's columns capped at V (and the step into the
//     head too), then the head's at the bound.
// Each search spends its first steps where the trie is narrow, on paths that
// are (almost) exact. A capped cell is never below the true distance, and
// the best alignment of every term within the bound passes the caps of one
// search, so the least of the distances found for a term is its distance.
//
// The terms of both searches are put in walk order by their pre-order rank
// and only then recorded, so the limit keeps the forward walk's first L: the
// answer is the forward walk's, record for record. That needs an index whose
// every node has one path from the root (DerivedIndex::reversed() exists only
// for such), and a reporter that takes exactly the terminal nodes
// (records_terminals_only): prefix nodes are not found by the backward
// search, so node matches with prefixes keep the forward walks.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/derived.hpp"
#include "prefix/edges.hpp"
#include "prefix/label_search.hpp"
#include "prefix/recorder.hpp"
#include "prefix/reversed_index.hpp"
#include "prefix/trie.hpp"

namespace quillmesh::walk {

// Bounds the engine takes (its cells are one byte; the band 2 * bound + 1).
// At bound 1 both caps are 0: the head is followed exactly, then the tail
// with the one edit, and the other way round in the reversed terms, so no
// edit is tried near the root, where nodes have the most children.
inline constexpr std::uint32_t kMinSchemeBound = 1;
inline constexpr std::uint32_t kMaxSchemeBound = 7;
// Shortest and longest query it takes, in code points. Below 4 the head is
// too short to narrow anything: on the word list the forward walk is faster.
inline constexpr std::size_t kMinSchemeQuery = 4;
inline constexpr std::size_t kMaxSchemeQuery = 4096;

// Whether the engine can answer a query of `n` code points at `bound` on the
// index (choose_engine asks this, and run_engine again before it runs it).
inline bool scheme_applies(const DerivedIndex& derived, std::size_t n, std::uint32_t bound) {
    return derived.reversed() != nullptr && bound >= kMinSchemeBound && bound <= kMaxSchemeBound &&
           n >= kMinSchemeQuery && n <= kMaxSchemeQuery;
}

// Whether the reporter takes exactly the terminal nodes; one that does not
// say so is taken not to.
template <class Reporter>
bool records_terminals_only(const Reporter& reporter) {
    if constexpr (requires { reporter.terminals_only(); }) {
        return reporter.terminals_only();
    } else {
        return false;
    }
}

namespace scheme {

// Columns are addressed with this offset, so that the band may reach past
// both ends of the query (cells there are dead).
inline constexpr std::ptrdiff_t kPad = 2 * kMaxSchemeBound + 2;
inline constexpr std::uint32_t kNoCodePoint = 0xFFFFFFFFu;

// The Levenshtein band (see Band in band.hpp: the same cells, saturated at
// bound + 1) of one search, with a cap per column. Cell (d, j) of a row at
// depth d is stored at j - d + K; a cell above its column's cap is dead
// (K + 1). `lim` holds cap + 1 per column and `entry` the same for a cell's
// value reached from its left or diagonal neighbour (the step into a column,
// which the backward search caps apart from the gaps that follow it);
// columns outside the query have 0 for both.
template <std::uint32_t K>
class CappedBand {
public:
    static constexpr std::size_t kWidth = 2 * K + 1;
    static constexpr std::uint8_t kDead = K + 1;
    using Row = std::array<std::uint8_t, kWidth + 1>;  // one dead cell past the band

    // `query` in the order of the walk; the first `head` columns (1 ... head
    // for the forward search, whose column 0 goes with them too; 0 ... head
    // - 1 for the backward one) capped at `head_cap`, the rest at K.
    CappedBand(std::u32string_view query, std::size_t head, std::uint8_t head_cap, bool forward)
        : n_(query.size()),
          q_(query.size() + 2 * kPad, kNoCodePoint),
          lim_(query.size() + 2 * kPad, 0),
          entry_(query.size() + 2 * kPad, 0) {
        for (std::size_t i = 0; i < n_; ++i) {
            q_[kPad + i] = static_cast<std::uint32_t>(query[i]);
        }
        for (std::size_t j = 0; j <= n_; ++j) {
            const bool in_head = forward ? j <= head : j < head;
            lim_[kPad + j] = static_cast<std::uint8_t>((in_head ? head_cap : K) + 1);
            entry_[kPad + j] = lim_[kPad + j];
        }
        if (!forward) {
            entry_[kPad + head] = static_cast<std::uint8_t>(head_cap + 1);
        }
    }

    void root(Row& row) const {
        std::uint8_t left = kDead;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(K);
            std::uint8_t v = kDead;
            if (j == 0) {
                v = 0;
            } else if (j > 0) {
                const std::uint8_t h = static_cast<std::uint8_t>(left + 1);
                v = h >= entry_[kPad + j] || h >= lim_[kPad + j] ? kDead : h;
            }
            row[i] = v;
            left = v;
        }
        row[kWidth] = kDead;
    }

    // The row of a child labelled `label` at depth + 1 into `cur`, from its
    // parent's `prev`. Returns whether some cell is alive; `last` is the
    // distance to the whole query (kDead above the bound).
    bool step(const Row& prev, Row& cur, std::size_t depth, std::uint32_t label, std::uint8_t& last) const {
        return step_row<true>(prev, cur, depth, label, last);
    }
    // The same for every label outside window(depth): all of them give one
    // row, since none matches a column of the band.
    bool step_unmatched(const Row& prev, Row& cur, std::size_t depth, std::uint8_t& last) const {
        return step_row<false>(prev, cur, depth, 0, last);
    }

    // The byte labels that match some column of the band on the step from
    // `depth` to depth + 1 (other labels can only mismatch there).
    struct Window {
        std::array<std::uint64_t, 4> bits{};
        bool has(std::uint8_t label) const { return (bits[label / 64] >> (label % 64) & 1) != 0; }
    };
    Window window(std::size_t depth) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth + 1) - static_cast<std::ptrdiff_t>(K);
        const std::uint32_t* q = q_.data() + kPad + base - 1;
        Window w;
        for (std::size_t i = 0; i < kWidth; ++i) {
            if (q[i] < 0x100) {
                w.bits[q[i] / 64] |= std::uint64_t{1} << (q[i] % 64);
            }
        }
        return w;
    }

    // For the row of a node at `depth`: when no child can keep a cell alive
    // but by matching a query code point on the diagonal, writes those code
    // points (distinct, byte labels only: no other is a child's label) to
    // `out` and returns how many; else returns -1.
    int exact_labels(const Row& row, std::size_t depth, std::array<std::uint8_t, kWidth>& out) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth) - static_cast<std::ptrdiff_t>(K);
        int count = 0;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::uint8_t v = row[i];
            if (v >= kDead) {
                continue;
            }
            const std::ptrdiff_t at = kPad + base + static_cast<std::ptrdiff_t>(i);
            const std::uint8_t after = static_cast<std::uint8_t>(v + 1);
            if (after < lim_[at] || after < std::min(lim_[at + 1], entry_[at + 1])) {
                return -1;
            }
            const std::uint32_t c = q_[at];
            bool seen = !byte_label(c);
            for (int m = 0; m < count; ++m) {
                seen = seen || out[static_cast<std::size_t>(m)] == c;
            }
            if (!seen) {
                out[count++] = static_cast<std::uint8_t>(c);
            }
        }
        return count;
    }

private:
    template <bool kMatch>
    bool step_row(const Row& prev, Row& cur, std::size_t depth, std::uint32_t label, std::uint8_t& last) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth + 1) - static_cast<std::ptrdiff_t>(K);
        const std::uint8_t* lim = lim_.data() + kPad + base;
        const std::uint8_t* entry = entry_.data() + kPad + base;
        const std::uint32_t* q = q_.data() + kPad + base - 1;  // q[i]: the code point before column base + i
        std::uint8_t left = kDead;
        std::uint8_t low = kDead;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::uint8_t up = static_cast<std::uint8_t>(prev[i + 1] + 1);
            const std::uint8_t diag = static_cast<std::uint8_t>(prev[i] + (!kMatch || q[i] != label ? 1 : 0));
            std::uint8_t h = std::min<std::uint8_t>(diag, static_cast<std::uint8_t>(left + 1));
            h = h >= entry[i] ? kDead : h;
            std::uint8_t v = std::min(h, up);
            v = v >= lim[i] ? kDead : v;
            cur[i] = v;
            left = v;
            low = std::min(low, v);
        }
        cur[kWidth] = kDead;
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(n_) - base;
        last = end >= 0 && end < static_cast<std::ptrdiff_t>(kWidth) ? cur[static_cast<std::size_t>(end)] : kDead;
        return low < kDead;
    }

    std::size_t n_;
    std::vector<std::uint32_t> q_;
    std::vector<std::uint8_t> lim_;
    std::vector<std::uint8_t> entry_;
};

// The forward trie as the searches read it: direct reads (the index is
// checked), with the children rule of DirectEdges.
struct ForwardView {
    const Trie& trie;
    DirectEdges edges;
    const std::uint8_t* labels;  // per edge (DerivedIndex::edge_labels)
    // With consecutive children (DerivedIndex::children_consecutive) the
    // child at edge k follows from the node's first child: one read per
    // node instead of one per edge; with edges in node order
    // (DerivedIndex::edges_in_node_order) it is k + 1, and no edge is read.
    bool consecutive;
    bool node_order;

    void prefetch_node(std::uint32_t v) const { __builtin_prefetch(edges.shifts() + v); }
    std::size_t begin(std::uint32_t v) const { return edges.start(v); }
    std::size_t end(std::uint32_t v) const { return edges.end(v); }
    // A node's labels from edge k on, and what its children's step reads
    // first: their edges, or with edges in node order their own shifts
    // (the children are the nodes k + 1 on, side by side), so that a level
    // waits on one read instead of two.
    void prefetch_edges(std::size_t k) const {
        __builtin_prefetch(labels + k);
        __builtin_prefetch(node_order ? edges.shifts() + k + 1 : edges.targets() + k);
    }
    std::uint32_t first_child(std::size_t start) const {
        return node_order ? static_cast<std::uint32_t>(start + 1) : edges.child(start);
    }
    std::uint32_t child(std::uint32_t first, std::size_t start, std::size_t k) const {
        return consecutive ? first + static_cast<std::uint32_t>(k - start) : edges.child(k);
    }
    void prefetch_term(std::uint32_t c) const { __builtin_prefetch(trie.is_terminal.data() + c); }
    bool term_ends(std::uint32_t c) const { return trie.is_terminal[c] != 0; }
};

// The trie of reversed terms: children are consecutive, an edge is its child.
struct BackwardView {
    const ReversedIndex& index;
    const std::uint8_t* labels;  // per node, so per edge

    void prefetch_node(std::uint32_t v) const { index.prefetch_children(v); }
    std::size_t begin(std::uint32_t v) const { return index.children_begin(v); }
    std::size_t end(std::uint32_t v) const { return index.children_end(v); }
    // The children's labels and their own children's range (the nodes k on).
    void prefetch_edges(std::size_t k) const {
        __builtin_prefetch(labels + k);
        index.prefetch_children(static_cast<std::uint32_t>(k));
    }
    std::uint32_t first_child(std::size_t start) const { return static_cast<std::uint32_t>(start); }
    std::uint32_t child(std::uint32_t, std::size_t, std::size_t k) const { return static_cast<std::uint32_t>(k); }
    void prefetch_term(std::uint32_t) const {}
    bool term_ends(std::uint32_t c) const { return index.term_ends(c); }
};

// A node within the bound where a term may end, before the rank is known.
struct Candidate {
    std::uint32_t node;  // forward node, or reversed node until resolved
    std::uint32_t distance;
    std::uint32_t trail;  // its record in Finds::trail
    bool forward;
};

struct Found {
    std::uint32_t rank;
    std::uint32_t node;
    std::uint32_t distance;
    std::uint32_t trail;
    bool forward;
};

// The labels of the paths walked: each record names its parent's record.
struct TrailStep {
    std::uint32_t parent;
    std::uint8_t label;
};

struct Finds {
    std::vector<Candidate> candidates;
    std::vector<Found> found;
    std::vector<TrailStep> trail;  // record 0: the root
};

// One search over `view` with the capped band, noting every node within the
// bound (terms are told apart afterwards, see resolve). The order of the
// notes does not matter (they are put in walk order at the end), so the
// search goes level by level, and each level asks memory for all of its
// nodes, then for all of their children, before it reads any: the misses of
// one level overlap instead of queueing. A node's children are tried in
// whatever order is cheapest: by looking up the only labels that can
// survive, when there are such.
template <std::uint32_t K, class View, bool kForward, class Steps>
void search(const View& view, const CappedBand<K>& band, Finds& finds, Steps& steps) {
    using Band = CappedBand<K>;
    using Row = typename Band::Row;
    struct Pending {
        std::uint32_t node;
        std::uint32_t trail;
        std::uint32_t start;
        std::uint32_t end;
        Row row;
    };
    std::vector<Pending> level;
    std::vector<Pending> next;
    level.reserve(64);
    next.reserve(64);

    Pending root{0, 0, 0, 0, {}};
    band.root(root.row);
    level.push_back(root);
    // A child alive with `row`; `last` its distance to the whole query.
    const auto add_child = [&](const Pending& parent, std::uint32_t first, std::size_t k, std::uint8_t label,
                               const Row& row, std::uint8_t last) {
        Pending child;
        child.row = row;
        child.node = view.child(first, parent.start, k);
        child.trail = static_cast<std::uint32_t>(finds.trail.size());
        finds.trail.push_back(TrailStep{parent.trail, label});
        if (last <= K) {
            finds.candidates.push_back(Candidate{child.node, last, child.trail, kForward});
        }
        view.prefetch_node(child.node);  // in flight while the level goes on
        next.push_back(child);
    };
    const auto try_child = [&](const Pending& parent, std::uint32_t first, std::size_t depth, std::size_t k,
                               std::uint8_t label) {
        steps.step();
        Row row;
        std::uint8_t last = Band::kDead;
        if (band.step(parent.row, row, depth, label, last)) {
            add_child(parent, first, k, label, row, last);
        }
    };
    for (std::size_t depth = 0; !level.empty(); ++depth) {
        for (const Pending& p : level) {
            view.prefetch_node(p.node);
        }
        for (Pending& p : level) {
            const std::size_t start = view.begin(p.node);
            const std::size_t end = view.end(p.node);
            p.start = static_cast<std::uint32_t>(start);
            p.end = static_cast<std::uint32_t>(start < end ? end : start);
            if (start < end) {
                view.prefetch_edges(start);
            }
        }
        next.clear();
        const typename Band::Window window = band.window(depth);
        for (const Pending& p : level) {
            if (p.start >= p.end) {
                continue;
            }
            const std::uint32_t first = view.first_child(p.start);
            // A node of one or two children is cheaper to scan than to ask
            // which labels it needs.
            std::array<std::uint8_t, Band::kWidth> wanted;
            const int count = p.end - p.start <= 2 ? -1 : band.exact_labels(p.row, depth, wanted);
            if (count >= 0 && static_cast<std::size_t>(count) < p.end - p.start) {
                for (int i = 0; i < count; ++i) {
                    const std::uint8_t label = wanted[static_cast<std::size_t>(i)];
                    const std::size_t k = find_label(view.labels, p.start, p.end, label);
                    if (k < p.end) {
                        try_child(p, first, depth, k, label);
                    }
                }
                continue;
            }
            // Every child whose label matches no column of the band gets the
            // same row: computed once for the node, on its first such child.
            Row unmatched;
            std::uint8_t unmatched_last = Band::kDead;
            int unmatched_alive = -1;  // not computed yet
            for (std::size_t k = p.start; k < p.end; ++k) {
                const std::uint8_t label = view.labels[k];
                if (!entered(label)) {
                    continue;
                }
                if (window.has(label)) {
                    try_child(p, first, depth, k, label);
                    continue;
                }
                steps.step();
                if (unmatched_alive < 0) {
                    unmatched_alive = band.step_unmatched(p.row, unmatched, depth, unmatched_last) ? 1 : 0;
                }
                if (unmatched_alive != 0) {
                    add_child(p, first, k, label, unmatched, unmatched_last);
                }
            }
        }
        std::swap(level, next);
    }
}

// Keeps the candidates where a term ends, with the forward node and walk
// rank of each; in passes, so that the reads of one pass are all in flight
// at once.
inline void resolve(const ForwardView& forward, const BackwardView& backward, Finds& finds) {
    const ReversedIndex& index = backward.index;
    std::vector<Candidate>& c = finds.candidates;
    for (const Candidate& x : c) {
        if (x.forward) {
            forward.prefetch_term(x.node);
        }
    }
    std::size_t kept = 0;
    for (const Candidate& x : c) {
        if (x.forward ? forward.term_ends(x.node) : backward.term_ends(x.node)) {
            c[kept++] = x;
        }
    }
    c.resize(kept);
    for (const Candidate& x : c) {
        if (!x.forward) {
            index.prefetch_term_node(x.node);
        }
    }
    for (Candidate& x : c) {
        if (!x.forward) {
            x.node = index.term_node(x.node);
        }
        index.prefetch_walk_rank(x.node);
    }
    finds.found.reserve(c.size());
    for (const Candidate& x : c) {
        finds.found.push_back(Found{index.walk_rank(x.node), x.node, x.distance, x.trail, x.forward});
    }
}

// Where the query splits into head and tail. At bound 2 a head of (n + 1) / 2
// code points up to 12 makes a third fewer steps than n / 2 at odd lengths
// on the word list (the forward search's one early error then ends a column
// later, and the backward search is hardly wider); past 12 the halves are as
// good.
template <std::uint32_t K>
std::size_t head_length(std::size_t n) {
    return K == 2 && n <= 12 ? (n + 1) / 2 : n / 2;
}

// Both searches of the scheme, then the terms in walk order, each once at
// its least distance.
template <std::uint32_t K, class Steps>
void search_both(const SearchIndex& index, std::u32string_view query, Finds& finds, Steps& steps) {
    // Head and tail caps: U + V = K - 1, the forward search taking the larger.
    // (Measured on the word list: the forward search spends the larger cap
    // more cheaply than the backward one, and moving the split a column
    // either way changes little.)
    constexpr std::uint8_t kTailCap = (K - 1) / 2;
    constexpr std::uint8_t kHeadCap = K - 1 - kTailCap;
    const std::size_t n = query.size();
    const std::size_t head = head_length<K>(n);
    const DerivedIndex& derived = index.derived();
    const ForwardView forward{index.trie(), DirectEdges(index.trie()), derived.edge_labels().data(),
                              derived.children_consecutive(), derived.edges_in_node_order()};
    const ReversedIndex& reversed = *derived.reversed();
    const BackwardView backward{reversed, reversed.labels()};
    finds.trail.push_back(TrailStep{0, 0});
    {
        const CappedBand<K> band(query, head, kHeadCap, true);
        search<K, ForwardView, true>(forward, band, finds, steps);
    }
    {
        const std::u32string backwards(query.rbegin(), query.rend());
        const CappedBand<K> band(backwards, n - head, kTailCap, false);
        search<K, BackwardView, false>(backward, band, finds, steps);
    }
    resolve(forward, backward, finds);
    std::vector<Found>& found = finds.found;
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.distance < b.distance;
    });
    found.erase(std::unique(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.rank == b.rank; }),
                found.end());
}

template <class Steps>
void search_any(const SearchIndex& index, std::u32string_view query, std::uint32_t bound, Finds& finds,
                Steps& steps) {
    static_assert(kMinSchemeBound == 1 && kMaxSchemeBound == 7);
    switch (bound) {
        case 1:
            return search_both<1>(index, query, finds, steps);
        case 2:
            return search_both<2>(index, query, finds, steps);
        case 3:
            return search_both<3>(index, query, finds, steps);
        case 4:
            return search_both<4>(index, query, finds, steps);
        case 5:
            return search_both<5>(index, query, finds, steps);
        case 6:
            return search_both<6>(index, query, finds, steps);
        default:
            return search_both<7>(index, query, finds, steps);
    }
}

}  // namespace scheme

// Runs the engine: records, through the recorder, the terminal nodes within
// `bound` of `query` in walk order until the limit. The index and bound must
// pass scheme_applies and the reporter records_terminals_only.
template <class Reporter>
void run_search_scheme(const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
                       Recorder<Reporter>& recorder) {
    scheme::Finds finds;
    // Room for a typical query's paths and candidates, so that they do not
    // grow step by step.
    finds.trail.reserve(4096);
    finds.candidates.reserve(512);
    scheme::search_any(index, query, bound, finds, recorder);
    std::vector<char32_t> path;
    for (const scheme::Found& f : finds.found) {
        if constexpr (Reporter::kSpellsPath) {
            // The trail runs from the node up: the term's labels last first
            // on a forward path, first first on a reversed one.
            path.clear();
            for (std::uint32_t at = f.trail; at != 0; at = finds.trail[at].parent) {
                path.push_back(finds.trail[at].label);
            }
            if (f.forward) {
                std::reverse(path.begin(), path.end());
            }
        }
        if (recorder.record(f.node, f.distance, std::span<const char32_t>(path))) {
            return;
        }
    }
}

}  // namespace quillmesh::walk
