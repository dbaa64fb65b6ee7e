// Restoring an index with the rest of its bytes read on a second thread:
// the same trie and the same derived form as decoding first and deriving
// after, and the same first fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <signal.h>

#include "failures.hpp"
#include "prefix/codec.hpp"
#include "prefix/load.hpp"

namespace quillmesh {
namespace {

// A word index large enough for the second thread:
// breadth-first, children in label order, a payload on every word.
Trie large_index(std::mt19937& rng) {
    std::vector<std::map<char32_t, std::uint32_t>> kids(1);
    std::vector<char32_t> labels{U'\0'};
    std::vector<std::uint8_t> terminal{0};
    for (int w = 0; w < 40000; ++w) {
        std::uint32_t v = 0;
        const std::size_t len = 2 + rng() % 12;
        for (std::size_t k = 0; k < len; ++k) {
            const char32_t c = U'a' + static_cast<char32_t>(rng() % 20);
            auto [it, added] = kids[v].emplace(c, static_cast<std::uint32_t>(labels.size()));
            if (added) {
                kids.emplace_back();
                labels.push_back(c);
                terminal.push_back(0);
            }
            v = it->second;
        }
        terminal[v] = 1;
    }
    std::vector<std::uint32_t> order{0};
    for (std::size_t i = 0; i < order.size(); ++i) {
        for (const auto& kid : kids[order[i]]) {
            order.push_back(kid.second);
        }
    }
    std::vector<std::uint32_t> number(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        number[order[i]] = static_cast<std::uint32_t>(i);
    }
    Trie t;
    for (const std::uint32_t old : order) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        t.child_labels.push_back(labels[old]);
        t.is_terminal.push_back(terminal[old]);
        for (const auto& kid : kids[old]) {
            t.child_transitions.push_back(number[kid.second]);
        }
        if (terminal[old] != 0) {
            std::vector<std::uint32_t> ids{static_cast<std::uint32_t>(rng() % 5000), 7};
            t.payloads.push(static_cast<std::uint32_t>(rng() % 100), ids, std::vector<std::uint32_t>{3, 1});
        } else {
            t.payloads.push_absent();
        }
    }
    t.video_uuids.resize(5000);
    t.propagate(8);
    return t;
}

// What an instance reads of the derived form, flat.
std::vector<std::uint64_t> facts(const DerivedIndex& d) {
    std::vector<std::uint64_t> out{d.checked(), d.tree(), d.max_depth(), d.children_sorted(), d.children_consecutive()};
    out.insert(out.end(), d.edge_labels().begin(), d.edge_labels().end());
    for (const DerivedIndex::LabelSet& s : d.root_child_sets()) {
        out.push_back(s.first);
        out.insert(out.end(), std::begin(s.place), std::end(s.place));
    }
    if (const ReversedIndex* r = d.reversed()) {
        for (std::uint32_t v = 0; v < r->node_count(); ++v) {
            out.push_back(r->children_begin(v));
            out.push_back(r->labels()[v]);
            if (r->term_ends(v)) {
                out.push_back(r->term_node(v));
                out.push_back(r->walk_rank(r->term_node(v)));
            }
        }
    }
    return out;
}

void expect_as_sequential(const std::vector<std::uint8_t>& bytes, const char* what) {
    const SearchIndex sequential(decode(bytes));
    const SearchIndex loaded = load_index(bytes);
    EXPECT_TRUE(loaded.trie() == sequential.trie()) << what;
    EXPECT_EQ(facts(loaded.derived()), facts(sequential.derived())) << what;
}

TEST(LoadIndex, AsDecodedThenDerived) {
    std::mt19937 rng(31);
    const Trie t = large_index(rng);
    std::vector<std::uint8_t> bytes = encode(t);
    // Past both bounds of the overlap (1 MiB, 65,536 nodes).
    ASSERT_GT(bytes.size(), std::size_t{1} << 20);
    ASSERT_GE(t.node_count(), std::size_t{1} << 16);
    const SearchIndex loaded = load_index(bytes);
    ASSERT_NE(loaded.derived().reversed(), nullptr);
    expect_as_sequential(bytes, "as written");

    // Bytes after the index: the flags do not lie at the end.
    std::vector<std::uint8_t> trailing = bytes;
    trailing.insert(trailing.end(), {0, 1, 1});
    expect_as_sequential(trailing, "three bytes after it");

    // Bytes after the index that look like the flags (their count, then as
    // many ones): the form made from them is not the index's.
    std::vector<std::uint8_t> decoy = bytes;
    const std::size_t n = t.node_count();
    decoy.push_back(252);
    for (int i = 0; i < 4; ++i) {
        decoy.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    }
    decoy.insert(decoy.end(), n, 1);
    expect_as_sequential(decoy, "a decoy of the flags after it");

    // Flags that say other nodes are terms, where they are looked for.
    std::vector<std::uint8_t> flipped = bytes;
    for (std::size_t i = bytes.size() - n; i < bytes.size(); i += 7) {
        flipped[i] ^= 1;
    }
    expect_as_sequential(flipped, "other flags");
}

TEST(LoadIndex, FailsWithTheFirstFaultOfTheBytes) {
    std::mt19937 rng(32);
    const Trie t = large_index(rng);
    const std::vector<std::uint8_t> bytes = encode(t);
    const auto message = [](const std::vector<std::uint8_t>& b, bool loaded) -> std::string {
        try {
            if (loaded) {
                (void)load_index(b);
            } else {
                (void)decode(b);
            }
        } catch (const DecodeError& e) {
            return e.rendering();
        }
        return "no fault";
    };
    const std::size_t n = t.node_count();
    Trie head;
    const std::size_t first_tag = decode_head(bytes, head);
    std::vector<std::vector<std::uint8_t>> cases;
    std::vector<std::uint8_t> bad_tag = bytes;
    bad_tag[first_tag] = 2;
    cases.push_back(bad_tag);
    cases.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
    std::vector<std::uint8_t> bad_flag = bytes;
    bad_flag[bytes.size() - n / 2] = 2;
    cases.push_back(bad_flag);
    cases.emplace_back(bytes.begin(), bytes.end() - 1);  // a flag missing
    bad_tag[bytes.size() - n / 3] = 7;  // and a bad flag after the bad tag
    cases.push_back(bad_tag);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string expected = message(cases[i], false);
        EXPECT_NE(expected, "no fault") << "case " << i;
        EXPECT_EQ(message(cases[i], true), expected) << "case " << i;
    }
}

// The second thread starts with every signal blocked; the caller's mask is
// what it was before, whatever that was (a mask left full would silence
// Ctrl-C for good).
TEST(LoadIndex, LeavesTheCallersSignalMaskAsItWas) {
    std::mt19937 rng(33);
    const std::vector<std::uint8_t> bytes = encode(large_index(rng));
    sigset_t start;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &start), 0);
    for (const bool usr1_blocked : {false, true}) {
        sigset_t want = start;
        sigdelset(&want, SIGUSR2);
        if (usr1_blocked) {
            sigaddset(&want, SIGUSR1);
        } else {
            sigdelset(&want, SIGUSR1);
        }
        ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &want, nullptr), 0);
        (void)load_index(bytes);
        sigset_t after;
        ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
        EXPECT_EQ(sigismember(&after, SIGUSR1), usr1_blocked ? 1 : 0);
        EXPECT_EQ(sigismember(&after, SIGUSR2), 0);
        EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&start, SIGINT));
    }
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &start, nullptr), 0);
}

}  // namespace
}  // namespace quillmesh
