// What the search-scheme engine (search_scheme.hpp) needs beside the trie: a
// trie of the reversed terms, and each term's place in the forward walk.
//
// Part of the derived index (DerivedIndex), built once when an index is made,
// and only for a trie that every walk reads the same way whatever route it
// takes: checked, a tree (every node reached once from the root), with
// one-byte labels, and no two entered siblings with one label. In such a
// trie each entered node has one path, so a term found by its reversed spelling is one node, and the walk
// order of the terms is the order of their pre-order ranks. Any other trie
// gets no reversed index and keeps the forward walks.
//
// Layout, flat and compact (about 5 bytes per reversed node and 9 per term):
//   first_       per reversed node in breadth-first order, its first child;
//                children are consecutive, so node v's children are
//                first_[v] ... first_[v + 1] - 1 (first_ has one entry more)
//   labels_      per reversed node, its label (the root's is 0), followed by
//                kLabelPadding bytes that a label search may read
//   ends_        the reversed nodes where a term ends, and, by their rank,
//   term_ends_   the forward node of that term and its walk rank, side by
//                side, so that a term found in the reversed trie is placed
//                in walk order by one more read instead of three
//   terminals_   the forward nodes that the walk records as terms, and, by
//   ranks_       their rank, each one's place among the terms in walk order
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bit_rank.hpp"
#include "large_pages.hpp"
#include "prefix/tree_check.hpp"

namespace quillmesh {

class ReversedIndex {
public:
    // Bytes readable past the last label (a label search reads sixteen at a
    // time; label_search.hpp); the same as DerivedIndex::kEdgeLabelPadding.
    static constexpr std::size_t kLabelPadding = 16;

    // Whether a checked trie whose one-byte edge labels are `edge_labels`
    // (DerivedIndex::edge_labels; empty when some label needs more) can
    // have an index, the tree test aside: no two entered siblings share a
    // label, and its nodes can be numbered below 2^32 - 1.
    static bool qualifies(const TrieStructure& trie, std::span<const std::uint8_t> edge_labels, bool children_sorted);

    // The terms of a qualifying trie, gathered while its shape is walked
    // (the visit of trie_shape in tree_check.hpp): each node the matchers
    // enter (never one below a child labelled U+0000) that the walk records
    // as a term, in walk order, with its labels last first. Gives up once
    // the terms spell more than kMaxTextPerNode labels per node on average
    // (a deep chain of terminals would otherwise cost the square of its
    // length). Throws std::bad_alloc when memory runs out.
    class Terms {
    public:
        Terms(const TrieStructure& trie, std::span<const std::uint8_t> edge_labels);
        void operator()(std::uint32_t node, std::size_t depth, std::size_t edge) {
            if (blocked_ < depth) {
                return;  // below a child that is never entered
            }
            blocked_ = kOpen;
            if (depth == 0) {
                return;  // the root is not a term
            }
            const std::uint8_t label = labels_[edge];
            if (label == 0) {
                blocked_ = depth;
                return;
            }
            path_end_[-static_cast<std::ptrdiff_t>(depth)] = label;
            if (terminal_[node] != 0) {
                add(node, depth);
            }
        }
        bool within_budget() const { return !over_; }

    private:
        friend class ReversedIndex;
        static constexpr std::size_t kOpen = static_cast<std::size_t>(-1);
        void add(std::uint32_t node, std::size_t depth);

        std::span<const std::uint8_t> labels_;
        const std::uint8_t* terminal_;
        std::size_t budget_;
        std::size_t blocked_ = kOpen;  // depth of the unentered node the walk is below
        bool over_ = false;
        // The labels of the path to the node visited last, last first:
        // depth d's label at path_end_[-d].
        std::unique_ptr<std::uint8_t[]> path_;
        std::uint8_t* path_end_;
        LargeVector<std::uint32_t> nodes_;
        LargeVector<std::uint32_t> starts_;  // term t is text_[starts_[t], starts_[t + 1])
        // Room for the budget and some: only what the terms spell is
        // written (a fresh block, not zeroed).
        LargeBytes text_;
        std::size_t text_size_ = 0;
    };

    // The index of a checked tree that qualifies, from the terms its shape
    // walk gathered (within budget), or nullopt when two terms spell the
    // same (which a qualifying tree cannot have). Throws std::bad_alloc when
    // memory runs out.
    static std::optional<ReversedIndex> build(const TrieStructure& trie, Terms&& terms);
    static constexpr std::size_t kMaxTextPerNode = 16;

    std::size_t node_count() const { return labels_.size() - kLabelPadding; }
    void prefetch_children(std::uint32_t v) const { __builtin_prefetch(first_.data() + v); }
    std::uint32_t children_begin(std::uint32_t v) const { return first_[v]; }
    std::uint32_t children_end(std::uint32_t v) const { return first_[v + 1]; }
    const std::uint8_t* labels() const { return labels_.data(); }
    bool term_ends(std::uint32_t v) const { return ends_.test(v); }
    // For a reversed node where a term ends: the term's forward node and
    // its walk rank (see walk_rank).
    struct TermEnd {
        std::uint32_t node;
        std::uint32_t rank;
    };
    TermEnd term_end(std::uint32_t v) const { return term_end_at(end_place(v)); }
    std::uint32_t term_node(std::uint32_t v) const { return term_end(v).node; }
    // term_end in steps, for readers that ask for each read a pass before
    // they make it: whether v ends a term, v's place among the ends, and
    // the term end at that place.
    void prefetch_end(std::uint32_t v) const { ends_.prefetch(v); }
    std::uint32_t end_place(std::uint32_t v) const { return static_cast<std::uint32_t>(ends_.rank(v)); }
    void prefetch_term_end_at(std::uint32_t place) const { __builtin_prefetch(term_ends_.data() + place); }
    TermEnd term_end_at(std::uint32_t place) const { return term_ends_[place]; }

    // For a forward node the walk records as a term: its place among the
    // terms in walk order (0 for the first).
    std::uint32_t walk_rank(std::uint32_t node) const { return walk_rank_at(terminal_place(node)); }
    void prefetch_walk_rank(std::uint32_t node) const { terminals_.prefetch(node); }
    // walk_rank in two steps, for readers that ask for the second read
    // before they make it: the node's place among the terminals, then the
    // rank at that place.
    std::uint32_t terminal_place(std::uint32_t node) const { return static_cast<std::uint32_t>(terminals_.rank(node)); }
    void prefetch_walk_rank_at(std::uint32_t place) const { __builtin_prefetch(ranks_.data() + place); }
    std::uint32_t walk_rank_at(std::uint32_t place) const { return ranks_[place]; }
    std::size_t term_count() const { return term_ends_.size(); }

    // Heap bytes held.
    std::size_t bytes() const;

private:
    LargeVector<std::uint32_t> first_;
    LargeVector<std::uint8_t> labels_;
    BitRank ends_;
    LargeVector<TermEnd> term_ends_;
    BitRank terminals_;
    LargeVector<std::uint32_t> ranks_;
};

}  // namespace quillmesh
