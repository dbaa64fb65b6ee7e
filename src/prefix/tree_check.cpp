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
    enum : std::uint8_t { kUnseen = 0, kOnPath = 1, kDone = 2 };
    const std::size_t n_nodes = trie.node_count();
    const std::size_t edges = trie.child_transitions.size();
    const std::uint32_t* const shifts = trie.node_shifts.data();
    std::vector<std::uint8_t> state(n_nodes, kUnseen);
    std::vector<std::uint32_t> parent(n_nodes, 0);
    struct Step {
        std::uint32_t node;
        std::size_t next;  // the next edge to try
        std::size_t end;
    };
    std::vector<Step> path;
    TrieShape shape;
    const auto enter = [&](std::uint32_t node) {
        state[node] = kOnPath;
        shape.depth = std::max(shape.depth, path.size());
        const std::size_t start = shifts[node];
        const std::size_t end = children_end(shifts, trie.node_shifts.size(), edges, node);
        path.push_back({node, start, start >= end ? start : end});
    };
    enter(0);
    while (!path.empty()) {
        Step& top = path.back();
        if (top.next == top.end) {
            state[top.node] = kDone;
            path.pop_back();
            continue;
        }
        const std::uint32_t from = top.node;
        const std::uint32_t child = trie.child_transitions[top.next++];
        if (state[child] == kUnseen) {
            parent[child] = from;
            enter(child);
            continue;
        }
        shape.depth = 0;
        shape.fault = TrieShape::Fault{TrieShape::Fault::kMetTwice, from, child, parent[child], state[child] == kOnPath};
        return shape;
    }
    for (std::size_t n = 0; n < n_nodes; ++n) {
        if (state[n] == kUnseen) {
            shape.depth = 0;
            shape.fault = TrieShape::Fault{TrieShape::Fault::kUnreached, 0, static_cast<std::uint32_t>(n), 0, false};
            return shape;
        }
    }
    shape.tree = true;
    return shape;
}

void check_tree(const Trie& trie) {
    check_consistency(trie);
    check_shape(trie);
}

}  // namespace quillmesh
