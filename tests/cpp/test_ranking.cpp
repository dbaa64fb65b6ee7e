#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "failures.hpp"
#include "ranking.hpp"

namespace quillmesh {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct NodeSpec {
    bool terminal;
    std::optional<Payload> payload;
};

// A trie holding only what ranking reads: terminal flags, payloads and the
// identifier table (Int32 ids 1000 + video number unless given).
Trie ranking_trie(const std::vector<NodeSpec>& nodes, std::size_t id_count = 16) {
    Trie t;
    for (const NodeSpec& n : nodes) {
        t.is_terminal.push_back(n.terminal ? 1 : 0);
        t.payloads.push(n.payload);
        t.child_labels.push_back(U'x');
    }
    t.id_mode = IdMode::Int32;
    for (std::uint32_t v = 0; v < id_count; ++v) {
        t.video_int_ids.push_back(1000 + v);
    }
    return t;
}

Payload pay(std::uint32_t total, std::vector<std::uint32_t> ids, std::vector<std::uint32_t> counts) {
    return Payload{total, std::move(ids), std::move(counts)};
}

std::string id(std::uint32_t video) { return std::to_string(1000 + video); }

TEST(NodeWeight, FollowsDistanceTermLengthAndKind) {
    struct Case {
        std::uint32_t d;
        std::size_t n;
        bool terminal;
        double expected;
    } cases[] = {
        {0, 0, true, 1.0},
        {0, 5, false, 0.85},
        {1, 0, true, 0.0},    // empty term: every fuzzy match weighs nothing
        {1, 1, true, 0.0},    // one code point: only exact matches count
        {2, 1, false, 0.0},
        {1, 2, true, 0.025},  // exactly, in double arithmetic
        {1, 2, false, 0.025 * 0.85},
        {2, 2, true, 0.0},
        {1, 3, true, (1.0 - 1.0 / 3.0) * 0.05},
        {2, 3, false, (1.0 - 2.0 / 3.0) * 0.05 * 0.85},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(node_weight(c.d, c.n, c.terminal), c.expected) << "d=" << c.d << " n=" << c.n;
    }
}

TEST(IdText, RendersBothModes) {
    EXPECT_EQ(int_id_text(0), "0");
    EXPECT_EQ(int_id_text(4294967295u), "4294967295");
    EXPECT_EQ(int_id_text(1000000), "1000000");
    Uuid seq{};
    for (std::uint8_t i = 0; i < 16; ++i) {
        seq[i] = i;
    }
    EXPECT_EQ(uuid_text(seq), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    Uuid high{};
    high.fill(0xAB);
    high[15] = 0xF0;
    EXPECT_EQ(uuid_text(high), "abababab-abab-abab-abab-abababababf0");
}

TEST(RankNodeMatches, WorkedExample) {
    // P: exact terminal match; Q: distance 1 on a three-code-point term.
    Trie t = ranking_trie({{true, pay(0, {}, {})},
                           {true, pay(10, {1, 2}, {6, 4})},
                           {true, pay(20, {3}, {20})}});
    const std::vector<NodeMatch> m = {{1, 0}, {2, 1}};
    const double w = (1.0 - 1.0 / 3.0) * 0.05;
    const double total = 10.0 + w * 20.0;
    const std::vector<VideoScore> all = rank_node_matches(t, m, 3, std::nullopt, std::nullopt);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], (VideoScore{id(1), 0.5625}));
    EXPECT_EQ(all[1], (VideoScore{id(2), 0.375}));
    EXPECT_EQ(all[2], (VideoScore{id(3), w * 20.0 / total}));
    EXPECT_NEAR(all[2].score, 0.0625, 1e-15);
    EXPECT_EQ(rank_node_matches(t, m, 3, std::nullopt, 0.1),
              (std::vector<VideoScore>{{id(1), 0.5625}, {id(2), 0.375}}));
    EXPECT_EQ(rank_node_matches(t, m, 3, 1u, std::nullopt), (std::vector<VideoScore>{{id(1), 0.5625}}));
}

struct RankCase {
    const char* name;
    std::vector<NodeSpec> nodes;
    std::vector<NodeMatch> matches;
    std::size_t term_length;
    std::optional<std::uint32_t> limit;
    std::optional<double> min_score;
    std::vector<VideoScore> expected;
};

TEST(RankNodeMatches, EdgeCases) {
    const NodeSpec root{false, std::nullopt};
    const RankCase cases[] = {
        {"same video listed twice adds both counts",
         {root, {true, pay(4, {5, 6, 5}, {1, 1, 2})}}, {{1, 0}}, 2, {}, {},
         {{id(5), 0.75}, {id(6), 0.25}}},
        {"all totals zero",
         {root, {true, pay(0, {1}, {5})}, {false, pay(0, {2}, {5})}}, {{1, 0}, {2, 0}}, 3, {}, {}, {}},
        {"positive total, no videos", {root, {true, pay(9, {}, {})}}, {{1, 0}}, 3, {}, {}, {}},
        {"total counted from a node without videos",
         {root, {true, pay(6, {}, {})}, {true, pay(2, {3}, {2})}}, {{1, 0}, {2, 0}}, 3, {}, {},
         {{id(3), 0.25}}},
        {"absent payload skipped", {root, {true, std::nullopt}, {true, pay(2, {3}, {1})}},
         {{1, 0}, {2, 0}}, 3, {}, {}, {{id(3), 0.5}}},
        {"weightless node adds no total",  // d = n = 1
         {root, {true, pay(1000, {4}, {1000})}, {true, pay(2, {3}, {1})}}, {{1, 1}, {2, 0}}, 1, {}, {},
         {{id(3), 0.5}}},
        {"empty term: only exact matches (none here)",
         {root, {true, pay(2, {3}, {1})}}, {{1, 1}}, 0, {}, {}, {}},
        {"two code points, prefix node at distance 1",
         {root, {false, pay(4, {3}, {1})}}, {{1, 1}}, 2, {}, {},
         {{id(3), (0.025 * 0.85 * 1.0) / (0.025 * 0.85 * 4.0)}}},
        {"min_score 0 keeps zero scores", {root, {true, pay(4, {3, 2}, {4, 0})}}, {{1, 0}}, 3, {}, 0.0,
         {{id(3), 1.0}, {id(2), 0.0}}},
        {"negative min_score keeps zero scores", {root, {true, pay(4, {3, 2}, {4, 0})}}, {{1, 0}}, 3, {},
         -1.0, {{id(3), 1.0}, {id(2), 0.0}}},
        {"default threshold drops zero scores", {root, {true, pay(4, {3, 2}, {4, 0})}}, {{1, 0}}, 3, {},
         {}, {{id(3), 1.0}}},
        {"NaN threshold keeps nothing", {root, {true, pay(4, {3}, {4})}}, {{1, 0}}, 3, {}, kNaN, {}},
        {"score equal to threshold stays", {root, {true, pay(4, {3, 2}, {3, 1})}}, {{1, 0}}, 3, {}, 0.25,
         {{id(3), 0.75}, {id(2), 0.25}}},
        {"score just below threshold goes", {root, {true, pay(4, {3, 2}, {3, 1})}}, {{1, 0}}, 3, {},
         std::nextafter(0.25, 1.0), {{id(3), 0.75}}},
        {"limit 0", {root, {true, pay(4, {3}, {4})}}, {{1, 0}}, 3, 0u, {}, {}},
        {"limit above candidate count", {root, {true, pay(4, {3, 2}, {3, 1})}}, {{1, 0}}, 3, 9u, {},
         {{id(3), 0.75}, {id(2), 0.25}}},
        {"limit equal to candidate count", {root, {true, pay(4, {3, 2}, {3, 1})}}, {{1, 0}}, 3, 2u, {},
         {{id(3), 0.75}, {id(2), 0.25}}},
        {"ties by ascending video number", {root, {true, pay(4, {9, 2, 5, 7}, {1, 1, 1, 1})}}, {{1, 0}}, 3,
         {}, {}, {{id(2), 0.25}, {id(5), 0.25}, {id(7), 0.25}, {id(9), 0.25}}},
        {"tie straddling the cut keeps the lower numbers",
         {root, {true, pay(8, {9, 2, 5, 7, 1}, {1, 1, 1, 1, 4})}}, {{1, 0}}, 3, 3u, {},
         {{id(1), 0.5}, {id(2), 0.125}, {id(5), 0.125}}},
        {"video beyond the table dropped after the cut",
         {root, {true, pay(8, {3, 40, 2}, {2, 5, 1})}}, {{1, 0}}, 3, 2u, {}, {{id(3), 0.25}}},
        {"scores add across nodes, exact before fuzzy",
         {root, {true, pay(2, {3}, {2})}, {false, pay(4, {3, 4}, {2, 2})}}, {{1, 0}, {2, 1}}, 2, {}, {},
         {{id(3), (2.0 + 0.025 * 0.85 * 2.0) / (2.0 + 0.025 * 0.85 * 4.0)},
          {id(4), (0.025 * 0.85 * 2.0) / (2.0 + 0.025 * 0.85 * 4.0)}}},
    };
    for (const RankCase& c : cases) {
        Trie t = ranking_trie(c.nodes);
        EXPECT_EQ(rank_node_matches(t, c.matches, c.term_length, c.limit, c.min_score), c.expected) << c.name;
    }
}

TEST(RankNodeMatches, MultiByteTermLengthIsInCodePoints) {
    // End to end through the weight: 'hé!' is three code points (four bytes),
    // so distance 1 weighs (1 - 1/3) * 0.05, not (1 - 1/4) * 0.05.
    Trie t = ranking_trie({{false, std::nullopt}, {true, pay(1, {3}, {1})}, {true, pay(3, {4}, {3})}});
    const std::vector<NodeMatch> m = {{1, 0}, {2, 1}};
    const double w = (1.0 - 1.0 / 3.0) * 0.05;
    const std::vector<VideoScore> got = rank_node_matches(t, m, 3, std::nullopt, 0.0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (VideoScore{id(4), w * 3.0 / (1.0 + w * 3.0)}));
}

TEST(RankNodeMatches, UuidIdentifiers) {
    Trie t = ranking_trie({{false, std::nullopt}, {true, pay(3, {1, 0}, {2, 1})}}, 0);
    t.id_mode = IdMode::Uuid;
    Uuid a{};
    Uuid b{};
    for (std::uint8_t i = 0; i < 16; ++i) {
        a[i] = i;
        b[i] = static_cast<std::uint8_t>(0xF0 + i);
    }
    t.video_uuids = {a, b};
    t.video_int_ids = {7, 8};  // ignored in Uuid mode
    EXPECT_EQ(rank_node_matches(t, std::vector<NodeMatch>{{1, 0}}, 1, std::nullopt, std::nullopt),
              (std::vector<VideoScore>{{"f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff", 2.0 / 3.0},
                                       {"00010203-0405-0607-0809-0a0b0c0d0e0f", 1.0 / 3.0}}));
    t.video_uuids = {a};  // video 1 now has no identifier
    EXPECT_EQ(rank_node_matches(t, std::vector<NodeMatch>{{1, 0}}, 1, std::nullopt, std::nullopt),
              (std::vector<VideoScore>{{"00010203-0405-0607-0809-0a0b0c0d0e0f", 1.0 / 3.0}}));
}

TEST(RankNodeMatches, InconsistentIndexPanics) {
    struct Case {
        const char* name;
        std::size_t terminal_len;
        std::size_t payload_len;
        std::vector<NodeMatch> matches;
        const char* message;  // nullptr: no failure
    } cases[] = {
        {"node beyond is_terminal", 2, 4, {{1, 0}, {3, 0}}, "index out of bounds: the len is 2 but the index is 3"},
        {"node beyond payloads", 4, 2, {{1, 0}, {3, 0}}, "index out of bounds: the len is 2 but the index is 3"},
        {"is_terminal read first", 2, 1, {{3, 0}}, "index out of bounds: the len is 2 but the index is 3"},
        {"weightless node is never read", 2, 2, {{1, 0}, {3, 1}}, nullptr},
    };
    for (const Case& c : cases) {
        Trie t = ranking_trie({{false, std::nullopt},
                               {true, pay(2, {1}, {1})},
                               {true, pay(2, {1}, {1})},
                               {true, pay(2, {1}, {1})}});
        t.is_terminal.resize(c.terminal_len);
        t.payloads.resize(c.payload_len);
        if (c.message == nullptr) {
            EXPECT_EQ(rank_node_matches(t, c.matches, 1, std::nullopt, std::nullopt).size(), 1u) << c.name;
            continue;
        }
        try {
            rank_node_matches(t, c.matches, 1, std::nullopt, std::nullopt);
            ADD_FAILURE() << c.name << ": no failure";
        } catch (const IndexOutOfBounds& e) {
            EXPECT_STREQ(e.what(), c.message) << c.name;
        }
    }
    // video_counts shorter than video_ids, on the second matched node.
    Trie t = ranking_trie({{false, std::nullopt}, {true, pay(2, {1}, {1})}, {true, pay(2, {1, 2, 3}, {1})}});
    try {
        rank_node_matches(t, std::vector<NodeMatch>{{1, 0}, {2, 0}}, 1, std::nullopt, std::nullopt);
        ADD_FAILURE() << "short video_counts: no failure";
    } catch (const IndexOutOfBounds& e) {
        EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
    }
}

// The scores recomputed the plain way: an ordered map summed in node order,
// then list order; sorted by score, larger first, ties by video number.
std::vector<VideoScore> plain_ranking(const Trie& t, const std::vector<NodeMatch>& matches, std::size_t n,
                                      std::optional<std::uint32_t> limit, std::optional<double> min_score) {
    std::map<std::uint32_t, double> scores;
    double total = 0.0;
    for (const NodeMatch& m : matches) {
        double w = m.distance == 0 ? 1.0 : n == 0 ? 0.0 : (1.0 - double(m.distance) / double(n)) * 0.05;
        if (w <= 0.0) {
            continue;
        }
        if (!t.is_terminal[m.node]) {
            w *= 0.85;
        }
        const std::optional<Payload> p = t.payloads.get(m.node);
        if (!p) {
            continue;
        }
        total += w * p->total_count;
        for (std::size_t i = 0; i < p->video_ids.size(); ++i) {
            scores[p->video_ids[i]] += w * p->video_counts[i];
        }
    }
    if (total <= 0.0) {
        return {};
    }
    std::vector<std::pair<double, std::uint32_t>> cands;
    for (const auto& [video, s] : scores) {
        if (s / total >= min_score.value_or(0.01)) {
            cands.push_back({s / total, video});
        }
    }
    std::sort(cands.begin(), cands.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    if (limit && *limit < cands.size()) {
        cands.resize(*limit);
    }
    std::vector<VideoScore> out;
    for (const auto& [r, video] : cands) {
        if (video < t.video_int_ids.size()) {
            out.push_back({std::to_string(t.video_int_ids[video]), r});
        }
    }
    return out;
}

TEST(RankNodeMatches, AgreesWithPlainRecomputation) {
    std::mt19937 rng(20261208);
    auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t node_count = pick(1, 12);
        // Few distinct videos and small counts, so equal scores are common.
        const std::uint32_t videos = pick(1, 12);
        std::vector<NodeSpec> nodes;
        for (std::uint32_t v = 0; v < node_count; ++v) {
            NodeSpec s{pick(0, 1) == 1, std::nullopt};
            if (pick(0, 5) != 0) {
                Payload p;
                p.total_count = pick(0, 3) == 0 ? 0 : pick(0, 40);
                for (std::uint32_t k = pick(0, 6); k > 0; --k) {
                    p.video_ids.push_back(pick(0, videos));
                    p.video_counts.push_back(pick(0, 4));
                }
                s.payload = p;
            }
            nodes.push_back(s);
        }
        Trie t = ranking_trie(nodes, pick(0, videos + 1));
        std::vector<NodeMatch> matches;
        for (std::uint32_t k = pick(0, 8); k > 0; --k) {
            matches.push_back({pick(0, node_count - 1), pick(0, 3)});
        }
        const std::size_t n = pick(0, 5);
        std::optional<std::uint32_t> limit;
        if (pick(0, 1)) {
            limit = pick(0, 8);
        }
        const std::optional<double> min_scores[] = {std::nullopt, 0.0, -0.5, 0.1, 0.3};
        const std::optional<double> min_score = min_scores[pick(0, 4)];
        ASSERT_EQ(rank_node_matches(t, matches, n, limit, min_score), plain_ranking(t, matches, n, limit, min_score))
            << "round " << round;
    }
}

// Through the matcher, on the example trie: 'cat' (3), 'car' (4), 'cart' (5),
// 'dog' (8); nodes 1 'c', 2 'ca', 6 'd', 7 'do' are prefixes.
Trie cat_trie() {
    Trie t;
    t.node_shifts = {0, 2, 3, 5, 5, 6, 6, 7, 8};
    t.child_labels = {U'\0', U'c', U'a', U't', U'r', U't', U'd', U'o', U'g'};
    t.child_transitions = {1, 6, 2, 3, 4, 5, 7, 8};
    t.is_terminal = {0, 0, 0, 1, 1, 1, 0, 0, 1};
    t.id_mode = IdMode::Int32;
    t.video_int_ids = {100, 101, 102, 103};
    // Each node lists one video of its own: its node number modulo 4.
    for (std::uint32_t v = 0; v < 9; ++v) {
        t.payloads.push(pay(1, {v % 4}, {1}));
    }
    return t;
}

TEST(FuzzyMatchVideo, NodeSearchModes) {
    const Trie t = cat_trie();
    auto ids = [&](std::string_view term, std::optional<bool> mode) {
        std::vector<std::string> out;
        for (const VideoScore& r : fuzzy_match_video(t, term, 1, std::nullopt, mode, 0.0)) {
            out.push_back(r.id_text);
        }
        return out;
    };
    using V = std::vector<std::string>;
    // 'cat': terminal 3 exact, 4 and 5 fuzzy; prefix node 2 ('ca') joins when asked.
    EXPECT_EQ(ids("cat", false), (V{"103", "100", "101"}));
    EXPECT_EQ(ids("cat", std::nullopt), (V{"103", "100", "101"}));
    EXPECT_EQ(ids("cat", true), (V{"103", "100", "101", "102"}));
    // 'do' has no terminal within one edit but 'dog' (8): automatic keeps it.
    EXPECT_EQ(ids("do", std::nullopt), (V{"100"}));
    // 'ca' is within one edit of 'cat' and 'car': no fallback.
    EXPECT_EQ(ids("ca", std::nullopt), ids("ca", false));
    // 'c' finds no terminal; automatic falls back to prefix nodes.
    EXPECT_EQ(ids("c", std::nullopt), ids("c", true));
    EXPECT_EQ(ids("c", std::nullopt), (V{"101"}));  // node 1 exact, prefix node
}

TEST(FuzzyMatchVideo, NoFallbackWhenTerminalMatchesListNoVideos) {
    Trie t = cat_trie();
    // 'cat', 'car' and 'cart' match but list nothing; 'ca' (a prefix) would.
    std::vector<std::optional<Payload>> slots;
    for (std::size_t v = 0; v < t.payloads.size(); ++v) {
        slots.push_back(t.payloads.get(v));
    }
    for (std::uint32_t v : {3u, 4u, 5u}) {
        slots[v] = pay(5, {}, {});
    }
    t.payloads = PayloadTable(slots);
    EXPECT_TRUE(fuzzy_match_video(t, "cat", 1, std::nullopt, std::nullopt, 0.0).empty());
    EXPECT_EQ(fuzzy_match_video(t, "cat", 1, std::nullopt, true, 0.0).size(), 1u);
}

TEST(FuzzyMatchVideo, ZeroNodesAnswerEmptyAndZeroLimitStillWalks) {
    EXPECT_TRUE(fuzzy_match_video(Trie{}, "cat", 1, std::nullopt, std::nullopt, std::nullopt).empty());
    Trie broken = cat_trie();
    broken.node_shifts.clear();  // any walk fails, and a zero limit still walks
    EXPECT_THROW(fuzzy_match_video(broken, "cat", 1, 0u, true, std::nullopt), IndexOutOfBounds);
    EXPECT_TRUE(fuzzy_match_video(cat_trie(), "cat", 1, 0u, true, std::nullopt).empty());
}

}  // namespace
}  // namespace quillmesh
