// The reversed-term index against the construction it replaced: the same
// reversed trie, the same numbering, the same term ends, forward nodes and
// walk ranks, and the same tries left without one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bit_rank.hpp"
#include "prefix/derived.hpp"
#include "text.hpp"
#include "word_tries.hpp"

namespace quillmesh {
namespace {

// Everything a reversed index holds, read out flat.
struct Flat {
    std::vector<std::uint32_t> first;       // per node, then the end of the last
    std::vector<std::uint8_t> labels;       // per node
    std::vector<std::uint32_t> ends;        // nodes where a term ends, ascending
    std::vector<std::uint32_t> term_nodes;  // per end, its forward node
    std::vector<std::uint32_t> terminals;   // forward term nodes, ascending
    std::vector<std::uint32_t> ranks;       // per terminal, its walk rank
    bool operator==(const Flat&) const = default;
};

Flat flat(const ReversedIndex& index) {
    Flat f;
    const auto n = static_cast<std::uint32_t>(index.node_count());
    for (std::uint32_t v = 0; v < n; ++v) {
        f.first.push_back(index.children_begin(v));
        f.labels.push_back(index.labels()[v]);
        if (index.term_ends(v)) {
            f.ends.push_back(v);
            f.term_nodes.push_back(index.term_node(v));
            // The rank kept with the end is the forward node's.
            const ReversedIndex::TermEnd end = index.term_end(v);
            EXPECT_EQ(end.rank, index.walk_rank(end.node)) << "end " << v;
        }
    }
    f.first.push_back(index.children_end(n - 1));
    for (std::size_t p = 0; p < ReversedIndex::kLabelPadding; ++p) {
        EXPECT_EQ(index.labels()[n + p], 0) << "padding byte " << p;
    }
    f.terminals = f.term_nodes;
    std::sort(f.terminals.begin(), f.terminals.end());
    for (const std::uint32_t node : f.terminals) {
        f.ranks.push_back(index.walk_rank(node));
    }
    return f;
}

// The construction this index had before: the terms' labels collected by a
// depth-first walk, then the reversed trie grown level by level, each
// level's groups split by label with a counting or an insertion sort.
std::optional<Flat> previous_build(const Trie& trie, std::span<const std::uint8_t> labels) {
    constexpr std::uint32_t kNoRank = std::numeric_limits<std::uint32_t>::max();
    const std::size_t n = trie.node_count();
    const std::size_t edges = trie.child_transitions.size();
    for (std::size_t v = 0; v < n; ++v) {
        std::array<bool, 256> seen{};
        for (std::size_t k = trie.node_shifts[v]; k < children_end(trie.node_shifts.data(), n, edges, v); ++k) {
            if (labels[k] != 0 && std::exchange(seen[labels[k]], true)) {
                return std::nullopt;
            }
        }
    }
    const std::size_t budget = ReversedIndex::kMaxTextPerNode * n + 4096;
    std::vector<std::uint32_t> term_nodes;
    std::vector<std::uint32_t> term_ends;
    std::vector<std::uint8_t> term_text;
    {
        struct Frame {
            std::size_t next;
            std::size_t end;
        };
        std::vector<bool> entered(n);
        entered[0] = true;
        std::vector<Frame> stack{{trie.node_shifts[0], children_end(trie.node_shifts.data(), n, edges, 0)}};
        std::vector<std::uint8_t> path;
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next >= top.end) {
                stack.pop_back();
                if (!path.empty()) {
                    path.pop_back();
                }
                continue;
            }
            const std::size_t k = top.next++;
            if (labels[k] == 0) {
                continue;
            }
            const std::uint32_t c = trie.child_transitions[k];
            if (entered[c]) {
                return std::nullopt;
            }
            entered[c] = true;
            path.push_back(labels[k]);
            if (trie.is_terminal[c] != 0) {
                if (term_text.size() + path.size() > budget) {
                    return std::nullopt;
                }
                term_nodes.push_back(c);
                term_text.insert(term_text.end(), path.begin(), path.end());
                term_ends.push_back(static_cast<std::uint32_t>(term_text.size()));
            }
            stack.push_back(Frame{trie.node_shifts[c], children_end(trie.node_shifts.data(), n, edges, c)});
        }
    }
    const std::size_t count = term_nodes.size();
    Flat f;
    BitRank terminals;
    terminals.resize(n);
    for (const std::uint32_t node : term_nodes) {
        terminals.set(node);
    }
    terminals.seal();
    f.ranks.assign(terminals.count(), kNoRank);
    for (std::size_t r = 0; r < count; ++r) {
        f.ranks[terminals.rank(term_nodes[r])] = static_cast<std::uint32_t>(r);
    }
    for (std::size_t v = 0; v < n; ++v) {
        if (terminals.test(v)) {
            f.terminals.push_back(static_cast<std::uint32_t>(v));
        }
    }

    struct Entry {
        std::uint64_t labels;
        std::uint32_t node;
        std::uint32_t at;
    };
    std::vector<std::uint8_t> text(8 + term_text.size() + count, 0);
    std::vector<Entry> level(count);
    std::size_t at = 8;
    for (std::size_t t = 0; t < count; ++t) {
        const std::size_t begin = t == 0 ? 0 : term_ends[t - 1];
        ++at;
        std::copy(term_text.begin() + static_cast<std::ptrdiff_t>(begin),
                  term_text.begin() + static_cast<std::ptrdiff_t>(term_ends[t]),
                  text.begin() + static_cast<std::ptrdiff_t>(at));
        at += term_ends[t] - begin;
        level[t] = Entry{0, term_nodes[t], static_cast<std::uint32_t>(at)};
    }
    std::vector<Entry> next;
    std::vector<std::uint32_t> bounds{0, static_cast<std::uint32_t>(count)};
    std::vector<std::uint32_t> next_bounds;
    BitRank ends;
    ends.resize(text.size() + 1);
    std::vector<std::uint32_t> end_nodes;
    f.labels.push_back(0);
    std::size_t nodes = 1;
    std::size_t level_first = 0;
    const auto low = [](const Entry& e) { return static_cast<std::uint8_t>(e.labels); };
    for (std::size_t depth = 0; bounds.size() > 1; ++depth) {
        if (depth % 8 == 0) {
            for (Entry& e : level) {
                std::uint64_t word = 0;
                for (int b = 0; b < 8; ++b) {
                    word |= std::uint64_t{text[e.at - 1 - b]} << (8 * b);
                }
                e.labels = word;
                e.at -= 8;
            }
        }
        next.clear();
        next_bounds.assign(1, 0);
        for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
            const std::size_t v = level_first + g;
            f.first.push_back(static_cast<std::uint32_t>(nodes));
            const std::size_t base = next.size();
            for (std::size_t i = bounds[g]; i < bounds[g + 1]; ++i) {
                if (low(level[i]) == 0) {
                    if (ends.test(v)) {
                        return std::nullopt;
                    }
                    ends.set(v);
                    f.ends.push_back(static_cast<std::uint32_t>(v));
                    f.term_nodes.push_back(level[i].node);
                } else {
                    next.push_back(level[i]);
                }
            }
            std::stable_sort(next.begin() + static_cast<std::ptrdiff_t>(base), next.end(),
                             [&](const Entry& a, const Entry& b) { return low(a) < low(b); });
            for (std::size_t i = base; i < next.size(); ++i) {
                if (i > base && low(next[i]) != low(next[i - 1])) {
                    next_bounds.push_back(static_cast<std::uint32_t>(i));
                }
                if (i == base || low(next[i]) != low(next[i - 1])) {
                    f.labels.push_back(low(next[i]));
                    ++nodes;
                }
            }
            for (std::size_t i = base; i < next.size(); ++i) {
                next[i].labels >>= 8;
            }
            if (next.size() > base) {
                next_bounds.push_back(static_cast<std::uint32_t>(next.size()));
            }
        }
        level_first += bounds.size() - 1;
        std::swap(level, next);
        std::swap(bounds, next_bounds);
    }
    f.first.push_back(static_cast<std::uint32_t>(nodes));
    return f;
}

// A tree of `words`, numbered breadth-first (as the builder does) or at
// random, children in label order or shuffled.
Trie word_tree(const std::vector<std::u32string>& words, bool breadth_first, bool sorted, std::mt19937& rng) {
    return word_tries::word_trie(words, word_tries::Shape{breadth_first, sorted}, rng);
}

std::vector<std::uint8_t> edge_labels_of(const Trie& t) {
    std::vector<std::uint8_t> out;
    for (const std::uint32_t c : t.child_transitions) {
        out.push_back(static_cast<std::uint8_t>(t.child_labels[c]));
    }
    return out;
}

void expect_as_before(const Trie& trie, const std::string& what) {
    const SearchIndex index{Trie(trie)};
    ASSERT_TRUE(index.derived().tree()) << what;
    const std::optional<Flat> before = previous_build(trie, edge_labels_of(trie));
    const ReversedIndex* now = index.derived().reversed();
    ASSERT_EQ(now != nullptr, before.has_value()) << what;
    if (now != nullptr) {
        EXPECT_EQ(now->term_count(), before->term_nodes.size()) << what;
        const Flat got = flat(*now);
        EXPECT_EQ(got.first, before->first) << what;
        EXPECT_EQ(got.labels, before->labels) << what;
        EXPECT_EQ(got.ends, before->ends) << what;
        EXPECT_EQ(got.term_nodes, before->term_nodes) << what;
        EXPECT_EQ(got.terminals, before->terminals) << what;
        EXPECT_EQ(got.ranks, before->ranks) << what;
    }
}

TEST(ReversedIndex, AsBuiltBeforeOnRandomTrees) {
    // Two or three letters make long shared endings (past the eight labels
    // a sort key holds); U+00FF is the largest one-byte label; U+0000 hangs
    // unlabelled subtrees, terms in them included.
    const std::u32string alphabets[] = {U"ab", U"abc", std::u32string(U"ab\u00ff\u00e9x") + char32_t{0}};
    std::mt19937 rng(4099);
    for (int round = 0; round < 400; ++round) {
        const std::u32string& alphabet = alphabets[round % 3];
        std::vector<std::u32string> words;
        const std::size_t count = 1 + rng() % 150;
        const std::size_t longest = round % 5 == 0 ? 40 : 12;
        for (std::size_t i = 0; i < count; ++i) {
            std::u32string w;
            const std::size_t len = 1 + rng() % longest;
            for (std::size_t k = 0; k < len; ++k) {
                w.push_back(alphabet[rng() % alphabet.size()]);
            }
            words.push_back(w);
        }
        expect_as_before(word_tree(words, round % 3 != 0, round % 4 != 1, rng), "round " + std::to_string(round));
        if (HasFailure()) {
            return;
        }
    }
}

TEST(ReversedIndex, AsBuiltBeforeOnAWordListSample) {
    std::ifstream in("/usr/share/dict/american-english-insane");
    if (!in) {
        GTEST_SKIP() << "no word list";
    }
    std::set<std::u32string> distinct;
    for (std::string line; std::getline(in, line);) {
        std::u32string w = decode_utf8(line);
        if (!w.empty() && std::all_of(w.begin(), w.end(), [](char32_t c) { return c > 0 && c < 0x100; })) {
            distinct.insert(std::move(w));
        }
    }
    std::vector<std::u32string> all(distinct.begin(), distinct.end());
    std::mt19937 rng(77);
    std::vector<std::u32string> sample;
    std::sample(all.begin(), all.end(), std::back_inserter(sample), 60000, rng);
    expect_as_before(word_tree(sample, true, true, rng), "word list sample");
}

// A chain of terms spells the square of its length: around the budget the
// index is built, or not, exactly as before. Spellings that share more than
// eight labels (one word and its extensions by a repeated letter) as well.
TEST(ReversedIndex, AsBuiltBeforeAroundTheTextBudget) {
    std::mt19937 rng(5);
    for (std::size_t length = 100; length <= 112; ++length) {
        std::vector<std::u32string> words;
        for (std::size_t k = 1; k <= length; ++k) {
            words.push_back(std::u32string(k, U'a'));
        }
        expect_as_before(word_tree(words, true, true, rng), "chain of " + std::to_string(length));
    }
}

}  // namespace
}  // namespace quillmesh
