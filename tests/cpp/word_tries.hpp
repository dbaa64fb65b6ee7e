// Tries of word lists laid out in the ways the tests need: the builder's
// breadth-first numbering and others that no builder makes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh::word_tries {

// How a tree of words is laid out: nodes numbered breadth-first with
// consecutive children (as the builder does: the child at edge k is node
// k + 1) or at random; children in label order or shuffled; with
// `blocks_reversed`, each level's blocks of siblings numbered in reverse
// order of their parents (children still consecutive, but edge k no longer
// leads to node k + 1).
struct Shape {
    bool breadth_first;
    bool sorted;
    bool blocks_reversed = false;
};

// The trie of `words` (code points below U+0100; U+0000 makes an unlabelled
// node, which the walks never enter).
inline Trie word_trie(const std::vector<std::u32string>& words, Shape shape, std::mt19937& rng) {
    std::vector<std::map<char32_t, std::size_t>> kids(1);
    std::vector<char32_t> labels{U'\0'};
    std::vector<std::uint8_t> terminal{0};
    for (const std::u32string& w : words) {
        std::size_t v = 0;
        for (const char32_t c : w) {
            auto [it, added] = kids[v].emplace(c, labels.size());
            if (added) {
                kids.emplace_back();
                labels.push_back(c);
                terminal.push_back(0);
            }
            v = it->second;
        }
        terminal[v] = v == 0 ? 0 : 1;
    }
    const std::size_t n = labels.size();
    std::vector<std::vector<std::size_t>> lists(n);
    for (std::size_t v = 0; v < n; ++v) {
        for (const auto& [label, child] : kids[v]) {
            lists[v].push_back(child);
        }
        if (!shape.sorted) {
            std::shuffle(lists[v].begin(), lists[v].end(), rng);
        }
    }
    std::vector<std::size_t> order{0};  // new number -> old
    if (shape.breadth_first) {
        for (std::size_t level = 0; level < order.size();) {
            const std::size_t level_end = order.size();
            for (std::size_t i = level; i < level_end; ++i) {
                const std::size_t parent = order[shape.blocks_reversed ? level_end - 1 - (i - level) : i];
                order.insert(order.end(), lists[parent].begin(), lists[parent].end());
            }
            level = level_end;
        }
    } else {
        order.resize(n);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin() + 1, order.end(), rng);
    }
    std::vector<std::uint32_t> number(n);
    for (std::size_t i = 0; i < n; ++i) {
        number[order[i]] = static_cast<std::uint32_t>(i);
    }
    Trie t;
    for (const std::size_t old : order) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_labels.push_back(labels[old]);
        t.is_terminal.push_back(terminal[old]);
        for (const std::size_t child : lists[old]) {
            t.child_transitions.push_back(number[child]);
        }
    }
    t.payloads.resize(n);
    return t;
}

}  // namespace quillmesh::word_tries
