#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "failures.hpp"
#include "prefix/matcher.hpp"
#include "prefix/walk.hpp"
#include "text.hpp"

namespace quillmesh {
namespace {

using Limit = std::optional<std::uint32_t>;
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

Trie make_trie(std::vector<std::uint32_t> shifts, std::u32string labels, std::vector<std::uint32_t> transitions,
               std::vector<std::uint8_t> terminal) {
    Trie t;
    t.node_shifts = std::move(shifts);
    t.child_labels.assign(labels.begin(), labels.end());
    t.child_transitions = std::move(transitions);
    t.payloads.resize(t.child_labels.size());
    t.is_terminal = std::move(terminal);
    return t;
}

// 'cat' (node 3), 'car' (4), 'cart' (5), 'dog' (8); 1 'c', 2 'ca', 6 'd', 7 'do' are prefixes.
Trie cat_trie() {
    return make_trie({0, 2, 3, 5, 5, 6, 6, 7, 8}, std::u32string(U"\0catrtdog", 9), {1, 6, 2, 3, 4, 5, 7, 8},
                     {0, 0, 0, 1, 1, 1, 0, 0, 1});
}

// Root plus `length` nodes labelled `label`, each the only child of the one
// before; every labelled node is terminal.
Trie chain(std::size_t length, char32_t label) {
    Trie t;
    const std::size_t n = length + 1;
    for (std::size_t i = 0; i < n; ++i) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(i));
        t.child_labels.push_back(i == 0 ? U'\0' : label);
        t.is_terminal.push_back(i == 0 ? 0 : 1);
        if (i > 0) {
            t.child_transitions.push_back(static_cast<std::uint32_t>(i));
        }
    }
    t.payloads.resize(n);
    return t;
}

std::string repeat(char c, std::size_t count) { return std::string(count, c); }

// The message of the IndexOutOfBounds a call throws ("" if none).
template <class Call>
std::string panic_of(Call&& call) {
    try {
        call();
    } catch (const IndexOutOfBounds& e) {
        return e.what();
    }
    return "";
}

std::string oob(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

// ---------------------------------------------------------------- tables

struct TermCase {
    const char* term;
    std::uint32_t max_dist;
    Limit limit;
    std::vector<MatchResult> expected;
};

void PrintTo(const TermCase& c, std::ostream* os) { *os << "'" << c.term << "' max_dist " << c.max_dist; }

class TermTable : public ::testing::TestWithParam<TermCase> {};

TEST_P(TermTable, ListsMatchesInWalkOrder) {
    const TermCase& c = GetParam();
    EXPECT_EQ(fuzzy_match(cat_trie(), c.term, c.max_dist, c.limit), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CatTrie, TermTable,
    ::testing::Values(
        TermCase{"cat", 1, std::nullopt, {{"cat", 3, 0}, {"car", 4, 1}, {"cart", 5, 1}}},
        TermCase{"cat", 1, 2, {{"cat", 3, 0}, {"car", 4, 1}}},
        TermCase{"cat", 0, std::nullopt, {{"cat", 3, 0}}},
        TermCase{"ca", 1, std::nullopt, {{"cat", 3, 1}, {"car", 4, 1}}},
        TermCase{"dg", 1, std::nullopt, {{"dog", 8, 1}}},
        TermCase{"", 1, std::nullopt, {}},
        TermCase{"", 3, std::nullopt, {{"cat", 3, 3}, {"car", 4, 3}, {"dog", 8, 3}}},
        TermCase{"Cat", 0, std::nullopt, {}},
        TermCase{"Cat", 1, std::nullopt, {{"cat", 3, 1}}},
        TermCase{"cat", 1, 100, {{"cat", 3, 0}, {"car", 4, 1}, {"cart", 5, 1}}},
        TermCase{"cat", 1, 0, {}},
        TermCase{"xyz", 3, 1, {{"cat", 3, 3}}}));

struct NodeCase {
    const char* term;
    std::uint32_t max_dist;
    bool terminal_only;
    Limit limit;
    std::vector<NodeMatch> expected;
};

void PrintTo(const NodeCase& c, std::ostream* os) {
    *os << "'" << c.term << "' max_dist " << c.max_dist << (c.terminal_only ? " terminal only" : " prefixes too");
}

class NodeTable : public ::testing::TestWithParam<NodeCase> {};

TEST_P(NodeTable, ListsNodesInWalkOrder) {
    const NodeCase& c = GetParam();
    EXPECT_EQ(fuzzy_match_nodes(cat_trie(), c.term, c.max_dist, c.terminal_only, c.limit), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CatTrie, NodeTable,
    ::testing::Values(NodeCase{"cat", 1, true, std::nullopt, {{3, 0}, {4, 1}, {5, 1}}},
                      NodeCase{"cat", 1, false, std::nullopt, {{2, 1}, {3, 0}, {4, 1}, {5, 1}}},
                      NodeCase{"cat", 1, false, 2, {{2, 1}, {3, 0}}},
                      NodeCase{"ca", 1, false, std::nullopt, {{1, 1}, {2, 0}, {3, 1}, {4, 1}}},
                      NodeCase{"do", 1, true, std::nullopt, {{8, 1}}},
                      NodeCase{"do", 1, false, std::nullopt, {{6, 1}, {7, 0}, {8, 1}}},
                      NodeCase{"", 1, false, std::nullopt, {{1, 1}, {6, 1}}},
                      NodeCase{"", 1, true, std::nullopt, {}},
                      NodeCase{"xyz", 1, false, std::nullopt, {}},
                      NodeCase{"cat", 1, false, 0, {}}));

// ---------------------------------------------------------------- labels

TEST(Matcher, AstralAndAccentedLabelsCountAsOneCodePoint) {
    // root -> 'é' -> U+1F600 (terminal)
    Trie t = make_trie({0, 1, 2}, std::u32string(U"\0é\U0001F600", 3), {1, 2}, {0, 0, 1});
    EXPECT_EQ(fuzzy_match(t, "é\U0001F600", 0, std::nullopt),
              (std::vector<MatchResult>{{"é\U0001F600", 2, 0}}));
    EXPECT_EQ(fuzzy_match(t, "e\U0001F600", 1, std::nullopt),
              (std::vector<MatchResult>{{"é\U0001F600", 2, 1}}));
    EXPECT_EQ(fuzzy_match(t, "é", 1, std::nullopt), (std::vector<MatchResult>{{"é\U0001F600", 2, 1}}));
}

TEST(Matcher, UnlabelledChildIsNeverEntered) {
    // root -> 1 'a' (terminal) and 2 U+0000 -> 3 'a' (terminal)
    Trie t = make_trie({0, 2, 2, 3}, std::u32string(U"\0a\0a", 4), {1, 2, 3}, {0, 1, 1, 1});
    EXPECT_EQ(fuzzy_match_nodes(t, "a", 3, false, std::nullopt), (std::vector<NodeMatch>{{1, 0}}));
}

TEST(Matcher, RootIsNeverReported) {
    Trie t = cat_trie();
    t.is_terminal[0] = 1;
    EXPECT_EQ(fuzzy_match_nodes(t, "", 0, false, std::nullopt), std::vector<NodeMatch>{});
    EXPECT_EQ(fuzzy_match(t, "", 0, std::nullopt), std::vector<MatchResult>{});
}

// ---------------------------------------------------------------- decisions

TEST(Matcher, TrieWithoutNodesAnswersEmpty) {
    Trie none;
    EXPECT_TRUE(fuzzy_match(none, "cat", 5, std::nullopt).empty());
    EXPECT_TRUE(fuzzy_match_nodes(none, "", 1, false, std::nullopt).empty());
    // Disagreeing lengths do not matter: without labels there is no node.
    none.node_shifts = {0};
    none.child_transitions = {0};
    EXPECT_TRUE(fuzzy_match(none, "a", 1, std::nullopt).empty());
}

TEST(Matcher, LimitZeroAnswersEmptyWithoutWalking) {
    // This trie fails the first read (node_shifts is empty) of any walk.
    Trie broken = make_trie({}, std::u32string(U"\0", 1), {}, {0});
    EXPECT_EQ(panic_of([&] { fuzzy_match(broken, "a", 1, std::nullopt); }), oob(0, 0));
    EXPECT_TRUE(fuzzy_match(broken, "a", 1, 0).empty());
    EXPECT_TRUE(fuzzy_match_nodes(broken, "a", 1, true, 0).empty());
}

TEST(Matcher, BoundsAbove65535BehaveAs65535) {
    const Trie t = chain(66000, U'a');
    const auto capped = fuzzy_match_nodes(t, "", 65535, true, std::nullopt);
    ASSERT_EQ(capped.size(), 65535u);
    EXPECT_EQ(capped.back(), (NodeMatch{65535, 65535}));
    for (std::uint32_t max_dist : {65536u, 65537u, 131071u, kU32Max}) {
        EXPECT_EQ(fuzzy_match_nodes(t, "", max_dist, true, std::nullopt), capped) << max_dist;
    }
}

TEST(Matcher, LongTermsKeepExactDistances) {
    // 65536 and 65537 code points against a one-letter term: distances 65535
    // and 65536; a 16-bit cell would wrap the latter to 0.
    const Trie one = chain(1, U'a');
    EXPECT_EQ(fuzzy_match(one, repeat('a', 65536), kU32Max, std::nullopt),
              (std::vector<MatchResult>{{"a", 1, 65535}}));
    EXPECT_TRUE(fuzzy_match(one, repeat('a', 65537), kU32Max, std::nullopt).empty());
    EXPECT_TRUE(fuzzy_match(one, repeat('b', 65537), 0, std::nullopt).empty());

    const Trie long_chain = chain(70000, U'a');
    const auto near = fuzzy_match_nodes(long_chain, repeat('a', 70000), 1, true, std::nullopt);
    EXPECT_EQ(near, (std::vector<NodeMatch>{{69999, 1}, {70000, 0}}));
}

TEST(Matcher, DeepChainNeedsNoCallStack) {
    const Trie t = chain(100000, U'a');
    const auto tail = fuzzy_match_nodes(t, repeat('a', 100000), 2, true, std::nullopt);
    EXPECT_EQ(tail, (std::vector<NodeMatch>{{99998, 2}, {99999, 1}, {100000, 0}}));
    // A short term with the largest bound goes as deep as the bound allows.
    const auto wide = fuzzy_match_nodes(t, "a", kU32Max, true, std::nullopt);
    ASSERT_EQ(wide.size(), 65536u);
    EXPECT_EQ(wide.front(), (NodeMatch{1, 0}));
    EXPECT_EQ(wide.back(), (NodeMatch{65536, 65535}));
    const auto spelled = fuzzy_match(t, repeat('a', 100000), 0, std::nullopt);
    ASSERT_EQ(spelled.size(), 1u);
    EXPECT_EQ(spelled[0].text.size(), 100000u);
    EXPECT_EQ(spelled[0].node, 100000u);
}

// ---------------------------------------------------------------- inconsistent indexes

struct PanicCase {
    const char* name;
    Trie trie;
    const char* term;
    std::uint32_t max_dist;
    std::string message;  // "" when the walk must succeed
};

TEST(Matcher, InconsistentIndexFailsOnFirstBadRead) {
    const std::vector<PanicCase> cases = {
        {"root has no node_shifts entry", make_trie({}, std::u32string(U"\0", 1), {}, {0}), "a", 1, oob(0, 0)},
        {"child beyond child_labels", make_trie({0, 1}, std::u32string(U"\0a", 2), {5}, {0, 1}), "a", 1, oob(2, 5)},
        {"range past child_transitions", make_trie({0, 3}, std::u32string(U"\0a", 2), {1}, {0, 1}), "a", 1,
         oob(1, 1)},
        {"is_terminal too short", make_trie({0, 1}, std::u32string(U"\0a", 2), {1}, {0}), "a", 1, oob(1, 1)},
        // The flag is read only for a child within the bound.
        {"is_terminal too short, child too far", make_trie({0, 1}, std::u32string(U"\0a", 2), {1}, {0}), "zzz", 1,
         ""},
        {"node_shifts too short", make_trie({0}, std::u32string(U"\0a", 2), {1}, {0, 1}), "a", 1, oob(1, 1)},
        // Self-loop: node 1's range is [1, 2), naming node 1 again; the walk
        // ends once the rows leave the bound.
        {"cycle", make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0, 1}), "aa", 1, ""},
        {"cycle into a missing flag", make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0}), "aa", 1,
         oob(1, 1)},
    };
    for (const PanicCase& c : cases) {
        // An inconsistent trie fails the check, so it keeps the checked
        // reads and their order.
        EXPECT_EQ(DerivedIndex(c.trie).checked(), c.name == std::string("cycle")) << c.name;
        EXPECT_EQ(panic_of([&] { fuzzy_match(c.trie, c.term, c.max_dist, std::nullopt); }), c.message) << c.name;
        EXPECT_EQ(panic_of([&] { fuzzy_match_nodes(c.trie, c.term, c.max_dist, true, std::nullopt); }), c.message)
            << c.name;
    }
}

TEST(Matcher, DerivedIndexRecordsConsistencyShapeAndChildOrder) {
    struct Case {
        const char* name;
        Trie trie;
        bool sealed;
        bool sorted;
        bool consecutive;
        bool tree;
        std::size_t depth;  // when a tree
    };
    const std::vector<Case> cases = {
        {"cat trie ('t' before 'r'; root's children 1 and 6)", cat_trie(), true, false, false, true, 4},
        {"no nodes", Trie{}, false, false, false, false, 0},
        {"root alone", make_trie({0}, std::u32string(U"\0", 1), {}, {0}), true, true, true, true, 0},
        {"children out of order", make_trie({0, 2, 2}, std::u32string(U"\0ba", 3), {1, 2}, {0, 1, 1}), true, false,
         true, true, 1},
        {"children in descending node order", make_trie({0, 2, 2}, std::u32string(U"\0ba", 3), {2, 1}, {0, 1, 1}),
         true, true, false, true, 1},
        {"repeated label", make_trie({0, 2, 2}, std::u32string(U"\0aa", 3), {1, 2}, {0, 1, 1}), true, false, true,
         true, 1},
        {"unlabelled child first", make_trie({0, 2, 2}, std::u32string(U"\0\0a", 3), {1, 2}, {0, 0, 1}), true, true,
         true, true, 1},
        {"empty range starting past the end", make_trie({9, 0, 1}, std::u32string(U"\0ab", 3), {1}, {0, 1, 1}), true,
         true, true, false, 0},
        {"range running past the end", make_trie({0, 1, 9}, std::u32string(U"\0ab", 3), {1}, {0, 1, 1}), false,
         false, false, false, 0},
        {"is_terminal too long", make_trie({0, 1}, std::u32string(U"\0a", 2), {1}, {0, 1, 1}), false, false, false,
         false, 0},
        {"node_shifts too long", make_trie({0, 1, 1}, std::u32string(U"\0a", 2), {1}, {0, 1}), false, false, false,
         false, 0},
        {"child listed twice", make_trie({0, 2}, std::u32string(U"\0a", 2), {1, 1}, {0, 1}), true, false, false,
         false, 0},
        {"node its own child", make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0, 1}), true, true, true, false,
         0},
        {"two parents", make_trie({0, 2, 3, 4}, std::u32string(U"\0abc", 4), {1, 2, 3, 3}, {0, 1, 1, 1}), true,
         true, true, false, 0},
        {"root listed as a child", make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 0}, {0, 1}), true, true, true,
         false, 0},
        {"node not reachable", make_trie({0, 1, 1}, std::u32string(U"\0ab", 3), {1}, {0, 1, 1}), true, true, true,
         false, 0},
    };
    for (const Case& c : cases) {
        const DerivedIndex d(c.trie);
        EXPECT_EQ(d.checked(), c.sealed) << c.name;
        EXPECT_EQ(d.checked() && d.children_sorted(), c.sorted) << c.name;
        EXPECT_EQ(d.checked() && d.children_consecutive(), c.consecutive) << c.name;
        EXPECT_EQ(d.checked() && d.tree(), c.tree) << c.name;
        if (c.tree) {
            EXPECT_EQ(d.max_depth(), c.depth) << c.name;
        }
    }
    // One-byte edge labels, in edge order, only while every label fits.
    const DerivedIndex cat(cat_trie());
    const std::string expected = "cdatrtog";
    EXPECT_EQ(std::string(cat.edge_labels().begin(), cat.edge_labels().end()), expected);
    const DerivedIndex wide(make_trie({0, 1}, std::u32string(U"\0\u0100", 2), {1}, {0, 1}));
    EXPECT_TRUE(wide.checked());
    EXPECT_TRUE(wide.edge_labels().empty());
}

TEST(Matcher, PrefixNodesNeedNoTerminalFlags) {
    // Without terminal_only the flags are never read, so a missing one is harmless.
    const Trie t = make_trie({0, 1}, std::u32string(U"\0a", 2), {1}, {});
    EXPECT_EQ(fuzzy_match_nodes(t, "a", 1, false, std::nullopt), (std::vector<NodeMatch>{{1, 0}}));
    EXPECT_EQ(panic_of([&] { fuzzy_match_nodes(t, "a", 1, true, std::nullopt); }), oob(0, 1));
}

TEST(Matcher, CyclesEndOnceTheRowsLeaveTheBound) {
    const Trie loop = make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0, 1});
    EXPECT_EQ(fuzzy_match(loop, "aaa", 1, std::nullopt),
              (std::vector<MatchResult>{{"aa", 1, 1}, {"aaa", 1, 0}, {"aaaa", 1, 1}}));
}

TEST(Matcher, SharedChildIsReportedOnEveryPath) {
    // root -> 1 'a', 2 'b'; both lead to 3 'c' (terminal)
    const Trie t = make_trie({0, 2, 3, 4}, std::u32string(U"\0abc", 4), {1, 2, 3, 3}, {0, 0, 0, 1});
    EXPECT_EQ(fuzzy_match(t, "ac", 1, std::nullopt), (std::vector<MatchResult>{{"ac", 3, 0}, {"bc", 3, 1}}));
}

// ---------------------------------------------------------------- oracle

std::size_t levenshtein(const std::u32string& a, const std::u32string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({up + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

// Every path from the root in pre-order (no pruning), spelled out and
// measured against the whole query.
struct Oracle {
    const Trie& trie;
    std::u32string query;
    std::size_t bound;
    bool terminal_only;
    std::vector<MatchResult> out;

    void visit(std::uint32_t v, std::u32string& path) {
        const std::size_t start = trie.node_shifts[v];
        const std::size_t end =
            v + 1 < trie.node_shifts.size() ? trie.node_shifts[v + 1] : trie.child_transitions.size();
        for (std::size_t k = start; k < end; ++k) {
            const std::uint32_t c = trie.child_transitions[k];
            if (trie.child_labels[c] == U'\0') {
                continue;
            }
            path.push_back(trie.child_labels[c]);
            const std::size_t d = levenshtein(path, query);
            if (d <= bound && (!terminal_only || trie.is_terminal[c])) {
                std::string text;
                for (char32_t ch : path) {
                    append_utf8(text, ch);
                }
                out.push_back(MatchResult{text, c, static_cast<std::uint32_t>(d)});
            }
            visit(c, path);
            path.pop_back();
        }
    }
};

const char32_t kAlphabet[] = {U'a', U'b', U'é', U'\U0001F600'};

// A random index: every node but the root gets one parent of lower number
// and, now and then, a second one (a shared child); children come in random
// order; some labels are U+0000.
Trie random_trie(std::mt19937& rng) {
    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 14)(rng);
    std::vector<std::vector<std::uint32_t>> children(n);
    Trie t;
    t.child_labels.push_back(U'\0');
    for (std::size_t i = 1; i < n; ++i) {
        const bool unlabelled = rng() % 12 == 0;
        t.child_labels.push_back(unlabelled ? U'\0' : kAlphabet[rng() % 4]);
        children[rng() % i].push_back(static_cast<std::uint32_t>(i));
        if (rng() % 6 == 0) {
            children[rng() % i].push_back(static_cast<std::uint32_t>(i));
        }
    }
    for (std::size_t v = 0; v < n; ++v) {
        std::shuffle(children[v].begin(), children[v].end(), rng);
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_transitions.insert(t.child_transitions.end(), children[v].begin(), children[v].end());
        t.is_terminal.push_back(rng() % 2 == 0 ? 1 : 0);
    }
    t.payloads.resize(n);
    return t;
}

// A trie of random words over `letters` of kWide: deeper paths than above.
// With `sorted`, children come in ascending label order (after a U+0000
// child now and then), as a sealed trie can then look labels up.
const char32_t kWide[] = {U'a', U'b', U'é', U'c', U'd', U'e', U'f', U'g', U'h', U'i', U'j', U'k', U'\U0001F600'};

// Forty one-byte letters: nodes with more children than one 16-byte search
// covers.
const std::u32string kBytes = U"abcdefghijklmnopqrstuvwxyz\u00e0\u00e1\u00e2\u00e3\u00e4\u00e5\u00e6\u00e7\u00e8\u00e9\u00ea\u00eb\u00ec\u00ff";

// With `head`, the first `head` letters of each word are among the first
// three of the alphabet, so that the nodes below them have many children.
Trie random_word_trie(std::mt19937& rng, std::size_t letters = 3, bool sorted = false,
                      std::u32string_view alphabet = std::u32string_view(kWide, std::size(kWide)),
                      std::size_t head = 0) {
    std::vector<std::vector<std::uint32_t>> children(1);
    Trie t;
    t.child_labels.push_back(U'\0');
    t.is_terminal.push_back(0);
    const std::size_t words = std::uniform_int_distribution<std::size_t>(1, head > 0 ? 400 : sorted ? 160 : 8)(rng);
    for (std::size_t w = 0; w < words; ++w) {
        const std::size_t len = std::uniform_int_distribution<std::size_t>(0, 14)(rng);
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < len; ++i) {
            const char32_t c = alphabet[rng() % (i < head ? 3 : letters)];
            std::uint32_t next = 0;
            for (std::uint32_t child : children[v]) {
                if (t.child_labels[child] == c) {
                    next = child;
                }
            }
            if (next == 0) {
                next = static_cast<std::uint32_t>(t.child_labels.size());
                t.child_labels.push_back(c);
                t.is_terminal.push_back(0);
                children.emplace_back();
                children[v].push_back(next);
            }
            v = next;
        }
        t.is_terminal[v] = v == 0 ? 0 : 1;
    }
    for (auto& list : children) {
        if (sorted) {
            std::sort(list.begin(), list.end(),
                      [&](std::uint32_t x, std::uint32_t y) { return t.child_labels[x] < t.child_labels[y]; });
            if (rng() % 5 == 0) {
                list.insert(list.begin(), static_cast<std::uint32_t>(t.child_labels.size()));
                t.child_labels.push_back(U'\0');  // a leaf, never entered
                t.is_terminal.push_back(1);
            }
        } else {
            std::shuffle(list.begin(), list.end(), rng);
        }
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_transitions.insert(t.child_transitions.end(), list.begin(), list.end());
    }
    // The unlabelled leaves were added after their parents' entries.
    t.node_shifts.resize(t.child_labels.size(), static_cast<std::uint32_t>(t.child_transitions.size()));
    t.payloads.resize(t.child_labels.size());
    return t;
}

// The same tree with its nodes numbered breadth-first, so that each node's
// children are consecutive nodes.
Trie breadth_first(const Trie& tree) {
    std::vector<std::uint32_t> order{0};
    for (std::size_t i = 0; i < order.size(); ++i) {
        const EdgeRange r = tree.children(order[i]);
        for (std::size_t k = r.start; k < r.end; ++k) {
            order.push_back(tree.child_transitions[k]);
        }
    }
    Trie t;
    std::uint32_t next = 1;
    for (std::uint32_t old : order) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_labels.push_back(tree.child_labels[old]);
        t.is_terminal.push_back(tree.is_terminal[old]);
        const EdgeRange r = tree.children(old);
        for (std::size_t k = r.start; k < r.end; ++k) {
            t.child_transitions.push_back(next++);
        }
    }
    t.payloads.resize(t.child_labels.size());
    return t;
}

std::u32string random_query(std::mt19937& rng, std::size_t max_len) {
    std::u32string q;
    const std::size_t len = std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
    for (std::size_t i = 0; i < len; ++i) {
        q.push_back(rng() % 9 == 0 ? U'z' : rng() % 3 == 0 ? kWide[rng() % std::size(kWide)] : kAlphabet[rng() % 4]);
    }
    return q;
}

// Words as random_word_trie(..., kBytes, 2) makes them, now and then with a
// code point whose low byte is a letter's (U+0161 and 'a') or an unlabelled
// child's (U+0100 and U+0000), or U+0000.
std::u32string random_byte_query(std::mt19937& rng, std::size_t max_len) {
    static const char32_t kDecoys[] = {U'\u0161', U'\u0100', U'\0'};
    std::u32string q;
    const std::size_t len = std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
    for (std::size_t i = 0; i < len; ++i) {
        q.push_back(rng() % 12 == 0 ? kDecoys[rng() % 3] : kBytes[rng() % (i < 2 ? 3 : kBytes.size())]);
    }
    return q;
}

void check_against_oracle(const Trie& t, const std::u32string& query, std::uint32_t max_dist, Limit limit) {
    std::string term;
    for (char32_t c : query) {
        append_utf8(term, c);
    }
    for (bool terminal_only : {true, false}) {
        Oracle oracle{t, query, std::min<std::uint32_t>(max_dist, 65535), terminal_only, {}};
        std::u32string path;
        oracle.visit(0, path);
        std::vector<MatchResult> expected = oracle.out;
        if (limit && expected.size() > *limit) {
            expected.resize(*limit);
        }
        std::vector<NodeMatch> expected_nodes;
        for (const MatchResult& m : expected) {
            expected_nodes.push_back(NodeMatch{m.node, m.distance});
        }
        ASSERT_EQ(fuzzy_match_nodes(t, term, max_dist, terminal_only, limit), expected_nodes)
            << "term " << term << " max_dist " << max_dist << " terminal_only " << terminal_only;
        if (terminal_only) {
            ASSERT_EQ(fuzzy_match(t, term, max_dist, limit), expected) << "term " << term << " max_dist " << max_dist;
            // Into a list that held something: replaced, not added to.
            std::vector<MatchResult> reused{MatchResult{"stale", 7, 7}, MatchResult{"older", 8, 8}};
            fuzzy_match(SearchIndex(Trie(t)), term, max_dist, limit, reused);
            ASSERT_EQ(reused, expected) << "reused list, term " << term << " max_dist " << max_dist;
        }
    }
}

// Rounds cycle through: random index, word trie (both walked through the
// checked reads), the same two sealed, a sealed word trie over a wider
// alphabet with its children in label order, the same numbered
// breadth-first (consecutive children), and one over forty one-byte letters,
// also breadth-first, with queries that hold decoys.
TEST(MatcherOracle, RandomIndexesAndQueries) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 7000; ++round) {
        const int kind = round % 7;
        Trie t = kind == 0 || kind == 2 ? random_trie(rng)
                 : kind == 4            ? random_word_trie(rng, std::size(kWide), true)
                 : kind == 5            ? breadth_first(random_word_trie(rng, std::size(kWide), true))
                 : kind == 6            ? breadth_first(random_word_trie(rng, kBytes.size(), true, kBytes, 2))
                                        : random_word_trie(rng);
        const DerivedIndex d(t);
        ASSERT_TRUE(d.checked());
        if (kind >= 4) {
            ASSERT_TRUE(d.children_sorted()) << "round " << round;
            ASSERT_TRUE(kind == 4 || d.children_consecutive()) << "round " << round;
        }
        for (int query = 0; query < 4; ++query) {
            const std::u32string q = kind == 6 ? random_byte_query(rng, 10)
                                     : random_query(rng, kind == 0 || kind == 2 ? 5 : 16);
            const std::uint32_t max_dist = rng() % 10 == 0 ? (rng() % 2 ? 9 : 70000) : rng() % 4;
            check_against_oracle(t, q, max_dist, std::nullopt);
            check_against_oracle(t, q, max_dist, static_cast<std::uint32_t>(1 + rng() % 4));
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// A trie of the given words, children in label order, numbered
// breadth-first.
Trie sealed_word_trie(const std::vector<std::u32string>& words) {
    std::vector<std::map<char32_t, std::uint32_t>> kids(1);
    Trie t;
    t.child_labels.push_back(U'\0');
    t.is_terminal.push_back(0);
    for (const std::u32string& w : words) {
        std::uint32_t v = 0;
        for (char32_t c : w) {
            auto it = kids[v].find(c);
            if (it == kids[v].end()) {
                const auto next = static_cast<std::uint32_t>(t.child_labels.size());
                kids[v].emplace(c, next);
                kids.emplace_back();
                t.child_labels.push_back(c);
                t.is_terminal.push_back(0);
                v = next;
            } else {
                v = it->second;
            }
        }
        t.is_terminal[v] = v == 0 ? 0 : 1;
    }
    for (const auto& list : kids) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        for (const auto& [label, child] : list) {
            t.child_transitions.push_back(child);
        }
    }
    t.payloads.resize(t.child_labels.size());
    return breadth_first(t);
}

// Terms far longer than a 64-bit mask: words of 60 to 90 letters over three,
// queried with a few edits, max_dist up to the widest masks (31) and past
// them (32, rows of cells).
TEST(MatcherOracle, LongTermsOnSealedTries) {
    std::mt19937 rng(20261209);
    const std::u32string letters = U"abc";
    for (int round = 0; round < 30; ++round) {
        std::vector<std::u32string> words(5 + rng() % 10);
        for (std::u32string& w : words) {
            w.resize(60 + rng() % 31);
            for (char32_t& c : w) {
                c = letters[rng() % 3];
            }
        }
        // Shared long prefixes too.
        words.push_back(words[0].substr(0, 40) + words[1].substr(40));
        const Trie t = sealed_word_trie(words);
        const DerivedIndex d(t);
        ASSERT_TRUE(d.checked() && d.children_sorted() && d.children_consecutive());
        for (int query = 0; query < 4; ++query) {
            std::u32string q = words[rng() % words.size()];
            for (unsigned e = rng() % 4; e > 0; --e) {
                const std::size_t at = rng() % q.size();
                switch (rng() % 3) {
                    case 0: q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), U'd'); break;
                    case 1: q[at] = letters[rng() % 3]; break;
                    default: q.erase(q.begin() + static_cast<std::ptrdiff_t>(at)); break;
                }
            }
            const std::uint32_t max_dist = query == 3 ? (rng() % 2 ? 31 : 32) : rng() % 5;
            check_against_oracle(t, q, max_dist, std::nullopt);
            check_against_oracle(t, q, max_dist, static_cast<std::uint32_t>(1 + rng() % 3));
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// The label sets seal keeps for the root's children: each child's children
// by label, kept only for tries whose children are consecutive, in label
// order and labelled in one byte.
TEST(MatcherOneEdit, SealKeepsLabelSetsOfTheRootsChildren) {
    const Trie t = sealed_word_trie({U"ab", U"a\u00ff", U"b", U"bz", U"c"});
    const auto node_of = [&](std::u32string_view text) {
        std::uint32_t node = 0;
        for (const char32_t label : text) {
            const EdgeRange r = t.children(node);
            for (std::size_t k = r.start; k < r.end; ++k) {
                if (t.child_labels[t.child_transitions[k]] == label) {
                    node = t.child_transitions[k];
                }
            }
        }
        return node;
    };
    const DerivedIndex derived(t);
    const auto sets = derived.root_child_sets();
    ASSERT_EQ(sets.size(), 3U);  // a, b, c
    struct Case {
        std::size_t set;
        std::uint8_t label;
        const char32_t* text;  // the child it leads to, or null for none
    };
    const Case cases[] = {
        {0, 'b', U"ab"}, {0, 0xFF, U"a\u00ff"}, {0, 'a', nullptr}, {0, 0, nullptr},
        {1, 'z', U"bz"}, {1, 'b', nullptr},      {2, 'a', nullptr}, {2, 0xFF, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sets[c.set].has(c.label), c.text != nullptr) << c.set << " " << int{c.label};
        if (c.text != nullptr) {
            EXPECT_EQ(sets[c.set].child(c.label), node_of(c.text)) << c.set << " " << int{c.label};
        }
    }
    // None where the walk cannot use them.
    EXPECT_TRUE(DerivedIndex(cat_trie()).root_child_sets().empty());
    EXPECT_TRUE(DerivedIndex(make_trie({0, 1}, std::u32string(U"\0\u0100", 2), {1}, {0, 1})).root_child_sets().empty());
}

// Max_dist 1 on a sealed trie of one-byte labels: texts that one edit
// reaches in more than one way (runs of a letter) are listed once, in walk
// order, as are edits at either end of the term.
struct OneEditCase {
    const char* term;
    Limit limit;
    std::vector<std::pair<const char*, std::uint32_t>> expected;  // text, distance
};

TEST(MatcherOneEdit, RunsAndEndsListedOnceInWalkOrder) {
    const Trie t = sealed_word_trie({U"ab", U"aab", U"aaab", U"aaaab", U"aabb", U"aba", U"b", U"ba", U"a", U"ca"});
    ASSERT_FALSE(DerivedIndex(t).edge_labels().empty());
    const OneEditCase cases[] = {
        {"aab", std::nullopt, {{"aaab", 1}, {"aab", 0}, {"aabb", 1}, {"ab", 1}}},
        {"aab", 2, {{"aaab", 1}, {"aab", 0}}},
        {"aaab", std::nullopt, {{"aaaab", 1}, {"aaab", 0}, {"aab", 1}, {"aabb", 1}}},
        {"a", std::nullopt, {{"a", 0}, {"ab", 1}, {"b", 1}, {"ba", 1}, {"ca", 1}}},
        {"", std::nullopt, {{"a", 1}, {"b", 1}}},
        {"b", std::nullopt, {{"a", 1}, {"ab", 1}, {"b", 0}, {"ba", 1}}},
        {"xa", std::nullopt, {{"a", 1}, {"ba", 1}, {"ca", 1}}},
        {"ba\xc5\xa1", std::nullopt, {{"ba", 1}}},
        {"a\xc5\xa1" "b", std::nullopt, {{"aab", 1}, {"ab", 1}}},
    };
    for (const OneEditCase& c : cases) {
        std::vector<MatchResult> expected;
        for (const auto& [text, distance] : c.expected) {
            std::uint32_t node = 0;
            for (const char32_t label : decode_utf8(text)) {
                const EdgeRange r = t.children(node);
                for (std::size_t k = r.start; k < r.end; ++k) {
                    if (t.child_labels[t.child_transitions[k]] == label) {
                        node = t.child_transitions[k];
                    }
                }
            }
            expected.push_back(MatchResult{text, node, distance});
        }
        EXPECT_EQ(fuzzy_match(t, c.term, 1, c.limit), expected) << "term " << c.term;
    }
}

// The same against the oracle on nodes of more than 64 children (short
// words over 190 one-byte letters, most of them starting with one of three),
// with terms a few edits from the words and code points no one byte holds.
TEST(MatcherOneEdit, WideNodesAgreeWithOracle) {
    std::mt19937 rng(20261210);
    std::u32string letters;
    for (char32_t c = U'!'; c <= U'\u00ff'; ++c) {
        if (c < U'\u007f' || c > U'\u009f') {
            letters.push_back(c);
        }
    }
    for (int round = 0; round < 12; ++round) {
        std::vector<std::u32string> words(2000);
        for (std::u32string& w : words) {
            w.resize(1 + rng() % 4);
            for (std::size_t i = 0; i < w.size(); ++i) {
                // Mostly three first letters, each with up to 190 next ones.
                w[i] = letters[rng() % (i == 1 || rng() % 8 == 0 ? letters.size() : i == 0 ? 3 : 6)];
            }
        }
        const Trie t = sealed_word_trie(words);
        ASSERT_FALSE(DerivedIndex(t).edge_labels().empty());
        for (int query = 0; query < 40; ++query) {
            std::u32string q = words[rng() % words.size()];
            for (unsigned e = rng() % 3; e > 0; --e) {
                const std::size_t at = rng() % (q.size() + 1);
                const char32_t c = rng() % 8 == 0 ? U'\u0161' : letters[rng() % letters.size()];
                if (rng() % 2 == 0 || q.empty()) {
                    q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), c);
                } else {
                    q.erase(q.begin() + static_cast<std::ptrdiff_t>(std::min(at, q.size() - 1)));
                }
            }
            check_against_oracle(t, q, 1, std::nullopt);
            check_against_oracle(t, q, 1, static_cast<std::uint32_t>(1 + rng() % 3));
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}


// ---------------------------------------------------------------- engines

// Every engine against the plain checked walk: the same records, in the same
// order, for both reporters and with and without a limit.
template <class Reporter, class Out>
Out run_one(walk::Engine engine, const SearchIndex& index, const std::u32string& q, std::uint32_t bound,
            Limit limit, Reporter reporter_of(Out&)) {
    Out out;
    Reporter reporter = reporter_of(out);
    walk::Recorder<Reporter> recorder(index.trie(), reporter, limit, {});
    if (engine == walk::Engine::kChecked) {
        walk::walk_checked(index.trie(), q, bound, recorder);
    } else {
        walk::run_engine(engine, index, q, bound, recorder);
    }
    return out;
}

walk::TermReporter terms_into(std::vector<MatchResult>& out) { return walk::TermReporter{out}; }
walk::NodeReporter prefixes_into(std::vector<NodeMatch>& out) { return walk::NodeReporter{out, false}; }

void check_engines_agree(const SearchIndex& index, const std::u32string& q, std::uint32_t bound, Limit limit) {
    // kScheme gives way to kBanded wherever it cannot serve (prefix nodes,
    // an index without the reversed terms).
    std::vector<walk::Engine> engines{walk::Engine::kBanded, walk::Engine::kScheme, walk::Engine::kDirect,
                                      walk::choose_engine(index.derived(), q.size(), bound),
                                      walk::choose_engine(index.derived(), q.size(), bound, true)};
    if (bound == 1 && walk::one_edit_applies(index.derived())) {
        engines.push_back(walk::Engine::kOneEdit);
    }
    const auto terms = run_one(walk::Engine::kChecked, index, q, bound, limit, terms_into);
    const auto nodes = run_one(walk::Engine::kChecked, index, q, bound, limit, prefixes_into);
    for (walk::Engine engine : engines) {
        ASSERT_EQ(run_one(engine, index, q, bound, limit, terms_into), terms)
            << "engine " << static_cast<int>(engine) << " term " << encode_utf8(q) << " bound " << bound;
        ASSERT_EQ(run_one(engine, index, q, bound, limit, prefixes_into), nodes)
            << "engine " << static_cast<int>(engine) << " term " << encode_utf8(q) << " bound " << bound;
    }
}

// Gives up to `count` leaves of `t` one child each, a node already there:
// the leaf itself, the root, or any other (a node listed twice, a node with
// two parents, a cycle). One-child ranges keep the children consecutive and
// in label order, so the fastest engines still run on the result.
Trie with_stray_edges(Trie t, std::mt19937& rng, std::size_t count) {
    const std::size_t n = t.node_count();
    for (std::size_t added = 0; added < count; ++added) {
        const auto v = static_cast<std::uint32_t>(rng() % n);
        if (!t.children(v).empty()) {
            continue;
        }
        const std::uint32_t target = rng() % 3 == 0 ? v : rng() % 3 == 0 ? 0 : static_cast<std::uint32_t>(rng() % n);
        const std::size_t at = t.node_shifts[v];
        t.child_transitions.insert(t.child_transitions.begin() + static_cast<std::ptrdiff_t>(at), target);
        for (std::size_t u = v + 1; u < n; ++u) {
            ++t.node_shifts[u];
        }
    }
    return t;
}

// Random tries of every shape (shared and repeated children, U+0000 labels,
// cycles, children in any order or in label order and consecutive), random
// queries with decoys, bounds 0 to 4 and now and then far wider.
TEST(Engines, EveryEngineGivesTheCheckedWalksRecordsInOrder) {
    std::mt19937 rng(16161616);
    for (int round = 0; round < 3000; ++round) {
        const int kind = round % 5;
        Trie t = kind == 0   ? random_trie(rng)
                 : kind == 1 ? random_word_trie(rng)
                 : kind == 2 ? breadth_first(random_word_trie(rng, std::size(kWide), true))
                             : breadth_first(random_word_trie(rng, kBytes.size(), true, kBytes, 2));
        if (kind >= 3 && t.node_count() > 1) {
            t = with_stray_edges(std::move(t), rng, 1 + rng() % 4);
        }
        const SearchIndex index{std::move(t)};
        ASSERT_TRUE(index.derived().checked());
        for (int query = 0; query < 4; ++query) {
            const std::u32string q = kind >= 3 ? random_byte_query(rng, 10) : random_query(rng, kind == 0 ? 5 : 16);
            const std::uint32_t bound = rng() % 12 == 0 ? 9 + rng() % 30 : rng() % 5;
            check_engines_agree(index, q, bound, std::nullopt);
            check_engines_agree(index, q, bound, static_cast<std::uint32_t>(1 + rng() % 4));
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// The one-edit walk knows a child from its edge's position only where every
// edge k leads to node k + 1; consecutive children laid out otherwise read
// their edges. Both forms against the checked walk.
TEST(Engines, OneEditWalkWithEdgesInNodeOrderAndWithout) {
    std::mt19937 rng(18181818);
    const Trie laid = breadth_first(random_word_trie(rng, kBytes.size(), true, kBytes, 2));
    // An edge no node owns put first: still consecutive, but edge k now
    // leads to node k.
    Trie moved = laid;
    moved.child_transitions.insert(moved.child_transitions.begin(), 0);
    for (std::uint32_t& shift : moved.node_shifts) {
        ++shift;
    }
    struct Case {
        const char* name;
        const Trie& trie;
        bool node_order;
    };
    for (const Case& c : {Case{"breadth first", laid, true}, Case{"an edge first that no node owns", moved, false}}) {
        SCOPED_TRACE(c.name);
        const SearchIndex index{Trie(c.trie)};
        ASSERT_TRUE(walk::one_edit_applies(index.derived()));
        EXPECT_EQ(index.derived().edges_in_node_order(), c.node_order);
        for (int query = 0; query < 200; ++query) {
            const std::u32string q = random_byte_query(rng, 10);
            check_engines_agree(index, q, 1, std::nullopt);
            check_engines_agree(index, q, 1, 2u);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// The one-edit walk follows the query's path and the edits made along it
// together, a level a pass: queries whose path stops at every depth (at the
// root, midway, at the query's end, past the deepest term), with repeated
// code points (one canonical deletion of a run), short enough to skip the
// root's label sets (two code points) or not, and terms as prefixes of one
// another, against the checked walk with both reporters and with limits.
TEST(Engines, OneEditWalkWhereverThePathStops) {
    const SearchIndex index{breadth_first(sealed_word_trie(
        {U"abcde", U"abcdf", U"abd", U"abxde", U"bbcde", U"aabcde", U"abccde", U"ab", U"a", U"abcdefg", U"ba",
         U"abcdde", U"zz"}))};
    ASSERT_TRUE(walk::one_edit_applies(index.derived()));
    ASSERT_TRUE(index.derived().edges_in_node_order());
    const char32_t* queries[] = {U"", U"a", U"b", U"q", U"ab", U"ax", U"xb", U"abc", U"abx", U"abcd", U"abcde",
                                 U"xbcde", U"axcde", U"abxde", U"abcxe", U"abcdx", U"abcdef", U"abcdefgh",
                                 U"abcdefghij", U"aabbccdde", U"abbcde", U"aaa", U"zzz", U"acbde", U"bcde"};
    for (const char32_t* q : queries) {
        for (const Limit limit : {Limit{}, Limit{1}, Limit{3}}) {
            check_engines_agree(index, q, 1, limit);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// A seeded sample of the word list, laid out as the builder lays it out, with
// queries made from its words by a few edits.
TEST(Engines, AgreeOnAWordListSample) {
    std::ifstream list("/usr/share/dict/american-english-insane");
    if (!list) {
        GTEST_SKIP() << "no word list";
    }
    std::vector<std::u32string> all;
    for (std::string line; std::getline(list, line);) {
        all.push_back(decode_utf8(line));
    }
    std::mt19937 rng(1616);
    std::vector<std::u32string> words;
    for (std::size_t i = 0; i < 4000; ++i) {
        words.push_back(all[rng() % all.size()]);
    }
    const SearchIndex index{sealed_word_trie(words)};
    ASSERT_TRUE(index.derived().tree());
    for (int query = 0; query < 300; ++query) {
        std::u32string q = words[rng() % words.size()];
        for (unsigned e = rng() % 3; e > 0 && !q.empty(); --e) {
            const std::size_t at = rng() % q.size();
            switch (rng() % 3) {
                case 0: q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), U'a' + rng() % 26); break;
                case 1: q[at] = U'a' + rng() % 26; break;
                default: q.erase(q.begin() + static_cast<std::ptrdiff_t>(at)); break;
            }
        }
        for (std::uint32_t bound : {0u, 1u, 2u, 3u}) {
            check_engines_agree(index, q, bound, std::nullopt);
            check_engines_agree(index, q, bound, 3u);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// Past the deepest path plus the bound nothing matches, and a checked tree
// answers at once; an index that is no tree walks (a cycle makes every
// length reachable).
TEST(Engines, TermsLongerThanTheDeepestPathPlusTheBoundFindNothing) {
    const SearchIndex tree{chain(3, U'a')};
    ASSERT_TRUE(tree.derived().tree());
    EXPECT_EQ(tree.derived().max_depth(), 3u);
    EXPECT_EQ(walk::choose_engine(tree.derived(), 5, 2), walk::Engine::kBanded);
    EXPECT_EQ(walk::choose_engine(tree.derived(), 6, 2), walk::Engine::kNothing);
    // Bands too wide for one word per level take the follower.
    EXPECT_EQ(walk::choose_engine(tree.derived(), 5, 31), walk::Engine::kBanded);
    EXPECT_EQ(walk::choose_engine(tree.derived(), 5, 32), walk::Engine::kDirect);
    EXPECT_EQ(fuzzy_match(tree, "aaaaa", 2, std::nullopt), (std::vector<MatchResult>{{"aaa", 3, 2}}));
    EXPECT_TRUE(fuzzy_match(tree, "aaaaaa", 2, std::nullopt).empty());
    const SearchIndex loop{make_trie({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0, 1})};
    EXPECT_FALSE(loop.derived().tree());
    EXPECT_EQ(fuzzy_match(loop, "aaaaaa", 0, std::nullopt).size(), 1u);
}

// The poll comes on every kPollSteps-th step, whether the engine counts its
// steps one by one or a pass at a time (then at most once a pass), and the
// statistics hook still hears of every step.
struct CountingReporter {
    static constexpr bool kSpellsPath = false;
    std::size_t steps = 0;
    bool accepts(const Trie&, std::uint32_t) const { return true; }
    void record(std::uint32_t, std::uint32_t, std::span<const char32_t>) {}
    void restart() {}
    void on_step() { ++steps; }
};

TEST(Recorder, PollComesEveryPollStepsOneByOneOrInRuns) {
    constexpr std::size_t P = walk::kPollSteps;
    struct Case {
        std::vector<std::size_t> runs;  // 1 is step(), anything else steps(n)
        std::size_t polls;
    };
    const Case cases[] = {
        {{P - 1}, 0},
        {{P}, 1},
        {{P - 1, 1}, 1},
        {{P / 2, P / 2, P / 2}, 1},
        {{P, P - 1}, 1},
        {{P, P}, 2},
        {{3 * P}, 1},  // one run polls once, then counts afresh
        {{3 * P, P - 1, 1}, 2},
        {{0, 0, P - 1}, 0},
    };
    Trie trie;
    for (const Case& c : cases) {
        std::size_t polls = 0;
        CountingReporter reporter;
        walk::Recorder<CountingReporter> recorder(
            trie, reporter, std::nullopt, walk::Poll{[](void* n) { ++*static_cast<std::size_t*>(n); }, &polls});
        std::size_t total = 0;
        for (const std::size_t run : c.runs) {
            if (run == 1) {
                recorder.step();
            } else {
                recorder.steps(run);
            }
            total += run;
        }
        EXPECT_EQ(polls, c.polls) << "runs " << c.runs.size() << " total " << total;
        EXPECT_EQ(reporter.steps, total);
    }
    // One by one, the poll comes on the very step it always came on.
    std::size_t polls = 0;
    CountingReporter reporter;
    walk::Recorder<CountingReporter> recorder(
        trie, reporter, std::nullopt, walk::Poll{[](void* n) { ++*static_cast<std::size_t*>(n); }, &polls});
    for (std::size_t k = 1; k <= 2 * P; ++k) {
        recorder.step();
        ASSERT_EQ(polls, k / P) << "step " << k;
    }
}

// The payload read-ahead reads nothing it may not (a sanitizer build would
// fault) for slots present, absent, sharing, beyond the table, and in a
// table stored last slot first, and leaves every slot as it was.
TEST(PayloadReadAhead, AnySlotAndTheTableUnchanged) {
    const std::vector<std::optional<Payload>> slots{
        Payload{5, {1, 2}, {3, 4}}, std::nullopt, Payload{7, {9}, {70000}}, Payload{5, {1, 2}, {3, 4}}, std::nullopt,
        Payload{0, {}, {}}};
    for (const bool reversed : {false, true}) {
        PayloadTable table;
        for (std::size_t n = 0; n < slots.size(); ++n) {
            table.push(slots[n]);
            if (n == 3) {
                ASSERT_TRUE(table.share_last_if_same_as(0));
            }
        }
        table.push_same_as(2);
        if (reversed) {
            table.reverse();
        }
        const PayloadTable before = table;
        for (std::size_t n = 0; n < table.size() + 3; ++n) {
            table.ask_slot(n);
            table.ask_record(n);
            table.ask_lists(n);
        }
        EXPECT_TRUE(table == before);
        for (std::size_t n = 0; n < table.size(); ++n) {
            const std::size_t slot = reversed ? table.size() - 1 - n : n;
            const std::optional<Payload> expected = slot < slots.size() ? slots[slot] : slots[2];
            EXPECT_EQ(table.get(n), expected) << "slot " << n << (reversed ? " reversed" : "");
        }
    }
}

}  // namespace
}  // namespace quillmesh
