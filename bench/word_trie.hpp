// The word list of the benchmarks as a trie: every distinct lower-cased word
// of Debian's largest English word list (package wamerican-insane), laid out
// breadth-first with each node's children in label order, as quillmesh.layout
// lays out an index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "prefix/trie.hpp"
#include "text.hpp"

namespace quillmesh::bench {

constexpr const char* kWordList = "/usr/share/dict/american-english-insane";

// The list's capitals are ASCII or Latin-1 letters, whose small letters lie
// 0x20 above them (U+00D7 is not a letter).
inline char32_t lower(char32_t c) {
    if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return c + 0x20;
    }
    return c;
}

// The distinct lower-cased words of the list, in the list's order.
inline std::vector<std::u32string> load_words() {
    std::ifstream in(kWordList);
    if (!in) {
        std::fprintf(stderr, "cannot read %s (package wamerican-insane)\n", kWordList);
        std::exit(1);
    }
    std::vector<std::u32string> words;
    std::set<std::u32string> seen;
    std::string line;
    while (std::getline(in, line)) {
        std::u32string w = decode_utf8(line);
        std::transform(w.begin(), w.end(), w.begin(), lower);
        if (!w.empty() && seen.insert(w).second) {
            words.push_back(std::move(w));
        }
    }
    return words;
}

// Distinct words in a breadth-first trie whose children are ordered by label.
inline Trie build_breadth_first(const std::vector<std::u32string>& words) {
    std::vector<std::map<char32_t, std::uint32_t>> kids(1);
    std::vector<std::uint8_t> terminal(1, 0);
    for (const std::u32string& w : words) {
        std::uint32_t v = 0;
        for (char32_t c : w) {
            auto it = kids[v].find(c);
            if (it == kids[v].end()) {
                const auto next = static_cast<std::uint32_t>(kids.size());
                kids[v].emplace(c, next);
                kids.emplace_back();
                terminal.push_back(0);
                v = next;
            } else {
                v = it->second;
            }
        }
        terminal[v] = 1;
    }
    Trie t;
    const std::size_t n = kids.size();
    std::vector<std::uint32_t> order;  // old node numbers in breadth-first order
    std::vector<char32_t> label_of(n, U'\0');
    order.reserve(n);
    order.push_back(0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const auto& [c, child] : kids[order[i]]) {
            label_of[child] = c;
            order.push_back(child);
        }
    }
    std::uint32_t next_index = 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t old = order[i];
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_labels.push_back(label_of[old]);
        t.is_terminal.push_back(terminal[old]);
        for (std::size_t k = 0; k < kids[old].size(); ++k) {
            t.child_transitions.push_back(next_index++);
        }
    }
    t.payloads.resize(n);
    return t;
}

}  // namespace quillmesh::bench
