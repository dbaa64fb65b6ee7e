// Payload merging, propagation and the builder's array checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "failures.hpp"
#include "payload.hpp"
#include "prefix/build.hpp"
#include "prefix/trie.hpp"

namespace quillmesh {

void PrintTo(const Payload& p, std::ostream* os) {
    *os << "(" << p.total_count << ", [";
    for (std::uint32_t v : p.video_ids) {
        *os << v << " ";
    }
    *os << "], [";
    for (std::uint32_t v : p.video_counts) {
        *os << v << " ";
    }
    *os << "])";
}

namespace {

constexpr std::uint32_t kMax = 4294967295u;

using Ids = std::vector<std::uint32_t>;

Payload P(std::uint32_t total, Ids ids, Ids counts) { return Payload{total, std::move(ids), std::move(counts)}; }

Trie make_trie(Ids shifts, Ids transitions, std::vector<std::optional<Payload>> payloads) {
    Trie t;
    t.node_shifts = std::move(shifts);
    t.child_labels.assign(payloads.size(), U'x');
    t.child_transitions = std::move(transitions);
    t.is_terminal.resize(payloads.size());
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        t.is_terminal[i] = payloads[i].has_value();
    }
    t.payloads = PayloadTable(payloads);
    return t;
}

// ------------------------------------------------------------- PayloadTable

using Slots = std::vector<std::optional<Payload>>;

std::string oob_message(const std::function<void()>& call) {
    try {
        call();
    } catch (const IndexOutOfBounds& e) {
        return e.what();
    }
    return "";
}

// Every slot read back through each accessor, against the plain slots.
void expect_slots(const PayloadTable& t, const Slots& slots, const std::string& what) {
    ASSERT_EQ(t.size(), slots.size()) << what;
    for (std::size_t n = 0; n < slots.size(); ++n) {
        ASSERT_EQ(t.present(n), slots[n].has_value()) << what << " slot " << n;
        EXPECT_EQ(t.get(n), slots[n]) << what << " slot " << n;
        if (slots[n]) {
            EXPECT_EQ(t.total_count(n), slots[n]->total_count) << what << " slot " << n;
            EXPECT_EQ(Ids(t.video_ids(n).begin(), t.video_ids(n).end()), slots[n]->video_ids) << what << " slot " << n;
            EXPECT_EQ(Ids(t.video_counts(n).begin(), t.video_counts(n).end()), slots[n]->video_counts)
                << what << " slot " << n;
        }
    }
}

TEST(PayloadTable, ListsOfDifferentLengthsAreKeptExactly) {
    const std::vector<Slots> cases = {
        {},
        {std::nullopt},
        {P(1, {1, 2}, {3, 4}), std::nullopt, P(kMax, {}, {})},
        // The first unequal slot after equal ones, then equal ones again.
        {P(1, {1}, {1}), P(2, {1, 2, 3}, {9}), P(3, {4}, {5}), P(4, {}, {6, 7})},
        {P(0, {}, {1}), std::nullopt, P(0, {5, 6}, {})},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        expect_slots(PayloadTable(cases[i]), cases[i], "case " + std::to_string(i));
    }
}

TEST(PayloadTable, EveryReadIsChecked) {
    const PayloadTable t{P(1, {1}, {1}), std::nullopt};
    const std::string past = "index out of bounds: the len is 2 but the index is 2";
    EXPECT_EQ(oob_message([&] { (void)t.present(2); }), past);
    EXPECT_EQ(oob_message([&] { (void)t.total_count(2); }), past);
    EXPECT_EQ(oob_message([&] { (void)t.video_ids(2); }), past);
    EXPECT_EQ(oob_message([&] { (void)t.video_counts(2); }), past);
    EXPECT_EQ(oob_message([&] { (void)t.at(2); }), past);
    EXPECT_EQ(oob_message([&] { (void)PayloadTable{}.at(0); }), "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(oob_message([&] { (void)t.at(1); }), "");
}

TEST(PayloadTable, SharedSlotsReadAsTheirTargetAndCompareByContent) {
    PayloadTable shared;
    shared.push(P(3, {7, 8}, {2, 1}));
    shared.push_absent();
    shared.push_same_as(0);
    shared.push_same_as(2);  // a slot sharing a shared slot
    const Slots plain = {P(3, {7, 8}, {2, 1}), std::nullopt, P(3, {7, 8}, {2, 1}), P(3, {7, 8}, {2, 1})};
    expect_slots(shared, plain, "shared");
    EXPECT_EQ(shared, PayloadTable(plain));
    EXPECT_THROW(shared.push_same_as(1), std::logic_error);  // absent
    EXPECT_EQ(oob_message([&] { shared.push_same_as(9); }), "index out of bounds: the len is 4 but the index is 9");
    EXPECT_NE(shared, PayloadTable(Slots{P(3, {7, 8}, {2, 1}), std::nullopt, P(3, {7, 8}, {2, 1})}));
    EXPECT_NE(PayloadTable{std::nullopt}, PayloadTable{Payload{}});
    EXPECT_NE(PayloadTable{P(1, {2}, {3})}, PayloadTable{P(1, {2}, {4})});
}

TEST(PayloadTable, LastSlotSharesOnlyAnEqualPresentSlot) {
    PayloadTable t;
    Slots plain;
    const auto add = [&](const std::optional<Payload>& p) {
        t.push(p);
        plain.push_back(p);
    };
    add(P(1, {4, 5}, {2}));  // unequal lists: counts keep their own ends
    add(P(1, {4, 5}, {2}));
    EXPECT_TRUE(t.share_last_if_same_as(0));
    EXPECT_FALSE(t.share_last_if_same_as(1));  // already shared
    add(P(1, {4, 5}, {3}));
    EXPECT_FALSE(t.share_last_if_same_as(0));  // a count differs
    add(P(2, {4, 5}, {2}));
    EXPECT_FALSE(t.share_last_if_same_as(0));  // the total differs
    add(std::nullopt);
    EXPECT_FALSE(t.share_last_if_same_as(0));  // absent
    add(P(0, {}, {}));
    EXPECT_FALSE(t.share_last_if_same_as(4));  // the other is absent
    EXPECT_FALSE(t.share_last_if_same_as(5));  // itself
    add(P(1, {4, 5}, {2}));
    EXPECT_TRUE(t.share_last_if_same_as(1));   // a slot that shares in turn
    add(P(7, {8}, {9}));
    // Counts past 65535: a list whose high halves must go with it.
    add(P(3, {1, 2}, {5, 70000}));
    add(P(3, {1, 2}, {5, 70000 + 65536}));
    EXPECT_FALSE(t.share_last_if_same_as(8));  // equal low halves only
    add(P(3, {1, 2}, {5, 70000}));
    EXPECT_TRUE(t.share_last_if_same_as(8));
    add(P(4, {3}, {kMax}));
    add(P(4, {3}, {kMax - 65536}));
    expect_slots(t, plain, "after sharing");
    t.reverse();
    expect_slots(t, Slots(plain.rbegin(), plain.rend()), "reversed");
}

// Random tables assembled every way (whole payloads, in steps, shared),
// reversed and cut, always against a plain vector of slots.
TEST(PayloadTable, AssemblyReverseAndResizeMatchPlainSlots) {
    std::mt19937 rng(777);
    std::uniform_int_distribution<int> len(0, 3);
    for (int round = 0; round < 2000; ++round) {
        PayloadTable t;
        Slots plain;
        const int n = static_cast<int>(rng() % 140);  // crosses 64-slot words
        for (int i = 0; i < n; ++i) {
            const unsigned how = rng() % 5;
            if (how == 0) {
                t.push_absent();
                plain.emplace_back();
                continue;
            }
            if (how == 1 && !plain.empty()) {
                const std::size_t target = rng() % plain.size();
                if (plain[target]) {
                    t.push_same_as(target);
                    plain.push_back(plain[target]);
                    continue;
                }
            }
            Payload p{static_cast<std::uint32_t>(rng()), {}, {}};
            const int k = len(rng);
            const int kc = rng() % 6 == 0 ? len(rng) : k;
            for (int j = 0; j < k; ++j) p.video_ids.push_back(rng() % 50);
            // Counts past 65535 make a list keep high halves as well.
            const std::uint32_t wide[] = {65535, 65536, 131071, kMax, static_cast<std::uint32_t>(rng())};
            for (int j = 0; j < kc; ++j) p.video_counts.push_back(rng() % 7 == 0 ? wide[rng() % 5] : rng() % 50);
            if (how == 2) {
                t.open(p.total_count);
                for (std::uint32_t v : p.video_ids) t.append_id(v);
                for (std::uint32_t v : p.video_counts) t.append_count(v);
                t.close();
            } else {
                t.push(p);
            }
            plain.push_back(std::move(p));
        }
        const std::string what = "round " + std::to_string(round);
        expect_slots(t, plain, what);
        PayloadTable r = t;
        r.reverse();
        expect_slots(r, Slots(plain.rbegin(), plain.rend()), what + " reversed");
        // Assembly goes on after a reversal: the storage turns round first.
        PayloadTable grown = r;
        Slots grown_plain(plain.rbegin(), plain.rend());
        grown.push(P(5, {1, 2}, {70000, 3}));
        grown_plain.push_back(P(5, {1, 2}, {70000, 3}));
        if (!grown_plain.empty() && grown_plain.front()) {
            grown.push_same_as(0);
            grown_plain.push_back(grown_plain.front());
        }
        expect_slots(grown, grown_plain, what + " reversed, then grown");
        r.reverse();
        r.shrink_to_fit();
        expect_slots(r, plain, what + " reversed twice");
        const std::size_t cut = plain.empty() ? 0 : rng() % (plain.size() + 3);
        r.resize(cut);
        plain.resize(cut);
        expect_slots(r, plain, what + " resized");
    }
}

// ---------------------------------------------------------------- merge_from

TEST(MergeFrom, Table) {
    struct Case {
        const char* name;
        Payload into, other, expected;
    };
    const Case cases[] = {
        {"sums per video, largest first", P(1, {1, 2}, {3, 1}), P(2, {2, 3}, {5, 4}), P(3, {2, 3, 1}, {6, 4, 3})},
        {"repeats within one input are summed", P(0, {7, 7, 8}, {1, 1, 1}), P(0, {}, {}), P(0, {7, 8}, {2, 1})},
        {"equal counts by ascending video", P(0, {9, 4}, {2, 2}), P(0, {6}, {2}), P(0, {4, 6, 9}, {2, 2, 2})},
        {"zero counts are kept", P(0, {5}, {0}), P(0, {3}, {0}), P(0, {3, 5}, {0, 0})},
        {"total_count saturates", P(kMax, {}, {}), P(1, {}, {}), P(kMax, {}, {})},
        {"merged count saturates", P(0, {1, 2}, {kMax, 3}), P(0, {1}, {kMax}), P(0, {1, 2}, {kMax, 3})},
        {"saturated ties by ascending video", P(0, {9, 2}, {kMax, kMax - 1}), P(0, {2}, {7}),
         P(0, {2, 9}, {kMax, kMax})},
        {"ordered by the 64-bit sum, stored saturated", P(0, {2, 9}, {kMax, kMax - 1}), P(0, {9}, {7}),
         P(0, {9, 2}, {kMax, kMax})},
    };
    for (const Case& c : cases) {
        Payload got = c.into;
        got.merge_from(c.other);
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

// ----------------------------------------------------------------- propagate

TEST(Propagate, Examples) {
    struct Case {
        const char* name;
        Ids shifts, transitions;
        std::vector<std::optional<Payload>> input;
        std::uint32_t top_n;
        std::vector<Payload> expected;
    };
    // The examples of the documented behaviour are observed end to end in
    // test_build.py; these are the paths only reachable with odd layouts.
    const Case cases[] = {
        {"absent payload becomes empty", {0}, {}, {std::nullopt}, 3, {P(0, {}, {})}},
        {"lower-index child merged as given, uncut",
         {1, 0},
         {0},
         {P(1, {1, 2, 3}, {1, 2, 3}), P(1, {}, {})},
         2,
         {P(1, {1, 2}, {1, 2}), P(2, {3, 2}, {3, 2})}},
        {"chain copies the finished child",
         {0, 1, 2},
         {1, 2},
         {std::nullopt, std::nullopt, P(9, {4, 1, 2}, {1, 5, 5})},
         2,
         {P(9, {1, 4}, {5, 1}), P(9, {1, 4}, {5, 1}), P(9, {4, 1}, {1, 5})}},
        {"leaf with a repeated video is not copied as merged",
         {0, 1},
         {1},
         {std::nullopt, P(2, {7, 7}, {3, 1})},
         5,
         {P(2, {7}, {4}), P(2, {7, 7}, {3, 1})}},
    };
    for (const Case& c : cases) {
        Trie t = make_trie(c.shifts, c.transitions, c.input);
        const auto terminal_before = t.is_terminal;
        t.propagate(c.top_n);
        ASSERT_EQ(t.payloads.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            ASSERT_TRUE(t.payloads.get(i).has_value()) << c.name << " node " << i;
            EXPECT_EQ(*t.payloads.get(i), c.expected[i]) << c.name << " node " << i;
        }
        EXPECT_EQ(t.is_terminal, terminal_before) << c.name;
    }
}

TEST(Propagate, ZeroNodes) {
    Trie t;
    t.propagate(3);
    EXPECT_TRUE(t.payloads.empty());
}

TEST(Propagate, EdgeRangePastTheEndPanics) {
    struct Case {
        Ids shifts, transitions;
        std::string message;
    };
    const Case cases[] = {
        {{0, 5}, {1, 1}, "index out of bounds: the len is 2 but the index is 2"},
        // The walk starts beyond the end: the first position reached is the start.
        {{7, 9, 0}, {1, 2}, "index out of bounds: the len is 2 but the index is 7"},
    };
    for (const Case& c : cases) {
        Trie t = make_trie(c.shifts, c.transitions, std::vector<std::optional<Payload>>(c.shifts.size()));
        try {
            t.propagate(4);
            ADD_FAILURE() << "no failure for " << c.message;
        } catch (const IndexOutOfBounds& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

// The step-by-step merge, literally: highest index first, each child merged
// with merge_from as it stands, self listings skipped, then the cut.
void reference_propagate(Trie& t, std::uint32_t top_n) {
    std::vector<std::optional<Payload>> payloads;
    for (std::size_t n = 0; n < t.payloads.size(); ++n) {
        payloads.push_back(t.payloads.get(n).value_or(Payload{}));
    }
    for (std::size_t n = payloads.size(); n-- > 0;) {
        Payload own = std::move(*payloads[n]);
        payloads[n].reset();
        const EdgeRange r = t.children(n);
        for (std::size_t e = r.start; e < r.end; ++e) {
            const std::uint32_t c = t.child_transitions.at(e);
            if (payloads[c]) {
                own.merge_from(*payloads[c]);
            }
        }
        if (own.video_ids.size() > top_n) {
            own.video_ids.resize(top_n);
            own.video_counts.resize(top_n);
        }
        payloads[n] = std::move(own);
    }
    t.payloads = PayloadTable(payloads);
}

Payload random_payload(std::mt19937& rng, std::uint32_t videos, bool huge_counts, int max_len) {
    std::uniform_int_distribution<int> len(0, max_len);
    std::uniform_int_distribution<std::uint32_t> video(0, videos - 1);
    std::uniform_int_distribution<std::uint32_t> small(0, 4);
    std::uniform_int_distribution<std::uint32_t> big(kMax - 3, kMax);
    Payload p;
    p.total_count = huge_counts && rng() % 4 == 0 ? big(rng) : small(rng);
    const int k = len(rng);
    for (int i = 0; i < k; ++i) {
        p.video_ids.push_back(video(rng));
        p.video_counts.push_back(huge_counts && rng() % 4 == 0 ? big(rng) : small(rng));
    }
    return p;
}

// Arbitrary edge lists: self loops, repeated children, children with lower
// indexes than their parent, unordered shifts.
TEST(Propagate, MatchesStepByStepMergeOnArbitraryGraphs) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; ++round) {
        // Every tenth round is large enough to make the accumulator grow.
        const bool large = round % 10 == 0;
        const std::uint32_t n = 1 + rng() % (large ? 40 : 9);
        const std::uint32_t edges = rng() % (large ? 120 : 14);
        Trie t;
        for (std::uint32_t i = 0; i < edges; ++i) {
            t.child_transitions.push_back(rng() % n);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            t.node_shifts.push_back(rng() % (edges + 1));
        }
        if (rng() % 2 == 0) {
            std::sort(t.node_shifts.begin(), t.node_shifts.end());
        }
        t.child_labels.assign(n, U'a');
        const bool huge = rng() % 3 == 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            t.payloads.push(rng() % 3 == 0 ? std::nullopt
                                                : std::optional<Payload>(random_payload(
                                                      rng, 1 + rng() % (large ? 500 : 8), huge, large ? 40 : 6)));
        }
        const std::uint32_t top_n = rng() % (large ? 60 : 5);
        Trie expected = t;
        reference_propagate(expected, top_n);
        t.propagate(top_n);
        ASSERT_EQ(t.payloads, expected.payloads) << "round " << round;
    }
}

// One node with tens of thousands of children whose counts fit 16 bits each
// but whose sums pass 32 bits part way through the node's merges: the sums
// saturate at the merge where they pass, whichever lists came before.
TEST(Propagate, SixteenBitCountsSummingPast32Bits) {
    struct Case {
        const char* name;
        std::uint32_t children;
        std::function<Payload(std::uint32_t)> child;  // of child 1, 2, ...
        std::uint32_t top_n;
    };
    const Case cases[] = {
        {"sum reaches 4294967295 exactly", 65537, [](std::uint32_t) { return P(1, {1}, {65535}); }, 4},
        {"sum passes it at the last merge", 65538, [](std::uint32_t) { return P(1, {1, 2}, {65535, 65534}); }, 4},
        {"two videos tie once saturated", 65540, [](std::uint32_t i) { return P(1, {i % 2 + 1}, {65535}); }, 1},
        {"a wide list after the narrow ones", 65536,
         [](std::uint32_t i) { return i == 65536 ? P(1, {2, 1}, {70000, 65536}) : P(1, {1, 2}, {65535, 3}); }, 4},
        {"a wide list first", 65536,
         [](std::uint32_t i) { return i == 1 ? P(1, {1}, {kMax - 5}) : P(1, {3, 1}, {2, 1}); }, 4},
    };
    for (const Case& c : cases) {
        Ids shifts(c.children + 1, c.children);
        shifts[0] = 0;
        Ids transitions(c.children);
        std::vector<std::optional<Payload>> input{P(0, {2}, {65535})};
        for (std::uint32_t i = 1; i <= c.children; ++i) {
            transitions[i - 1] = i;
            input.push_back(c.child(i));
        }
        Trie t = make_trie(shifts, transitions, input);
        Trie expected = t;
        reference_propagate(expected, c.top_n);
        t.propagate(c.top_n);
        EXPECT_EQ(t.payloads.get(0), expected.payloads.get(0)) << c.name;
        EXPECT_EQ(t.payloads, expected.payloads) << c.name;
    }
}

// A tree laid out breadth-first, each node's children consecutive (edge k
// leads to node k + 1), as the builder's callers lay out an index: the
// layout every merge of a real index takes.
Trie breadth_first_tree(std::mt19937& rng, std::uint32_t n) {
    Trie t;
    std::uint32_t next = 1;
    for (std::uint32_t v = 0; v < n; ++v) {
        t.node_shifts.push_back(next - 1);
        const std::uint32_t fan = v == 0 ? 1 + rng() % 6 : (rng() % 3 == 0 ? 0 : 1 + rng() % (rng() % 4 == 0 ? 12 : 3));
        for (std::uint32_t k = 0; k < fan && next < n; ++k) {
            t.child_transitions.push_back(next++);
        }
    }
    t.child_labels.assign(n, U'a');
    return t;
}

// Trees as the builder sees them, against the step-by-step merge: lists
// in merged order and out of it, repeated videos, cuts that fall inside
// and outside the lists, counts that pass 32 bits when summed, and video
// numbers past the range that the summing table covers (from 2^16 on for
// so small an input), so that one build takes every way a merge can go.
TEST(Propagate, MatchesStepByStepMergeOnBreadthFirstTrees) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 400; ++round) {
        const std::uint32_t n = 1 + rng() % 300;
        Trie t = breadth_first_tree(rng, n);
        const std::uint32_t videos = 1 + rng() % (round % 2 == 0 ? 20 : 400);
        const bool huge = round % 5 == 0;
        const bool far = round % 7 == 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (rng() % 3 == 0) {
                t.payloads.push_absent();
                continue;
            }
            Payload p = random_payload(rng, videos, huge, 8);
            if (far && rng() % 4 == 0 && !p.video_ids.empty()) {
                p.video_ids[0] = (1u << 16) + rng() % 3;
            }
            if (rng() % 2 == 0) {
                // Some lists come already in merged order.
                Payload sorted{p.total_count, {}, {}};
                sorted.merge_from(p);
                p.video_ids = sorted.video_ids;
                p.video_counts = sorted.video_counts;
            }
            t.payloads.push(p);
        }
        t.is_terminal.assign(n, 1);
        const std::uint32_t top_n = rng() % 4 == 0 ? 0 : 1 + rng() % 12;
        Trie expected = t;
        reference_propagate(expected, top_n);
        t.propagate(top_n);
        ASSERT_EQ(t.payloads, expected.payloads) << "round " << round;
    }
}

// A fault is met where the merges one by one would meet it: a child whose
// counts are fewer than its ids as it is merged, before a later edge that
// lies past child_transitions is read; an unmerged leaf keeps such lists.
TEST(Propagate, FaultsInMergeOrder) {
    struct Case {
        const char* name;
        Ids shifts, transitions;
        std::vector<std::optional<Payload>> input;
        std::string message;
    };
    const Case cases[] = {
        {"short counts of a child, then an edge past the end",
         {0, 3},
         {1, 1},
         {std::nullopt, P(1, {5, 6, 7}, {1})},
         "index out of bounds: the len is 1 but the index is 1"},
        {"a leaf's short counts are kept; its parent's edge past the end fails",
         {0, 3},
         {0, 0},
         {std::nullopt, P(1, {5, 6, 7}, {1})},
         "index out of bounds: the len is 2 but the index is 2"},
        {"short counts of the node's own, met with its first child",
         {0, 1},
         {1},
         {P(1, {5, 6}, {}), P(1, {5}, {1})},
         "index out of bounds: the len is 0 but the index is 0"},
    };
    for (const Case& c : cases) {
        Trie t = make_trie(c.shifts, c.transitions, c.input);
        const PayloadTable before = t.payloads;
        try {
            t.propagate(4);
            ADD_FAILURE() << c.name << ": no failure";
        } catch (const IndexOutOfBounds& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.name;
        }
        EXPECT_EQ(t.payloads, before) << c.name;
    }
}

// ------------------------------------------------------------ builder checks

TEST(BuildChecks, LengthsAndEdgeTargets) {
    struct Case {
        std::size_t shifts, labels, payloads;
        Ids transitions;
        std::string message;  // empty: accepted
    };
    const Case cases[] = {
        {3, 2, 1, {}, "node_shifts len 3 != child_labels len 2"},
        {2, 2, 1, {}, "payloads len 1 != child_labels len 2"},
        {3, 3, 3, {1, 2, 7, 9}, "child_transitions[2] = 7 out of range [0..3)"},
        {0, 0, 0, {0}, "child_transitions[0] = 0 out of range [0..0)"},
        {1, 1, 1, {kMax}, "child_transitions[0] = 4294967295 out of range [0..1)"},
        {3, 3, 3, {2, 1, 0, 2}, ""},
        {0, 0, 0, {}, ""},
    };
    for (const Case& c : cases) {
        std::string got;
        try {
            check_lengths(c.shifts, c.labels, c.payloads);
            check_edge_targets(c.transitions, c.labels);
        } catch (const BuildError& e) {
            EXPECT_EQ(e.kind(), BuildError::Kind::Value);
            got = e.message();
        }
        EXPECT_EQ(got, c.message);
    }
}

TEST(BuildChecks, PayloadListsMustBeParallel) {
    EXPECT_EQ(make_payload(1, {0}, {5}), P(1, {0}, {5}));
    EXPECT_THROW(make_payload(1, {0, 1}, {5}), BuildError);
}

TEST(BuildChecks, VideoTable) {
    const std::string mixed_message = "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)";
    {
        Trie t;
        assign_video_table(t, {}, {});
        EXPECT_EQ(t.id_mode, IdMode::Uuid);
        EXPECT_TRUE(t.video_uuids.empty());
        EXPECT_TRUE(t.video_int_ids.empty());
    }
    {
        Trie t;
        const std::vector<std::uint8_t> bytes = {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12};
        const std::vector<std::size_t> widths = {4, 4, 4};
        assign_video_table(t, bytes, widths);
        EXPECT_EQ(t.id_mode, IdMode::Int32);
        EXPECT_EQ(t.video_int_ids, (Ids{1, kMax, 0x12345678}));
        EXPECT_TRUE(t.video_uuids.empty());
    }
    {
        Trie t;
        std::vector<std::uint8_t> bytes(32);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i);
        }
        const std::vector<std::size_t> widths = {16, 16};
        assign_video_table(t, bytes, widths);
        EXPECT_EQ(t.id_mode, IdMode::Uuid);
        ASSERT_EQ(t.video_uuids.size(), 2u);
        EXPECT_EQ(t.video_uuids[1][0], 16);
        EXPECT_EQ(t.video_uuids[1][15], 31);
        EXPECT_TRUE(t.video_int_ids.empty());
    }
    const std::vector<std::vector<std::size_t>> refused = {{16, 4}, {0}, {4, 5}, {8}, {4, 4, 16}};
    for (const auto& widths : refused) {
        std::size_t total = 0;
        for (std::size_t w : widths) {
            total += w;
        }
        Trie t;
        const std::vector<std::uint8_t> bytes(total);
        try {
            assign_video_table(t, bytes, widths);
            ADD_FAILURE() << "accepted widths of " << widths.size() << " entries";
        } catch (const BuildError& e) {
            EXPECT_EQ(e.message(), mixed_message);
        }
    }
}

}  // namespace
}  // namespace quillmesh
