// The check of a restored index that a caller may ask for before trusting a
// file from elsewhere: is it consistent (what every reader of a Trie needs),
// and is it a tree (what every builder makes)?
//
// The faults are looked for in a fixed order, and the first one met is
// reported, so that one index always gives the same answer:
//
// 1. Consistency, node by node in ascending node order; for each node, in this
//    order: an entry of its own in node_shifts, payloads and is_terminal (as
//    many nodes as child_labels has entries); an edge range that is empty or
//    lies inside child_transitions (the children rule of Trie::children);
//    children that are nodes; a payload whose two lists are equally long.
//    Surplus per-node entries are then reported at node N, the first node
//    that does not exist. An index without nodes has no root: node 0.
// 2. Shape, by a depth-first walk from the root that tries each node's
//    children in edge order, as the matchers do: a child met for the second
//    time is either listed twice by one parent, the root, a node of the path
//    that leads to it (a cycle), or a node reached already along another path
//    (a shared subtree).
// 3. Reach, in ascending node order: the first node the walk did not reach.
//
// Memory: a bit per node (and for the whole fault, a parent number per
// node), and the walk's path; no recursion.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

// The four fields that give a trie its shape, viewed: what the shape walk
// and the derived index read.
struct TrieStructure {
    std::span<const std::uint32_t> node_shifts;
    std::span<const char32_t> child_labels;
    std::span<const std::uint32_t> child_transitions;
    std::span<const std::uint8_t> is_terminal;

    static TrieStructure of(const Trie& t) { return {t.node_shifts, t.child_labels, t.child_transitions, t.is_terminal}; }
    std::size_t node_count() const { return child_labels.size(); }
};

// The shape of a consistent index (every edge range empty or inside
// child_transitions, every edge naming a node), by the walk of step 2 then
// step 3 above: whether every node is reached exactly once from the root,
// the depth of the deepest node (the root's is 0) when it is, and otherwise
// the first fault met. Reads directly: consistency is the caller's to know.
struct TrieShape {
    struct Fault {
        enum Kind { kMetTwice, kUnreached } kind = kMetTwice;
        std::uint32_t from = 0;          // kMetTwice: the node listing `child`
        std::uint32_t child = 0;         // the node met twice, or the first not reached
        std::uint32_t first_parent = 0;  // kMetTwice: the node that listed it first
        bool on_path = false;            // kMetTwice: it lies on the path to `from`
    };
    bool tree = false;
    std::size_t depth = 0;
    Fault fault;
};
TrieShape trie_shape(const Trie& trie);

// The same walk for a caller that needs only the verdict and the depth
// (fault.first_parent is left 0), and sees each node as the walk first meets
// it: visit(node, depth, edge), in walk order, the root first with edge
// kNoEdge. A node met a second time is not visited; the walk stops there.
inline constexpr std::size_t kNoEdge = static_cast<std::size_t>(-1);
template <class Visit>
TrieShape trie_shape(const TrieStructure& trie, Visit&& visit);

// Throws TreeFault (failures.hpp) naming the first offending node.
void check_tree(const Trie& trie);

namespace shape_walk {

// The walk of trie_shape; kParents keeps each node's first parent, which
// only the fault needs.
template <bool kParents, class Visit>
TrieShape walk(const TrieStructure& trie, Visit&& visit) {
    const std::size_t n_nodes = trie.node_count();
    const std::size_t shifts_size = trie.node_shifts.size();
    const std::size_t edges = trie.child_transitions.size();
    const std::uint32_t* const shifts = trie.node_shifts.data();
    const std::uint32_t* const targets = trie.child_transitions.data();
    std::vector<std::uint64_t> seen((n_nodes + 63) / 64, 0);
    std::vector<std::uint32_t> parent;
    if constexpr (kParents) {
        parent.assign(n_nodes, 0);
    }
    struct Step {
        std::uint32_t node;
        std::size_t next;  // the next edge to try
        std::size_t end;
    };
    // The path holds a node once at most; only its first steps are ever
    // written (a fresh block, not zeroed).
    const std::unique_ptr<Step[]> path(new Step[n_nodes]);
    Step* const root = path.get();
    Step* top = root;
    *top = Step{0, shifts[0], children_end(shifts, shifts_size, edges, 0)};
    TrieShape shape;
    std::size_t met = 1;
    seen[0] = 1;
    visit(std::uint32_t{0}, std::size_t{0}, kNoEdge);
    for (;;) {
        if (top->next >= top->end) {
            if (top == root) {
                break;
            }
            --top;
            continue;
        }
        const std::size_t k = top->next++;
        const std::uint32_t child = targets[k];
        std::uint64_t& word = seen[child / 64];
        const std::uint64_t bit = std::uint64_t{1} << (child % 64);
        if ((word & bit) != 0) {
            const bool on_path = std::any_of(root, top + 1, [&](const Step& s) { return s.node == child; });
            std::uint32_t first = 0;
            if constexpr (kParents) {
                first = parent[child];
            }
            shape.depth = 0;
            shape.fault = TrieShape::Fault{TrieShape::Fault::kMetTwice, top->node, child, first, on_path};
            return shape;
        }
        word |= bit;
        ++met;
        if constexpr (kParents) {
            parent[child] = top->node;
        }
        const auto depth = static_cast<std::size_t>(top - root) + 1;
        shape.depth = std::max(shape.depth, depth);
        visit(child, depth, k);
        const std::size_t start = shifts[child];
        const std::size_t end = children_end(shifts, shifts_size, edges, child);
        if (start < end) {
            *++top = Step{child, start, end};
        }
    }
    if (met < n_nodes) {
        std::size_t w = 0;
        while (seen[w] == ~std::uint64_t{0}) {
            ++w;
        }
        const auto first_unseen = static_cast<std::uint32_t>(64 * w + static_cast<std::size_t>(std::countr_one(seen[w])));
        shape.depth = 0;
        shape.fault = TrieShape::Fault{TrieShape::Fault::kUnreached, 0, first_unseen, 0, false};
        return shape;
    }
    shape.tree = true;
    return shape;
}

}  // namespace shape_walk

template <class Visit>
TrieShape trie_shape(const TrieStructure& trie, Visit&& visit) {
    return shape_walk::walk<false>(trie, visit);
}

}  // namespace quillmesh
