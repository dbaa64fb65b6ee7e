#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <ostream>
#include <string>
#include <vector>

#include "failures.hpp"
#include "ranking.hpp"
#include "text.hpp"

using namespace std::string_literals;

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
        // Now and then more matches than the scorer takes in one batch.
        for (std::uint32_t k = pick(0, round % 3 == 0 ? 40 : 8); k > 0; --k) {
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

// Candidates whose share lies at, just above or just below the threshold
// are kept exactly where the division says so, for thresholds placed on and
// around each share and around the margin below which no division is made;
// and for thresholds too small for that margin to hold (subnormal, zero).
TEST(RankNodeMatches, ThresholdOnAndAroundEachShare) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case {
        std::uint32_t total;
        std::vector<std::uint32_t> counts;
    };
    const Case cases[] = {
        {100, {1, 2, 3, 50}},            // shares 0.01, 0.02, ...
        {3, {1, 2}},                     // thirds, never exact
        {1000003, {10000, 10001, 9999}},  // about the default threshold
        {7, {7, 1}},
        {4294967295u, {1, 42949673, 4294967295u}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint32_t> ids;
        for (std::uint32_t v = 0; v < c.counts.size(); ++v) {
            ids.push_back(v);
        }
        const Trie t = ranking_trie({{true, pay(c.total, ids, c.counts)}});
        const std::vector<NodeMatch> matches{{0, 0}};
        std::vector<double> thresholds{0.0, std::numeric_limits<double>::denorm_min(),
                                       std::numeric_limits<double>::min(), kDefaultMinScore};
        for (const std::uint32_t count : c.counts) {
            const double share = double(count) / double(c.total);
            const double margin = share / (1.0 - 0x1p-20);
            for (const double x : {share, margin, share * (1.0 + 0x1p-21)}) {
                thresholds.push_back(x);
                thresholds.push_back(std::nextafter(x, 0.0));
                thresholds.push_back(std::nextafter(x, kInf));
            }
        }
        for (const double threshold : thresholds) {
            ASSERT_EQ(rank_node_matches(t, matches, 4, std::nullopt, threshold),
                      plain_ranking(t, matches, 4, std::nullopt, threshold))
                << "total " << c.total << " threshold " << threshold;
        }
    }
}

// More distinct videos in one batch than the identifier table holds: the
// table still makes room list by list, and every video keeps its own sum.
TEST(RankNodeMatches, BatchWithMoreVideosThanIdentifiers) {
    std::vector<NodeSpec> nodes;
    std::vector<NodeMatch> matches;
    for (std::uint32_t node = 0; node < 20; ++node) {
        Payload p;
        p.total_count = 1000;
        for (std::uint32_t k = 0; k < 40; ++k) {
            p.video_ids.push_back(node * 40 + k);  // 800 videos, 4 identifiers
            p.video_counts.push_back(1 + (k * 7 + node) % 13);
        }
        nodes.push_back({true, p});
        matches.push_back({node, node % 2});
    }
    const Trie t = ranking_trie(nodes, 4);
    for (const std::optional<double> min_score : {std::optional<double>{}, std::optional<double>{0.0}}) {
        EXPECT_EQ(rank_node_matches(t, matches, 6, std::nullopt, min_score),
                  plain_ranking(t, matches, 6, std::nullopt, min_score));
    }
}

// A match beyond the trie fails the call wherever it stands among the
// others, before, at and after the edges of the scorer's batches; the first
// of two is the one raised.
TEST(RankNodeMatches, FirstFaultRaisedWhereverItStands) {
    const Trie t = ranking_trie({{false, std::nullopt}, {true, pay(2, {0, 1}, {1, 1})}});
    struct Case {
        std::vector<std::size_t> faults;  // places of the matches of nodes 7 (first) and 9
    };
    const Case cases[] = {{{0}}, {{15}}, {{16}}, {{17}}, {{31}}, {{32}}, {{39}}, {{3, 20}}, {{16, 17}}, {{15, 40}}};
    for (const Case& c : cases) {
        std::vector<NodeMatch> matches(41, NodeMatch{1, 0});
        for (std::size_t k = 0; k < c.faults.size(); ++k) {
            matches[c.faults[k]].node = k == 0 ? 7 : 9;
        }
        try {
            rank_node_matches(t, matches, 3, std::nullopt, std::nullopt);
            ADD_FAILURE() << "no fault raised, first at " << c.faults[0];
        } catch (const IndexOutOfBounds& e) {
            EXPECT_STREQ(e.what(), IndexOutOfBounds(2, 7).what()) << "first at " << c.faults[0];
        }
    }
    // Weightless matches are not read: a fault among them is none.
    std::vector<NodeMatch> matches(41, NodeMatch{1, 0});
    matches[20] = NodeMatch{7, 3};
    EXPECT_EQ(rank_node_matches(t, matches, 3, std::nullopt, std::nullopt).size(), 2u);
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

// The ranked videos, written one by one, are the rows, in either id mode.
TEST(RankVideos, WrittenIdentifiersAreTheRows) {
    Trie t = cat_trie();
    for (const IdMode mode : {IdMode::Int32, IdMode::Uuid}) {
        t.id_mode = mode;
        t.video_int_ids = {100, 4294967295u, 7, 0};
        t.video_uuids.clear();
        for (std::uint8_t v = 0; v < 3; ++v) {  // video 3 has no UUID: its row is dropped
            Uuid u{};
            u.fill(static_cast<std::uint8_t>(0x3C * v + 1));
            t.video_uuids.push_back(u);
        }
        const SearchIndex index{Trie(t)};
        for (const char* term : {"cat", "ca", "do", "cart", "xyz"}) {
            for (const std::optional<bool> prefixes : {std::optional<bool>{}, std::optional<bool>{true}}) {
                std::vector<RankedVideo> ranked;
                rank_videos(index, term, 1, std::nullopt, prefixes, 0.0, ranked);
                std::vector<VideoScore> written;
                for (const RankedVideo& r : ranked) {
                    char text[kMaxIdText];
                    written.push_back({std::string(text, write_id_text(t, r.video, text)), r.score});
                }
                EXPECT_EQ(written, fuzzy_match_video(t, term, 1, std::nullopt, prefixes, 0.0)) << term;
                EXPECT_EQ(written.empty(), std::string_view(term) == "xyz") << term;
            }
        }
    }
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


// ---------------------------------------------------------------- scored as the walk goes

// An answer: the rows, or the message of the IndexOutOfBounds the call ended with.
struct Answer {
    std::vector<VideoScore> rows;
    std::string failure;
    bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Answer& a) {
    if (!a.failure.empty()) {
        return os << "failure '" << a.failure << "'";
    }
    os << a.rows.size() << " rows:";
    for (const VideoScore& r : a.rows) {
        os << " (" << r.id_text << ", " << r.score << ")";
    }
    return os;
}

template <class Call>
Answer answer_of(Call call) {
    try {
        return Answer{call(), ""};
    } catch (const IndexOutOfBounds& e) {
        return Answer{{}, e.what()};
    }
}

// fuzzy_match_video as it reads when every node match is collected before
// any is scored: the collected walk, a second one only when the first found
// nothing at all, then every check an inconsistent index can fail, in the
// order the scoring reads (is_terminal, payloads, the counts), and only then
// the sums (plain_ranking).
std::vector<VideoScore> collected_video(const Trie& t, std::string_view term, std::uint32_t max_dist,
                                        std::optional<std::uint32_t> limit, std::optional<bool> mode,
                                        std::optional<double> min_score) {
    if (t.node_count() == 0) {
        return {};
    }
    std::vector<NodeMatch> matches = fuzzy_match_nodes(t, term, max_dist, !mode.value_or(false), std::nullopt);
    if (!mode && matches.empty()) {
        matches = fuzzy_match_nodes(t, term, max_dist, false, std::nullopt);
    }
    const std::size_t n = count_code_points(term);
    for (const NodeMatch& m : matches) {
        if (node_weight(m.distance, n, true) <= 0.0) {
            continue;
        }
        (void)at(t.is_terminal, m.node);
        const std::optional<Payload> p = t.payloads.get(m.node);
        if (p && p->video_counts.size() < p->video_ids.size()) {
            throw IndexOutOfBounds(p->video_counts.size(), p->video_counts.size());
        }
    }
    return plain_ranking(t, matches, n, limit, min_score);
}

struct GraphSpec {
    std::vector<std::uint32_t> shifts;
    std::u32string labels;
    std::vector<std::uint32_t> transitions;
    std::vector<std::uint8_t> terminal;
    std::vector<std::optional<Payload>> payloads;
};

Trie graph_trie(const GraphSpec& g, std::size_t id_count = 16) {
    Trie t;
    t.node_shifts = g.shifts;
    t.child_labels.assign(g.labels.begin(), g.labels.end());
    t.child_transitions = g.transitions;
    t.is_terminal = g.terminal;
    t.payloads = PayloadTable(g.payloads);
    t.id_mode = IdMode::Int32;
    for (std::uint32_t v = 0; v < id_count; ++v) {
        t.video_int_ids.push_back(1000 + v);
    }
    return t;
}

std::uint32_t pick(std::mt19937& rng, std::uint32_t lo, std::uint32_t hi) {
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(rng);
}

std::optional<Payload> random_payload(std::mt19937& rng) {
    if (pick(rng, 0, 5) == 0) {
        return std::nullopt;
    }
    Payload p;
    p.total_count = pick(rng, 0, 4) == 0 ? 0 : pick(rng, 1, 40);
    for (std::uint32_t k = pick(rng, 0, 4); k > 0; --k) {
        p.video_ids.push_back(pick(rng, 0, 7));
        p.video_counts.push_back(pick(rng, 0, 5));
    }
    return p;
}

// Any graph: each node but the root has a parent of any number (itself and
// later nodes too: cycles) and now and then a second one; labels from three
// letters, now and then U+0000.
GraphSpec random_graph(std::mt19937& rng) {
    const std::uint32_t n = pick(rng, 1, 8);
    std::vector<std::vector<std::uint32_t>> children(n);
    GraphSpec g;
    g.labels.push_back(U'\0');
    for (std::uint32_t v = 1; v < n; ++v) {
        g.labels.push_back(pick(rng, 0, 11) == 0 ? U'\0' : U"abé"[pick(rng, 0, 2)]);
        children[pick(rng, 0, v - 1)].push_back(v);
        if (pick(rng, 0, 4) == 0) {
            children[pick(rng, 0, n - 1)].push_back(v);
        }
    }
    for (std::uint32_t v = 0; v < n; ++v) {
        g.shifts.push_back(static_cast<std::uint32_t>(g.transitions.size()));
        g.transitions.insert(g.transitions.end(), children[v].begin(), children[v].end());
        g.terminal.push_back(pick(rng, 0, 2) != 0 ? 1 : 0);
        g.payloads.push_back(random_payload(rng));
    }
    return g;
}

// A tree of random words over `letters`, children in label order and
// numbered breadth-first (the shape a builder makes, which the fastest
// walks serve).
GraphSpec random_word_tree(std::mt19937& rng, std::u32string_view letters) {
    std::vector<std::map<char32_t, std::uint32_t>> kids(1);
    std::vector<std::uint8_t> terminal(1, 0);
    for (std::uint32_t w = pick(rng, 1, 40); w > 0; --w) {
        std::uint32_t v = 0;
        for (std::uint32_t len = pick(rng, 1, 7); len > 0; --len) {
            const char32_t c = letters[pick(rng, 0, static_cast<std::uint32_t>(letters.size() - 1))];
            auto [it, fresh] = kids[v].emplace(c, static_cast<std::uint32_t>(kids.size()));
            if (fresh) {
                kids.emplace_back();
                terminal.push_back(0);
            }
            v = it->second;
        }
        terminal[v] = 1;
    }
    GraphSpec g;
    std::vector<std::uint32_t> order{0};
    std::vector<char32_t> label_of(kids.size(), U'\0');
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const auto& [label, child] : kids[order[i]]) {
            label_of[child] = label;
            order.push_back(child);
        }
    }
    std::uint32_t next = 1;
    for (std::uint32_t old : order) {
        g.shifts.push_back(static_cast<std::uint32_t>(g.transitions.size()));
        g.labels.push_back(label_of[old]);
        g.terminal.push_back(terminal[old]);
        g.payloads.push_back(random_payload(rng));
        for (std::size_t k = 0; k < kids[old].size(); ++k) {
            g.transitions.push_back(next++);
        }
    }
    return g;
}

// One fault of a restored index: a short is_terminal or payloads, a payload
// with fewer counts than videos, or a bad read for the walk itself.
// (payloads_only: one of the first two, which leave the walk's reads sound.)
void damage(std::mt19937& rng, GraphSpec& g, bool payloads_only = false) {
    const std::size_t n = g.labels.size();
    switch (payloads_only ? pick(rng, 1, 2) : pick(rng, 0, 4)) {
        case 0:
            g.terminal.resize(pick(rng, 0, static_cast<std::uint32_t>(n - 1)));
            break;
        case 1:
            g.payloads.resize(pick(rng, 0, static_cast<std::uint32_t>(n - 1)));
            break;
        case 2:
            for (std::optional<Payload>& p : g.payloads) {
                if (p && !p->video_counts.empty() && pick(rng, 0, 1) == 0) {
                    p->video_counts.pop_back();
                }
            }
            break;
        case 3:
            if (!g.transitions.empty()) {
                g.transitions[pick(rng, 0, static_cast<std::uint32_t>(g.transitions.size() - 1))] =
                    static_cast<std::uint32_t>(n + pick(rng, 0, 2));
            }
            break;
        default:
            g.shifts.resize(pick(rng, 0, static_cast<std::uint32_t>(n - 1)));
            break;
    }
}

std::string random_term(std::mt19937& rng, std::u32string_view letters, std::uint32_t max_len) {
    std::string term;
    for (std::uint32_t len = pick(rng, 0, max_len); len > 0; --len) {
        append_utf8(term, pick(rng, 0, 9) == 0 ? U'z' : letters[pick(rng, 0, static_cast<std::uint32_t>(letters.size() - 1))]);
    }
    return term;
}

// Rounds cycle through: any graph, any graph with one or two faults, a word
// tree over multi-byte letters, one over one-byte letters (whose one-edit
// queries take the walk of the edits themselves, in the automatic mode both
// walks at once), now and then with faulty payloads.
TEST(FuzzyMatchVideo, SameAnswersAndFailuresAsScoringTheCollectedMatches) {
    std::mt19937 rng(20261209);
    const std::optional<double> min_scores[] = {std::nullopt, 0.0, -1.0, 0.1, 0.4, kNaN};
    const std::optional<bool> modes[] = {std::nullopt, true, false};
    for (int round = 0; round < 4000; ++round) {
        const int kind = round % 4;
        const std::u32string letters = kind == 2 ? U"abé\U0001F600" : U"abc";
        GraphSpec g = kind <= 1 ? random_graph(rng) : random_word_tree(rng, letters);
        if (kind == 1) {
            for (std::uint32_t faults = pick(rng, 1, 2); faults > 0; --faults) {
                damage(rng, g);
            }
        }
        if (kind == 3 && round % 8 == 7) {
            damage(rng, g, true);
        }
        const Trie t = graph_trie(g, pick(rng, 0, 9));
        for (int query = 0; query < 6; ++query) {
            const std::string term = random_term(rng, letters, kind <= 1 ? 4 : 8);
            const std::uint32_t max_dist = pick(rng, 0, kind <= 1 ? 2 : 3);
            std::optional<std::uint32_t> limit;
            if (pick(rng, 0, 2) == 0) {
                limit = pick(rng, 0, 4);
            }
            const std::optional<bool> mode = modes[pick(rng, 0, 2)];
            const std::optional<double> min_score = min_scores[pick(rng, 0, 5)];
            const Answer want =
                answer_of([&] { return collected_video(t, term, max_dist, limit, mode, min_score); });
            const Answer got =
                answer_of([&] { return fuzzy_match_video(t, term, max_dist, limit, mode, min_score); });
            ASSERT_EQ(got, want) << "round " << round << " term '" << term << "' max_dist " << max_dist
                                 << " mode " << (mode ? (*mode ? "prefix" : "terminal") : "auto");
        }
    }
}

// root -> 1 'a' -> 2 'b', and root -> 3 'c'; terminal as given. The payloads
// name video 1 on node 1 and video 2 on node 3, unless given.
GraphSpec small_graph(std::vector<std::uint8_t> terminal, std::vector<std::optional<Payload>> payloads) {
    return GraphSpec{{0, 2, 3, 3}, U"\0abc"s, {1, 3, 2}, std::move(terminal), std::move(payloads)};
}

TEST(FuzzyMatchVideo, AutomaticModeFallsBackOnlyWhenNoTerminalMatches) {
    const std::optional<Payload> absent;
    struct Case {
        const char* name;
        GraphSpec graph;
        const char* term;
        std::vector<VideoScore> automatic;
        std::vector<VideoScore> with_prefix_nodes;
    } cases[] = {
        {"a terminal of weight 0 (one code point, one edit) is a match: no fallback",
         small_graph({0, 0, 0, 1}, {absent, pay(4, {1}, {4}), absent, pay(4, {2}, {4})}), "a", {}, {{id(1), 1.0}}},
        {"a terminal whose payload is absent is a match: no fallback",
         small_graph({0, 0, 1, 0}, {absent, pay(4, {1}, {4}), absent, absent}), "ax", {}, {{id(1), 1.0}}},
        {"a terminal with a total but no videos: no fallback",
         small_graph({0, 0, 1, 0}, {absent, pay(4, {1}, {4}), pay(4, {}, {}), absent}), "ax", {},
         {{id(1), (0.025 * 0.85 * 4.0) / ((0.025 * 0.85 * 4.0) + 0.025 * 4.0)}}},
        {"no terminal within the bound: the prefix nodes' answer",
         small_graph({0, 0, 0, 1}, {absent, pay(4, {1}, {4}), absent, pay(4, {2}, {4})}), "ab", {{id(1), 1.0}},
         {{id(1), 1.0}}},
        {"nothing terminal at all: the prefix nodes' answer",
         small_graph({0, 0, 0, 0}, {absent, pay(4, {1}, {4}), pay(2, {3}, {2}), pay(4, {2}, {4})}), "ab",
         {{id(3), (0.85 * 2.0) / ((0.025 * 0.85 * 4.0) + 0.85 * 2.0)},
          {id(1), (0.025 * 0.85 * 4.0) / ((0.025 * 0.85 * 4.0) + 0.85 * 2.0)}},
         {{id(3), (0.85 * 2.0) / ((0.025 * 0.85 * 4.0) + 0.85 * 2.0)},
          {id(1), (0.025 * 0.85 * 4.0) / ((0.025 * 0.85 * 4.0) + 0.85 * 2.0)}}},
    };
    for (const Case& c : cases) {
        const Trie t = graph_trie(c.graph);
        EXPECT_EQ(fuzzy_match_video(t, c.term, 1, std::nullopt, std::nullopt, 0.0), c.automatic) << c.name;
        EXPECT_EQ(fuzzy_match_video(t, c.term, 1, std::nullopt, true, 0.0), c.with_prefix_nodes) << c.name;
        EXPECT_EQ(fuzzy_match_video(t, c.term, 1, std::nullopt, std::nullopt, 0.0),
                  collected_video(t, c.term, 1, std::nullopt, std::nullopt, 0.0))
            << c.name;
    }
}

std::string oob_text(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

TEST(FuzzyMatchVideo, AWalkFailureComesBeforeAScoringFailure) {
    const std::optional<Payload> absent;
    const std::optional<Payload> short_counts = pay(2, {1, 2}, {1});
    // The walk records node 1 ('a'), then node 2 ('ab', below it), then
    // reads the root's second edge (node 3, 'c'): a fault placed there
    // comes after the scoring of the first two.
    auto graph = [&](std::vector<std::uint8_t> terminal, std::vector<std::optional<Payload>> payloads,
                     std::uint32_t last_edge) {
        GraphSpec g = small_graph(std::move(terminal), std::move(payloads));
        g.transitions[1] = last_edge;
        return g;
    };
    const std::vector<std::optional<Payload>> fine = {absent, pay(1, {1}, {1}), pay(1, {2}, {1}), pay(1, {3}, {1})};
    struct Case {
        const char* name;
        GraphSpec graph;
        const char* term;
        std::optional<bool> mode;
        std::string failure;
    } cases[] = {
        {"short counts on 'a', then a child beyond child_labels",
         graph({0, 1, 1, 1}, {absent, short_counts, absent, absent}, 9), "a", std::nullopt, oob_text(4, 9)},
        {"short counts on 'a', walk sound: raised once the walk ends",
         graph({0, 1, 1, 1}, {absent, short_counts, absent, absent}, 3), "a", std::nullopt, oob_text(1, 1)},
        {"the first scoring failure in walk order",
         graph({0, 1, 1, 1}, {absent, short_counts, pay(1, {2}, {})}, 3), "ab", false, oob_text(1, 1)},
        {"'ab' beyond payloads, after a sound 'a'",
         graph({0, 1, 1, 1}, {absent, pay(1, {1}, {1})}, 3), "ab", false, oob_text(2, 2)},
        {"prefix nodes: 'ab' beyond is_terminal is the scoring's, and the walk's fault wins",
         graph({0, 1}, fine, 9), "ab", true, oob_text(4, 9)},
        {"prefix nodes: 'ab' beyond is_terminal, walk sound",
         graph({0, 1}, fine, 3), "ab", true, oob_text(2, 2)},
        {"terminal only: 'ab' beyond is_terminal is the walk's own read",
         graph({0, 1}, fine, 9), "ab", false, oob_text(2, 2)},
        {"fallback: the prefix walk's scoring failure, after the walk",
         graph({0, 0, 0, 0}, {absent, short_counts, absent, absent}, 3), "a", std::nullopt, oob_text(1, 1)},
        {"no terminal: the walk's fault, met by the first walk",
         graph({0, 0, 0, 0}, {absent, short_counts, absent, absent}, 9), "a", std::nullopt, oob_text(4, 9)},
        {"a weightless node is never read",
         graph({0, 1, 1, 1}, {absent, pay(1, {1}, {1}), absent}, 3), "a", true, ""},
    };
    for (const Case& c : cases) {
        const Trie t = graph_trie(c.graph);
        const Answer got = answer_of([&] { return fuzzy_match_video(t, c.term, 1, std::nullopt, c.mode, 0.0); });
        EXPECT_EQ(got.failure, c.failure) << c.name;
        EXPECT_EQ(got, answer_of([&] { return collected_video(t, c.term, 1, std::nullopt, c.mode, 0.0); })) << c.name;
    }
}

}  // namespace
}  // namespace quillmesh
