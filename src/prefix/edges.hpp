// A node's edges as the walks read them: the children of a node, the child
// at an edge and its label, and the rule that an unlabelled child is never
// entered. Two forms of the same reads: checked (through at(), for any
// index) and direct (for an index that DerivedIndex found consistent).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "failures.hpp"
#include "prefix/label_search.hpp"
#include "prefix/trie.hpp"

namespace quillmesh::walk {

// U+0000 labels a child that is never entered, nor anything below it.
inline constexpr bool entered(char32_t label) { return label != U'\0'; }

// Every read through at(): an inconsistent index fails on the first read
// that lies outside its sequence.
struct CheckedEdges {
    const Trie& trie;

    EdgeRange children(std::uint32_t v) const { return trie.children(v); }
    std::uint32_t child(std::size_t k) const { return at(trie.child_transitions, k); }
    char32_t label(std::uint32_t c) const { return at(trie.child_labels, c); }
};

// Direct reads of a checked index (DerivedIndex::checked()), which no read
// of a node, an edge or a label can leave.
class DirectEdges {
public:
    explicit DirectEdges(const Trie& trie)
        : shifts_(trie.node_shifts.data()),
          targets_(trie.child_transitions.data()),
          labels_(trie.child_labels.data()),
          nodes_(trie.node_shifts.size()),
          edges_(trie.child_transitions.size()) {}

    // Node v's edges are [start(v), end(v)); start >= end: none.
    std::size_t start(std::uint32_t v) const { return shifts_[v]; }
    std::size_t end(std::uint32_t v) const { return children_end(shifts_, nodes_, edges_, v); }
    EdgeRange children(std::uint32_t v) const { return EdgeRange{start(v), end(v)}; }
    std::uint32_t child(std::size_t k) const { return targets_[k]; }
    char32_t label(std::uint32_t c) const { return labels_[c]; }

    // Calls visit(c, label) for each child entered among the edges
    // [start, end), in edge order.
    template <class Visit>
    void for_each_entered(std::size_t start, std::size_t end, Visit&& visit) const {
        for (std::size_t k = start; k < end; ++k) {
            const std::uint32_t c = targets_[k];
            const char32_t label = labels_[c];
            if (entered(label)) {
                visit(c, label);
            }
        }
    }

    // For the walks' prefetches.
    const std::uint32_t* shifts() const { return shifts_; }
    const std::uint32_t* targets() const { return targets_; }

private:
    const std::uint32_t* shifts_;
    const std::uint32_t* targets_;
    const char32_t* labels_;
    std::size_t nodes_;
    std::size_t edges_;
};

// One step along the query in a checked index whose children are
// consecutive and labelled in one byte (DerivedIndex::children_consecutive,
// edge_labels): where node v's child labelled `want` is, with `found` false
// when it has none (child() is then meaningless, though safe to prefetch).
// A node of at most 16 children is searched with one comparison and no
// branch on what it holds, so that the walks can step many cursors a pass;
// the child's edge is read only by child(), which a cursor that found
// nothing need not call, and not at all with edges in node order
// (kNodeOrder: DerivedIndex::edges_in_node_order), where the child follows
// from the edge's position.
struct QuickStep {
    std::size_t at;       // the node's first edge (0 for a leaf)
    std::uint32_t place;  // the child's place among its siblings
    bool found;

    template <bool kNodeOrder = false>
    std::uint32_t child(const DirectEdges& edges) const {
        if constexpr (kNodeOrder) {
            return static_cast<std::uint32_t>(at + 1) + place;
        } else {
            return edges.child(at) + place;
        }
    }
};
inline QuickStep quick_child(const DirectEdges& edges, const std::uint8_t* edge_labels, std::uint32_t v,
                             std::uint32_t want) {
    const std::size_t start = edges.start(v);
    const std::size_t end = edges.end(v);
    const std::size_t width = start < end ? end - start : 0;
    if (width > 16) {
        const std::size_t k = find_label(edge_labels, start, end, want);
        return QuickStep{start, static_cast<std::uint32_t>(k - start), k != end};
    }
    // An empty range may start anywhere: read at 0 instead (an index the
    // walks step through has an edge).
    const std::size_t at = width != 0 ? start : 0;
    const auto hits = static_cast<std::uint32_t>(label_mask(edge_labels + at, width, want));
    return QuickStep{at, static_cast<std::uint32_t>(std::countr_zero(hits | 0x10000u)), hits != 0};
}

}  // namespace quillmesh::walk
