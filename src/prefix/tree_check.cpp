#include "prefix/tree_check.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "failures.hpp"

namespace quillmesh {

namespace {

using std::to_string;

[[noreturn]] void fault(std::size_t node, std::string problem) { throw TreeFault(node, std::move(problem)); }

struct PerNode {
    const char* name;
    std::size_t size;
};

void check_consistency(const Trie& trie) {
    const std::size_t n_nodes = trie.node_count();
    if (n_nodes == 0) {
        fault(0, "the index has no nodes (no root)");
    }
    const std::size_t edges = trie.child_transitions.size();
    const PerNode per_node[] = {
        {"node_shifts", trie.node_shifts.size()},
        {"payloads", trie.payloads.size()},
        {"is_terminal", trie.is_terminal.size()},
    };
    for (std::size_t n = 0; n < n_nodes; ++n) {
        for (const PerNode& seq : per_node) {
            if (n >= seq.size) {
                fault(n, std::string("no entry in ") + seq.name + " (" + to_string(seq.size) + " entries for " +
                             to_string(n_nodes) + " nodes)");
            }
        }
        const EdgeRange range = trie.children(n);
        if (!range.empty() && range.end > edges) {
            fault(n, "edge range " + to_string(range.start) + ".." + to_string(range.end) + " reaches past the " +
                         to_string(edges) + " edges");
        }
        for (std::size_t e = range.start; e < range.end; ++e) {
            if (trie.child_transitions[e] >= n_nodes) {
                fault(n, "edge " + to_string(e) + " names node " + to_string(trie.child_transitions[e]) +
                             ", beyond the last node " + to_string(n_nodes - 1));
            }
        }
        if (trie.payloads.present(n)) {
            const std::size_t ids = trie.payloads.video_ids(n).size();
            const std::size_t counts = trie.payloads.video_counts(n).size();
            if (ids != counts) {
                fault(n, "payload has " + to_string(ids) + " video_ids but " + to_string(counts) + " video_counts");
            }
        }
    }
    for (const PerNode& seq : per_node) {
        if (seq.size > n_nodes) {
            fault(n_nodes, std::string("beyond the last node, yet with an entry in ") + seq.name + " (" +
                               to_string(seq.size) + " entries for " + to_string(n_nodes) + " nodes)");
        }
    }
}

// The shape check written as a fault of trie_shape().
void check_shape(const Trie& trie) {
    const TrieShape shape = trie_shape(trie);
    if (shape.tree) {
        return;
    }
    const TrieShape::Fault& f = shape.fault;
    if (f.kind == TrieShape::Fault::kUnreached) {
        fault(f.child, "not reached from the root");
    }
    if (f.child == 0) {
        fault(0, "the root, listed as a child of node " + to_string(f.from));
    }
    if (f.child == f.from) {
        fault(f.child, "lists itself as a child");
    }
    if (f.first_parent == f.from) {
        fault(f.from, "lists node " + to_string(f.child) + " as a child twice");
    }
    if (f.on_path) {
        fault(f.child, "on a cycle: listed as a child of node " + to_string(f.from) + ", which lies below it");
    }
    fault(f.child, "reached twice: as a child of node " + to_string(f.first_parent) + " and of node " +
                       to_string(f.from));
}

}  // namespace

TrieShape trie_shape(const Trie& trie) {
    return shape_walk::walk<true>(TrieStructure::of(trie), [](std::uint32_t, std::size_t, std::size_t) {});
}

void check_tree(const Trie& trie) {
    check_consistency(trie);
    check_shape(trie);
}

}  // namespace quillmesh
