// DerivedIndex: what the fast walks read besides the trie's own sequences,
// computed once from them when an index is made and never changed after.
//
// It is a pure function of the eight stored fields: nothing in it reorders
// or renumbers what a walk sees, and nothing of it is stored by to_bytes.
// Building it allocates (the one-byte edge labels, the label sets below the
// root, the visit marks of the tree check) and may throw std::bad_alloc; an
// index whose derived form cannot be built is not made at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "large_pages.hpp"
#include "prefix/reversed_index.hpp"
#include "prefix/tree_check.hpp"
#include "prefix/trie.hpp"

namespace quillmesh {

class DerivedIndex {
public:
    // The edge labels are followed by this many more bytes, which a label
    // search may read sixteen at a time (label_search.hpp).
    static constexpr std::size_t kEdgeLabelPadding = 16;

    // Where each one-byte label lies among one node's children: the child
    // labelled b is first + place[b] - 1, and place[b] = 0 when there is none.
    struct LabelSet {
        std::uint32_t first;
        std::uint16_t place[256];
        bool has(std::uint8_t b) const { return place[b] != 0; }
        std::uint32_t child(std::uint8_t b) const { return first + place[b] - 1; }
    };

    DerivedIndex() = default;  // of a trie that fails the check
    explicit DerivedIndex(const TrieStructure& trie);
    explicit DerivedIndex(const Trie& trie) : DerivedIndex(TrieStructure::of(trie)) {}

    // Whether the sequences the walks read are consistent: there is a root,
    // node_shifts and is_terminal have an entry per node, every edge names a
    // node, and every node's edge range is empty or lies inside
    // child_transitions. A walk of a checked index cannot read out of bounds,
    // so it reads directly and in the order that suits it; any other index is
    // walked through at() in the documented read order (walk.hpp), so that
    // its IndexOutOfBounds comes where it always came.
    bool checked() const { return checked_; }
    // For a checked index: whether every node is reached exactly once from
    // the root, edge by edge (no node listed twice, no cycle, nothing
    // unreachable, the root never a child). Only then does the number of
    // paths a walk follows stay within the number of nodes.
    bool tree() const { return tree_; }
    // For a checked tree: the depth of its deepest node (the root's is 0).
    std::size_t max_depth() const { return max_depth_; }
    // For a checked index: whether every node's children come in strictly
    // ascending label order.
    bool children_sorted() const { return sorted_; }
    // For a checked index: whether every node's edges name consecutive nodes
    // (child_transitions[k + 1] = child_transitions[k] + 1 within a node's
    // range), as in a breadth-first layout, so that the child at an edge
    // follows from the node's first child without reading the edge.
    bool children_consecutive() const { return consecutive_; }
    // For a checked index: whether edge k leads to node k + 1 for every k,
    // as in the breadth-first layout of a tree with each node's edges in
    // node order, so that a child's number follows from its edge's position
    // without reading child_transitions (implies children_consecutive).
    bool edges_in_node_order() const { return node_order_; }
    // For a checked index whose labels all lie below U+0100: each edge's
    // child label, one byte per edge in edge order (empty otherwise),
    // followed by kEdgeLabelPadding more; a label is then looked up among a
    // node's children in one short run (label_search.hpp).
    std::span<const std::uint8_t> edge_labels() const {
        return edge_labels_.empty() ? std::span<const std::uint8_t>()
                                    : std::span<const std::uint8_t>(edge_labels_.data(), edge_labels_.size() - kEdgeLabelPadding);
    }
    // For a checked index with one-byte edge labels whose children are
    // consecutive and in label order: the label set of each of the root's
    // children, in edge order (empty otherwise), where the walks look up the
    // most labels.
    std::span<const LabelSet> root_child_sets() const { return root_child_sets_; }

    // For a checked tree with one-byte labels and no two entered siblings
    // with one label: the trie of its reversed terms with each term's walk
    // rank, which the search-scheme engine reads (null otherwise).
    const ReversedIndex* reversed() const { return reversed_ ? &*reversed_ : nullptr; }

    // Further engines' data (built only for a checked tree) joins here.

private:
    bool checked_ = false;
    bool tree_ = false;
    std::size_t max_depth_ = 0;
    bool sorted_ = false;
    bool consecutive_ = false;
    bool node_order_ = false;
    LargeVector<std::uint8_t> edge_labels_;
    std::vector<LabelSet> root_child_sets_;
    std::optional<ReversedIndex> reversed_;
};

// An index as the module holds it: the trie and its derived form, made
// together and immutable afterwards.
class SearchIndex {
public:
    explicit SearchIndex(Trie&& trie) : trie_(std::move(trie)), derived_(trie_) {}
    // With the derived form made already, from fields equal to the trie's
    // (load_index makes it while the rest of the bytes are decoded).
    SearchIndex(Trie&& trie, DerivedIndex&& derived) : trie_(std::move(trie)), derived_(std::move(derived)) {}

    const Trie& trie() const { return trie_; }
    const DerivedIndex& derived() const { return derived_; }

private:
    Trie trie_;
    DerivedIndex derived_;
};

}  // namespace quillmesh
