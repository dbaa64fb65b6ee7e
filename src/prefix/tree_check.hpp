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
// Memory: a state byte and a parent number per node, and the walk's path;
// no recursion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "prefix/trie.hpp"

namespace quillmesh {

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

// Throws TreeFault (failures.hpp) naming the first offending node.
void check_tree(const Trie& trie);

}  // namespace quillmesh
