#include "prefix/derived.hpp"

#include <algorithm>

#include "prefix/tree_check.hpp"

namespace quillmesh {

static_assert(ReversedIndex::kLabelPadding == DerivedIndex::kEdgeLabelPadding);

DerivedIndex::DerivedIndex(const TrieStructure& trie) {
    const std::size_t n = trie.child_labels.size();
    const std::size_t edges = trie.child_transitions.size();
    const std::uint32_t* const shifts = trie.node_shifts.data();
    const std::uint32_t* const targets = trie.child_transitions.data();
    const auto end_of = [&](std::size_t v) { return children_end(shifts, n, edges, v); };
    if (n == 0 || trie.node_shifts.size() != n || trie.is_terminal.size() != n) {
        return;
    }
    std::uint32_t largest = 0;
    for (std::size_t k = 0; k < edges; ++k) {
        largest = std::max(largest, targets[k]);
    }
    if (edges > 0 && largest >= n) {
        return;
    }
    const bool narrow =
        std::all_of(trie.child_labels.begin(), trie.child_labels.end(), [](char32_t c) { return c < 0x100; });
    if (narrow) {
        edge_labels_.resize(edges + kEdgeLabelPadding);
        for (std::size_t k = 0; k < edges; ++k) {
            edge_labels_[k] = static_cast<std::uint8_t>(trie.child_labels[targets[k]]);
        }
    }
    // Each node's range, and the order and numbers of its children (by the
    // one-byte labels where there are some: the same order).
    bool sorted = true;
    bool consecutive = true;
    for (std::size_t v = 0; v < n; ++v) {
        const std::size_t start = shifts[v];
        const std::size_t end = end_of(v);
        if (start >= end) {
            continue;
        }
        if (end > edges) {
            edge_labels_.clear();
            return;
        }
        for (std::size_t k = start + 1; k < end; ++k) {
            const bool ascending = narrow ? edge_labels_[k - 1] < edge_labels_[k]
                                          : trie.child_labels[targets[k - 1]] < trie.child_labels[targets[k]];
            sorted = sorted && ascending;
            consecutive = consecutive && targets[k] == targets[k - 1] + 1;
        }
    }
    checked_ = true;
    sorted_ = sorted;
    consecutive_ = consecutive;
    bool node_order = consecutive;
    for (std::size_t k = 0; node_order && k < edges; ++k) {
        node_order = targets[k] == k + 1;
    }
    node_order_ = node_order;
    // The shape walk gathers the terms of the reversed index on its way.
    std::optional<ReversedIndex::Terms> terms;
    if (ReversedIndex::qualifies(trie, edge_labels(), sorted_)) {
        terms.emplace(trie, edge_labels());
    }
    const TrieShape shape = terms ? trie_shape(trie, *terms) : trie_shape(trie, [](std::uint32_t, std::size_t, std::size_t) {});
    tree_ = shape.tree;
    max_depth_ = shape.depth;
    if (!edge_labels_.empty() && sorted && consecutive) {
        const std::size_t root_end = end_of(0);
        for (std::size_t k = trie.node_shifts[0]; k < root_end; ++k) {
            const std::uint32_t c = trie.child_transitions[k];
            const std::size_t start = trie.node_shifts[c];
            const std::size_t end = end_of(c);
            LabelSet& set = root_child_sets_.emplace_back();
            set.first = start >= end ? 0 : trie.child_transitions[start];
            std::fill(std::begin(set.place), std::end(set.place), std::uint16_t{0});
            for (std::size_t e = start; e < end; ++e) {
                set.place[edge_labels_[e]] = static_cast<std::uint16_t>(e - start + 1);
            }
        }
    }
    if (tree_ && terms) {
        reversed_ = ReversedIndex::build(trie, std::move(*terms));
    }
}

}  // namespace quillmesh
