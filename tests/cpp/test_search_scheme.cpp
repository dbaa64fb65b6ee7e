#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "prefix/derived.hpp"
#include "prefix/search_scheme.hpp"
#include "prefix/walk.hpp"
#include "text.hpp"
#include "word_tries.hpp"

namespace quillmesh {
namespace {

using word_tries::Shape;
using word_tries::word_trie;

using Limit = std::optional<std::uint32_t>;

Trie arrays(std::vector<std::uint32_t> shifts, std::u32string labels, std::vector<std::uint32_t> transitions,
            std::vector<std::uint8_t> terminal) {
    Trie t;
    t.node_shifts = std::move(shifts);
    t.child_labels.assign(labels.begin(), labels.end());
    t.child_transitions = std::move(transitions);
    t.is_terminal = std::move(terminal);
    t.payloads.resize(t.child_labels.size());
    return t;
}

std::u32string edited(std::u32string w, std::size_t edits, std::u32string_view alphabet, std::mt19937& rng) {
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t op = rng() % 3;
        const char32_t c = alphabet[rng() % alphabet.size()];
        if (op == 0 || w.empty()) {
            w.insert(w.begin() + static_cast<std::ptrdiff_t>(rng() % (w.size() + 1)), c);
        } else if (op == 1) {
            w.erase(w.begin() + static_cast<std::ptrdiff_t>(rng() % w.size()));
        } else {
            w[rng() % w.size()] = c;
        }
    }
    return w;
}

// Runs one engine (kChecked: the plain checked walk; kScheme: the scheme
// itself, never a fallback) with a fresh reporter.
template <class Reporter, class Out>
Out run(walk::Engine engine, const SearchIndex& index, const std::u32string& q, std::uint32_t bound, Limit limit,
        Reporter reporter_of(Out&)) {
    Out out;
    Reporter reporter = reporter_of(out);
    walk::Recorder<Reporter> recorder(index.trie(), reporter, limit, {});
    if (engine == walk::Engine::kChecked) {
        walk::walk_checked(index.trie(), q, bound, recorder);
    } else if (engine == walk::Engine::kScheme) {
        walk::run_search_scheme(index, q, bound, recorder);
    } else {
        walk::run_engine(engine, index, q, bound, recorder);
    }
    return out;
}

walk::TermReporter terms_into(std::vector<MatchResult>& out) { return walk::TermReporter{out}; }
walk::NodeReporter terminals_into(std::vector<NodeMatch>& out) { return walk::NodeReporter{out, true}; }
walk::NodeReporter prefixes_into(std::vector<NodeMatch>& out) { return walk::NodeReporter{out, false}; }

// The scheme against the checked walk: same terms, same nodes, same
// distances, same order, same cut by the limit.
void expect_same(const SearchIndex& index, const std::u32string& q, std::uint32_t bound, Limit limit) {
    const auto what = [&] {
        return "query '" + encode_utf8(q) + "', bound " + std::to_string(bound) + ", limit " +
               (limit ? std::to_string(*limit) : "none");
    };
    ASSERT_EQ(run(walk::Engine::kScheme, index, q, bound, limit, terms_into),
              run(walk::Engine::kChecked, index, q, bound, limit, terms_into))
        << what();
    ASSERT_EQ(run(walk::Engine::kScheme, index, q, bound, limit, terminals_into),
              run(walk::Engine::kChecked, index, q, bound, limit, terminals_into))
        << "nodes, " << what();
}

TEST(SearchScheme, AgreesWithTheCheckedWalkOnRandomTrees) {
    // Few letters make dense tries where every search has work; U+00E9 is a
    // two-byte letter in the text; U+0000 hangs unlabelled subtrees (with
    // terms) that no walk enters.
    const std::u32string alphabet = U"abce\u00e9";
    const std::u32string decoys = std::u32string(U"z\u0161") + char32_t{0};
    std::mt19937 rng(1812);
    int edge_numbered_apart = 0;  // consecutive children, edge k not leading to node k + 1
    for (int round = 0; round < 600; ++round) {
        std::vector<std::u32string> words;
        const std::size_t count = 1 + rng() % 120;
        for (std::size_t i = 0; i < count; ++i) {
            std::u32string w;
            const std::size_t len = 1 + rng() % 9;
            for (std::size_t k = 0; k < len; ++k) {
                w.push_back(rng() % 40 == 0 ? U'\0' : alphabet[rng() % (round % 2 ? 3 : alphabet.size())]);
            }
            words.push_back(w);
        }
        const Shape shape{round % 3 != 0, round % 4 != 1, round % 5 == 2};
        const SearchIndex index{word_trie(words, shape, rng)};
        ASSERT_NE(index.derived().reversed(), nullptr) << "round " << round;
        if (shape.breadth_first) {
            ASSERT_TRUE(index.derived().children_consecutive()) << "round " << round;
        }
        if (shape.breadth_first && !shape.blocks_reversed) {
            ASSERT_TRUE(index.derived().edges_in_node_order()) << "round " << round;
        }
        edge_numbered_apart += index.derived().children_consecutive() && !index.derived().edges_in_node_order();
        for (int k = 0; k < 8; ++k) {
            std::u32string q = k == 0 ? U"" : edited(words[rng() % words.size()], rng() % 5, alphabet + decoys, rng);
            if (k == 7) {
                q = edited(q, 6, alphabet, rng);  // far from every term
            }
            const std::uint32_t bound = walk::kMinSchemeBound + static_cast<std::uint32_t>(rng() % 6);
            for (const Limit limit : {Limit{}, Limit{1}, Limit{2}, Limit{1 + static_cast<std::uint32_t>(rng() % 9)}}) {
                expect_same(index, q, bound, limit);
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
    EXPECT_GT(edge_numbered_apart, 0);
}

TEST(SearchScheme, AgreesWithTheCheckedWalkOnAWordListSample) {
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
    std::mt19937 rng(20261209);
    std::vector<std::u32string> sample;
    std::sample(all.begin(), all.end(), std::back_inserter(sample), 40000, rng);
    const SearchIndex index{word_trie(sample, Shape{true, true}, rng)};
    ASSERT_NE(index.derived().reversed(), nullptr);
    ASSERT_EQ(index.derived().reversed()->term_count(), sample.size());
    const std::u32string letters = U"abcdefghijklmnopqrstuvwxyz'";
    for (int i = 0; i < 300; ++i) {
        const std::u32string q = edited(sample[rng() % sample.size()], rng() % 4, letters, rng);
        for (const std::uint32_t bound : {1u, 2u, 3u}) {
            if (q.size() >= walk::kMinSchemeQuery) {
                ASSERT_EQ(walk::choose_engine(index.derived(), q.size(), bound, true), walk::Engine::kScheme);
            }
            expect_same(index, q, bound, Limit{});
            expect_same(index, q, bound, Limit{3});
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// Short queries at bound 2, each length with its own split of the query,
// on dense tries where a hundred terms and more match.
TEST(SearchScheme, AgreesWithTheCheckedWalkOnShortQueriesOfManyMatches) {
    const std::u32string alphabet = U"abc";
    std::mt19937 rng(2091);
    std::size_t most = 0;
    for (int round = 0; round < 40; ++round) {
        std::vector<std::u32string> words;
        const std::size_t count = 300 + rng() % 1500;
        for (std::size_t i = 0; i < count; ++i) {
            std::u32string w;
            const std::size_t len = 2 + rng() % 7;
            for (std::size_t k = 0; k < len; ++k) {
                w.push_back(alphabet[rng() % alphabet.size()]);
            }
            words.push_back(w);
        }
        const SearchIndex index{word_trie(words, Shape{round % 2 == 0, round % 3 != 1}, rng)};
        ASSERT_NE(index.derived().reversed(), nullptr);
        for (const std::size_t n : {4u, 5u, 6u, 7u, 8u}) {
            std::u32string q;
            for (std::size_t k = 0; k < n; ++k) {
                q.push_back(alphabet[rng() % alphabet.size()]);
            }
            for (const Limit limit : {Limit{}, Limit{1}, Limit{1 + static_cast<std::uint32_t>(rng() % 200)}}) {
                expect_same(index, q, 2, limit);
                if (HasFatalFailure()) {
                    return;
                }
            }
            most = std::max(most, run(walk::Engine::kChecked, index, q, 2, Limit{}, terms_into).size());
        }
    }
    EXPECT_GT(most, 100u);
}

// The vector step of the capped band against its portable form, cell for
// cell, on random rows, queries, splits and labels at every depth the band
// reaches (and past both ends of the query), for a band of one load of 8
// bytes and of 16; and the vector exact_labels against its portable form.
template <std::uint32_t K>
void expect_vector_step_matches_portable(std::mt19937& rng) {
    using Band = walk::scheme::CappedBand<K>;
    const std::u32string letters = std::u32string(U"ab\u00ff\u0100") + char32_t{0} + char32_t{0x7F};
    walk::scheme::BandCells cells;
    for (int round = 0; round < 400; ++round) {
        std::u32string q;
        const std::size_t n = rng() % 12;
        for (std::size_t i = 0; i < n; ++i) {
            q.push_back(letters[rng() % letters.size()]);
        }
        const std::size_t head = rng() % (n + 1);
        const auto head_cap = static_cast<std::uint8_t>(rng() % K);
        const Band band(q, head, head_cap, round % 2 == 0, cells);
        for (std::size_t depth = 0; depth <= n + K + 1; ++depth) {
            for (int trial = 0; trial < 12; ++trial) {
                typename Band::Row prev;
                prev.fill(Band::kDead);
                for (std::size_t i = 0; i < Band::kWidth; ++i) {
                    prev[i] = static_cast<std::uint8_t>(rng() % 3 == 0 ? Band::kDead : rng() % (K + 2));
                }
                const std::uint32_t pick = rng() % 4;
                const std::uint32_t label = pick == 0 ? 1 + rng() % 255 : pick == 1 ? 0x7F : pick == 2 ? U'a' : 0xFF;
                typename Band::Row vector_row;
                typename Band::Row portable_row;
                std::uint8_t vector_last = 0;
                std::uint8_t portable_last = 0;
                const bool vector_alive = band.step(prev, vector_row, depth, label, vector_last);
                const bool portable_alive = band.template step_portable<true>(prev, portable_row, depth, label, portable_last);
                ASSERT_EQ(vector_row, portable_row) << "K " << K << ", depth " << depth << ", label " << label;
                ASSERT_EQ(vector_alive, portable_alive) << "K " << K << ", depth " << depth;
                ASSERT_EQ(vector_last, portable_last) << "K " << K << ", depth " << depth;
                const bool unmatched_alive = band.step_unmatched(prev, vector_row, depth, vector_last);
                ASSERT_EQ(unmatched_alive, band.template step_portable<false>(prev, portable_row, depth, 0, portable_last));
                ASSERT_EQ(vector_row, portable_row) << "unmatched, K " << K << ", depth " << depth;
                ASSERT_EQ(vector_last, portable_last) << "unmatched, K " << K << ", depth " << depth;
                std::array<std::uint8_t, Band::kWidth> vector_labels{};
                std::array<std::uint8_t, Band::kWidth> portable_labels{};
                const int vector_count = band.exact_labels(prev, depth, vector_labels);
                ASSERT_EQ(vector_count, band.exact_labels_portable(prev, depth, portable_labels))
                    << "exact labels, K " << K << ", depth " << depth;
                for (int i = 0; i < vector_count; ++i) {
                    ASSERT_EQ(vector_labels[i], portable_labels[i]) << "exact label " << i << ", K " << K;
                }
            }
        }
    }
}

TEST(SearchScheme, VectorStepMatchesThePortableStep) {
    if (!walk::scheme::CappedBand<2>::kVectorStep) {
        GTEST_SKIP() << "built without the vector step";
    }
    std::mt19937 rng(4099);
    expect_vector_step_matches_portable<1>(rng);
    expect_vector_step_matches_portable<2>(rng);
    expect_vector_step_matches_portable<3>(rng);
    expect_vector_step_matches_portable<4>(rng);
    expect_vector_step_matches_portable<7>(rng);
}

// The finds of both searches put in walk order: by rank, each rank once, at
// its least distance, however often and in whatever order it was found.
TEST(SearchScheme, PutsFindsInWalkOrder) {
    std::mt19937 rng(77);
    const std::uint32_t tops[] = {1, 200, 70000, 1u << 25, 0xFFFFFFFFu};
    walk::scheme::FillRoom<walk::scheme::Found> room;  // kept from case to case, as a thread keeps it
    for (const std::uint32_t top : tops) {
        for (const std::size_t size : {0u, 1u, 5u, 64u, 95u, 96u, 97u, 700u, 3000u}) {
            std::vector<walk::scheme::Found> found;
            std::map<std::uint32_t, std::uint32_t> least;  // rank -> least distance
            for (std::size_t i = 0; i < size; ++i) {
                const std::uint32_t rank =
                    i % 7 == 0 ? top - static_cast<std::uint32_t>(i % 3) * (top / 2) : static_cast<std::uint32_t>(rng() % (std::uint64_t{top} + 1));
                const std::uint32_t distance = rng() % 4;
                found.push_back(walk::scheme::Found{rank, rank ^ 0x5555u, distance, static_cast<std::uint32_t>(i), i % 2 == 0});
                const auto [at, fresh] = least.emplace(rank, distance);
                if (!fresh) {
                    at->second = std::min(at->second, distance);
                }
            }
            walk::scheme::in_walk_order(found, room);
            ASSERT_EQ(found.size(), least.size()) << "top " << top << ", size " << size;
            auto want = least.begin();
            for (const walk::scheme::Found& f : found) {
                EXPECT_EQ(f.rank, want->first) << "top " << top << ", size " << size;
                EXPECT_EQ(f.distance, want->second) << "rank " << f.rank;
                EXPECT_EQ(f.node, f.rank ^ 0x5555u) << "a find keeps its own fields";
                ++want;
            }
        }
    }
}

// The searches' lists filled into room made ahead: growing keeps every
// record in order, whatever room was made before and however it was filled.
TEST(SearchScheme, FillRoomKeepsRecordsAcrossGrowth) {
    struct Case {
        std::vector<std::size_t> rooms;  // make_room before each batch of puts
        std::size_t keep;                // truncate to this after the batches
    };
    const Case cases[] = {
        {{1}, 1},
        {{16, 1, 1}, 10},
        {{17}, 17},
        {{5, 40, 0, 300, 2}, 120},
        {{1000, 1000}, 0},
    };
    for (const Case& c : cases) {
        walk::scheme::FillRoom<walk::scheme::TrailStep> room;
        room.push_back(walk::scheme::TrailStep{7, 9});
        std::vector<walk::scheme::TrailStep> want{{7, 9}};
        for (const std::size_t extra : c.rooms) {
            room.make_room(extra);
            ASSERT_GE(room.capacity() - room.size(), extra);
            for (std::size_t i = 0; i < extra; ++i) {
                const walk::scheme::TrailStep step{static_cast<std::uint32_t>(want.size()),
                                                   static_cast<std::uint8_t>(want.size() * 31)};
                room.put(step);
                want.push_back(step);
            }
        }
        const std::size_t keep = std::min(c.keep, want.size());
        room.truncate(keep);
        want.resize(keep);
        walk::scheme::FillRoom<walk::scheme::TrailStep> other;
        other.push_back(walk::scheme::TrailStep{1, 2});
        other.swap(room);
        ASSERT_EQ(room.size(), 1u);
        EXPECT_EQ(room[0].label, 2);
        ASSERT_EQ(other.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(other[i].parent, want[i].parent) << "record " << i;
            EXPECT_EQ(other[i].label, want[i].label) << "record " << i;
        }
    }
}

// Which indexes get a reversed index (and so the engine): only those where
// every walked node has one path. The others, and every reporter that takes
// prefix nodes, keep the forward walks, with the checked walk's answers.
TEST(SearchScheme, ServesOnlyTreesWithOnePathPerNodeAndTermsOnly) {
    std::vector<std::uint8_t> chain_terminal(200, 1);
    chain_terminal[0] = 0;
    std::vector<std::uint32_t> chain_shifts(200);
    std::iota(chain_shifts.begin(), chain_shifts.end(), 0u);
    std::vector<std::uint32_t> chain_edges(199);
    std::iota(chain_edges.begin(), chain_edges.end(), 1u);
    const struct {
        const char* what;
        Trie trie;
        bool built;
    } cases[] = {
        {"cat car cart dog",
         arrays({0, 2, 3, 5, 5, 6, 6, 7, 8}, std::u32string(U"\0catrtdog", 9), {1, 6, 2, 3, 4, 5, 7, 8},
                {0, 0, 0, 1, 1, 1, 0, 0, 1}),
         true},
        {"a child listed twice", arrays({0, 2}, std::u32string(U"\0a", 2), {1, 1}, {0, 1}), false},
        {"a node with two parents", arrays({0, 2, 3, 4}, std::u32string(U"\0abc", 4), {1, 2, 3, 3}, {0, 0, 0, 1}),
         false},
        {"a node its own child", arrays({0, 1}, std::u32string(U"\0a", 2), {1, 1}, {0, 1}), false},
        {"the root, labelled, a child", arrays({0, 1}, U"ra", {1, 0}, {0, 1}), false},
        {"the root, unlabelled, a child", arrays({0, 1}, std::u32string(U"\0a", 2), {1, 0}, {0, 1}), false},
        {"two siblings with one label", arrays({0, 2, 2}, std::u32string(U"\0aa", 3), {1, 2}, {0, 1, 1}), false},
        {"a label past one byte", arrays({0, 1}, std::u32string(U"\0\u0100", 2), {1}, {0, 1}), false},
        {"an edge past the nodes", arrays({0, 1}, std::u32string(U"\0a", 2), {5}, {0, 1}), false},
        {"a second listing under an unlabelled node",
         arrays({0, 2, 3, 4}, std::u32string(U"\0\0ab", 4), {1, 2, 3, 3}, {0, 0, 0, 1}), false},
        {"an unlabelled child listed twice", arrays({0, 3, 3}, std::u32string(U"\0\0a", 3), {1, 1, 2}, {0, 1, 1}),
         false},
        {"a long chain of terms",
         arrays(chain_shifts, std::u32string(199, U'a').insert(0, 1, U'\0'), chain_edges, chain_terminal), false},
    };
    for (const auto& c : cases) {
        const SearchIndex index{Trie(c.trie)};
        EXPECT_EQ(index.derived().reversed() != nullptr, c.built) << c.what;
        for (const std::u32string q : {U"", U"b", U"ab", U"cat", U"cart", U"xyzw", U"aaaaa"}) {
            for (const std::uint32_t bound : {1u, 2u, 3u}) {
                const walk::Engine chosen = walk::choose_engine(index.derived(), q.size(), bound, true);
                EXPECT_EQ(chosen == walk::Engine::kScheme, c.built && q.size() >= walk::kMinSchemeQuery) << c.what;
                EXPECT_NE(walk::choose_engine(index.derived(), q.size(), bound, false), walk::Engine::kScheme);
                if (!index.derived().checked()) {
                    continue;
                }
                if (c.built) {
                    expect_same(index, q, bound, Limit{});
                    expect_same(index, q, bound, Limit{1});
                }
                // Asked for, the engine gives way wherever it cannot be exact.
                for (const Limit limit : {Limit{}, Limit{2}}) {
                    EXPECT_EQ(run(walk::Engine::kScheme == chosen ? chosen : walk::Engine::kBanded, index, q, bound,
                                  limit, terms_into),
                              run(walk::Engine::kChecked, index, q, bound, limit, terms_into))
                        << c.what;
                    std::vector<NodeMatch> via_run_engine;
                    walk::NodeReporter reporter{via_run_engine, false};
                    walk::Recorder<walk::NodeReporter> recorder(index.trie(), reporter, limit, {});
                    walk::run_engine(walk::Engine::kScheme, index, q, bound, recorder);
                    EXPECT_EQ(via_run_engine, run(walk::Engine::kChecked, index, q, bound, limit, prefixes_into))
                        << c.what;
                }
            }
        }
    }
}

}  // namespace
}  // namespace quillmesh
