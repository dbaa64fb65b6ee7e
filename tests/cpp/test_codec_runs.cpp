// The fast paths of the payload lists, held to a plain reader: runs of
// one-byte values (vector and portable forms alike), the eight-byte window
// parse of identifier lists, counts that turn wide, and every cut of the
// input inside a run, which must fail exactly as reading value by value does.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "failures.hpp"
#include "prefix/codec.hpp"
#include "prefix/varint_runs.hpp"

namespace quillmesh {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- the runs

#if defined(QUILLMESH_VARINT_SSE2)
// Bytes drawn around the edges that matter: 250/251/252 and the rest.
std::uint8_t edge_byte(std::mt19937& rng) {
    static const std::uint8_t kEdges[] = {0, 1, 127, 128, 249, 250, 251, 252, 253, 254, 255};
    return rng() % 2 == 0 ? kEdges[rng() % std::size(kEdges)] : static_cast<std::uint8_t>(rng());
}

TEST(VarintRuns, VectorAndPortableFormsAgree) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        std::uint8_t in[16];
        for (std::uint8_t& b : in) {
            b = round % 3 == 0 ? static_cast<std::uint8_t>(rng() % 251) : edge_byte(rng);
        }
        // A run of small bytes, then one at an edge, at every length.
        if (round % 3 == 0) {
            in[round % 16] = edge_byte(rng);
        }
        std::uint16_t a[16];
        std::uint16_t b[16];
        ASSERT_EQ(varint_runs::small_run_sse2(in, a), varint_runs::small_run_portable(in, b));
        ASSERT_EQ(std::vector<std::uint16_t>(a, a + 16), std::vector<std::uint16_t>(b, b + 16));

        std::uint16_t counts[8];
        for (std::uint16_t& c : counts) {
            const std::uint16_t kEdges[] = {0, 250, 251, 255, 256, 0x7FFF, 0x8000, 0xFFFF};
            c = rng() % 4 == 0 ? kEdges[rng() % 8] : static_cast<std::uint16_t>(rng() % 251);
        }
        std::uint8_t out_a[8] = {};
        std::uint8_t out_b[8] = {};
        ASSERT_EQ(varint_runs::write_small_sse2(counts, out_a), varint_runs::write_small_portable(counts, out_b));
        ASSERT_EQ(std::vector<std::uint8_t>(out_a, out_a + 8), std::vector<std::uint8_t>(out_b, out_b + 8));
    }
}
#endif

TEST(VarintRuns, RunEndsAtTheFirstByteAbove250) {
    for (std::size_t at = 0; at <= 16; ++at) {
        for (const std::uint8_t big : {251, 252, 255}) {
            std::uint8_t in[16];
            for (std::size_t i = 0; i < 16; ++i) {
                in[i] = i == at ? big : i > at ? big : 250;
            }
            std::uint16_t out[16];
            EXPECT_EQ(varint_runs::small_run(in, out), at) << at;
            EXPECT_EQ(out[0], in[0]);
            EXPECT_EQ(out[15], in[15]);
        }
    }
    const std::uint16_t fits[8] = {0, 1, 2, 3, 250, 5, 6, 7};
    std::uint8_t out[8];
    ASSERT_TRUE(varint_runs::write_small(fits, out));
    EXPECT_EQ(out[4], 250);
    for (std::size_t at = 0; at < 8; ++at) {
        std::uint16_t over[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        over[at] = 251;
        EXPECT_FALSE(varint_runs::write_small(over, out)) << at;
    }
}

// ---------------------------------------------------------------- payload lists

// One written integer: its bytes and the value they hold.
struct Written {
    std::vector<std::uint8_t> bytes;
    std::uint32_t value;
};

Written form_of(std::uint32_t v, int longer) {
    // longer: 0 the shortest form, 1 a 251-form where it fits, 2 a 252-form.
    Written w{{}, v};
    const int form = v > 0xFFFF ? 2 : v > 250 ? std::max(1, longer) : longer;
    if (form == 0) {
        w.bytes = {static_cast<std::uint8_t>(v)};
    } else if (form == 1) {
        w.bytes = {251, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    } else {
        w.bytes = {252, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                   static_cast<std::uint8_t>(v >> 24)};
    }
    return w;
}

std::uint32_t draw_value(std::mt19937& rng) {
    switch (rng() % 8) {
        case 0: return 250 + rng() % 3;               // 250, 251, 252
        case 1: return 0xFFFE + rng() % 3;            // 65534 .. 65536
        case 2: return static_cast<std::uint32_t>(rng());
        case 3: return 251 + rng() % (0xFFFF - 250);  // a 251-form
        default: return rng() % 251;                  // one byte
    }
}

// What a reader taking one value after another renders for `items` (a list
// of written integers, then the bytes after them) cut to `size` bytes: the
// values, or the first fault. A bad marker (253..255) is its own item.
std::string plain_reading(const std::vector<Written>& items, std::size_t size) {
    std::size_t at = 0;
    for (const Written& w : items) {
        const std::size_t have = size > at ? size - at : 0;
        if (have == 0) {
            return "UnexpectedEnd { additional: 1 }";
        }
        const std::uint8_t first = w.bytes[0];
        if (first == 253) return "InvalidIntegerType { expected: U32, found: U64 }";
        if (first == 254) return "InvalidIntegerType { expected: U32, found: U128 }";
        if (first == 255) return "InvalidIntegerType { expected: U32, found: Reserved }";
        if (have < w.bytes.size()) {
            return "UnexpectedEnd { additional: " + std::to_string(w.bytes.size() - have) + " }";
        }
        at += w.bytes.size();
    }
    return "";
}

// A one-node index whose payload has the given written ids and counts.
Bytes one_payload(const std::vector<Written>& ids, const std::vector<Written>& counts, std::size_t* lists_at) {
    Bytes b = {1, 0, 1, 0, 0, 1, 1, 7};  // shifts [0], label U+0000, no edges, one payload: tag, total 7
    b.push_back(static_cast<std::uint8_t>(ids.size()));
    *lists_at = b.size();
    for (const Written& w : ids) b.insert(b.end(), w.bytes.begin(), w.bytes.end());
    b.push_back(static_cast<std::uint8_t>(counts.size()));
    for (const Written& w : counts) b.insert(b.end(), w.bytes.begin(), w.bytes.end());
    for (std::uint8_t x : {0, 0, 0, 1, 0}) b.push_back(x);  // no uuids or int ids, Uuid, one flag
    return b;
}

std::string decode_error_of(const Bytes& bytes) {
    try {
        decode(bytes);
    } catch (const DecodeError& e) {
        return e.rendering();
    }
    return "";
}

// Lists of 0 to 40 values across every 8- and 16-byte edge, in every form,
// some with a bad marker: read whole they give the values (or the fault),
// and cut at every byte inside them they fail as a plain reader does.
TEST(PayloadLists, ReadAsAPlainReaderWouldWholeAndCutAnywhere) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 600; ++round) {
        const int mode = round % 4;  // 0 shortest forms, 1 some longer, 2 one-byte runs, 3 a bad marker
        std::vector<Written> ids;
        std::vector<Written> counts;
        for (auto* list : {&ids, &counts}) {
            const std::size_t n = rng() % 41;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t v = mode == 2 ? rng() % 251 : draw_value(rng);
                list->push_back(form_of(v, mode == 1 ? static_cast<int>(rng() % 3) : 0));
            }
        }
        if (mode == 3) {
            std::vector<Written>& list = ids.empty() || (rng() % 2 && !counts.empty()) ? counts : ids;
            if (!list.empty()) {
                list[rng() % list.size()] = Written{{static_cast<std::uint8_t>(253 + rng() % 3), 0, 0, 0, 0, 0, 0, 0, 0}, 0};
            }
        }
        std::size_t lists_at = 0;
        const Bytes whole = one_payload(ids, counts, &lists_at);
        // The items in reading order: ids, the counts' length, counts.
        std::vector<Written> items = ids;
        items.push_back(Written{{static_cast<std::uint8_t>(counts.size())}, 0});
        items.insert(items.end(), counts.begin(), counts.end());
        const std::string fault = plain_reading(items, whole.size() - lists_at);
        if (fault.empty()) {
            const Trie t = decode(whole);
            const std::optional<Payload> p = t.payloads.get(0);
            ASSERT_TRUE(p.has_value());
            std::vector<std::uint32_t> want_ids;
            std::vector<std::uint32_t> want_counts;
            for (const Written& w : ids) want_ids.push_back(w.value);
            for (const Written& w : counts) want_counts.push_back(w.value);
            EXPECT_EQ(p->video_ids, want_ids) << round;
            EXPECT_EQ(p->video_counts, want_counts) << round;
        } else {
            EXPECT_EQ(decode_error_of(whole), fault) << round;
        }
        for (std::size_t cut = lists_at; cut <= whole.size() - 5; ++cut) {
            // Past the lists, the next field's length is what is missing.
            const std::string cut_fault = plain_reading(items, cut - lists_at);
            ASSERT_EQ(decode_error_of(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut))),
                      cut_fault.empty() ? "UnexpectedEnd { additional: 1 }" : cut_fault)
                << round << " cut at " << cut;
        }
    }
}

// Counts below 2^16 are written eight at a time while eight one-byte values
// follow: lists of every length up to 26 with one value of another width
// (or none) at every place write the bytes of one value after another.
TEST(PayloadLists, CountsWriteAsOneValueAfterAnother) {
    const std::uint32_t others[] = {250, 251, 0xFFFF, 7};
    for (std::size_t n = 0; n <= 26; ++n) {
        for (const std::uint32_t other : others) {
            for (std::size_t at = 0; at < std::max<std::size_t>(n, 1); ++at) {
                std::vector<Written> ids;
                std::vector<Written> counts;
                for (std::size_t i = 0; i < n; ++i) {
                    ids.push_back(form_of(static_cast<std::uint32_t>(i), 0));
                    counts.push_back(form_of(i == at ? other : static_cast<std::uint32_t>(240 + i % 11), 0));
                }
                std::size_t lists_at = 0;
                const Bytes bytes = one_payload(ids, counts, &lists_at);
                EXPECT_EQ(encode(decode(bytes)), bytes) << n << " values, " << other << " at " << at;
            }
        }
    }
}

// A parent and its only child with equal payloads share one record however
// the two are written; while both are in the shortest forms the bytes
// decide, else the values.
TEST(PayloadLists, EqualPayloadsOfAChainShareInAnyForm) {
    const std::vector<std::uint32_t> ids = {7, 300, 70000, 1, 2, 3, 4, 5, 6, 250, 251};
    const std::vector<std::uint32_t> counts = {9, 8, 7, 6, 5, 4, 3, 2, 1, 1, 65536};
    for (int first = 0; first < 3; ++first) {
        for (int second = 0; second < 3; ++second) {
            Bytes b = {2, 0, 1, 2, 0, 'a', 1, 1, 2};  // shifts [0, 1], labels, edge 0 -> 1, two payloads
            for (int form : {first, second}) {
                b.insert(b.end(), {1, 40, static_cast<std::uint8_t>(ids.size())});
                for (std::uint32_t v : ids) {
                    const Written w = form_of(v, form);
                    b.insert(b.end(), w.bytes.begin(), w.bytes.end());
                }
                b.push_back(static_cast<std::uint8_t>(counts.size()));
                for (std::uint32_t v : counts) {
                    const Written w = form_of(v, form);
                    b.insert(b.end(), w.bytes.begin(), w.bytes.end());
                }
            }
            b.insert(b.end(), {0, 0, 0, 2, 0, 1});
            const Trie t = decode(b);
            EXPECT_EQ(t.payloads.records(), 1u) << first << " " << second;
            EXPECT_EQ(t.payloads.get(1), t.payloads.get(0));
            EXPECT_EQ(t.payloads.get(1)->video_ids, ids);
            EXPECT_EQ(t.payloads.get(1)->video_counts, counts);
        }
    }
}

// The same with the child's payload in the shortest forms but for one value,
// at every place of either list (inside the eight-byte windows and in the
// last bytes of the input, which are read value by value): the bytes differ
// from the parent's, so that one longer form alone must send the child to
// the values, which are equal.
TEST(PayloadLists, OneLongerFormAnywhereStillShares) {
    const std::vector<std::uint32_t> ids = {7, 300, 1, 2, 70000, 3, 4, 5, 6, 250, 251, 8, 9, 10, 11, 12, 13, 14};
    const std::vector<std::uint32_t> counts = {9, 8, 7, 6, 5, 4, 3, 2, 1, 1, 300, 2, 3, 4, 5, 6, 7, 8};
    struct Longer {
        const char* what;
        int form;  // form_of's: 1 a 251-form, 2 a 252-form
    };
    const Longer longer[] = {{"a 251-form", 1}, {"a 252-form", 2}};
    for (const Longer& l : longer) {
        for (const bool in_ids : {true, false}) {
            const std::vector<std::uint32_t>& list = in_ids ? ids : counts;
            for (std::size_t at = 0; at < list.size(); ++at) {
                if (form_of(list[at], 0).bytes.size() >= form_of(list[at], l.form).bytes.size()) {
                    continue;  // already that long
                }
                Bytes b = {2, 0, 1, 2, 0, 'a', 1, 1, 2};  // shifts [0, 1], labels, edge 0 -> 1, two payloads
                for (const bool child : {false, true}) {
                    for (const bool of_ids : {true, false}) {
                        const std::vector<std::uint32_t>& values = of_ids ? ids : counts;
                        if (of_ids) {
                            b.insert(b.end(), {1, 40});
                        }
                        b.push_back(static_cast<std::uint8_t>(values.size()));
                        for (std::size_t i = 0; i < values.size(); ++i) {
                            const bool long_one = child && of_ids == in_ids && i == at;
                            const Written w = form_of(values[i], long_one ? l.form : 0);
                            b.insert(b.end(), w.bytes.begin(), w.bytes.end());
                        }
                    }
                }
                b.insert(b.end(), {0, 0, 0, 2, 0, 1});
                const Trie t = decode(b);
                const std::string where = std::string(l.what) + (in_ids ? " id " : " count ") + std::to_string(at);
                EXPECT_EQ(t.payloads.records(), 1u) << where;
                ASSERT_TRUE(t.payloads.get(1).has_value()) << where;
                EXPECT_EQ(t.payloads.get(1)->video_ids, ids) << where;
                EXPECT_EQ(t.payloads.get(1)->video_counts, counts) << where;
            }
        }
    }
}

// Long identifier lists, read eight bytes at a time with a value of three
// bytes carried from one window into the next: in runs of one form or of
// mixed forms, with a 252-form or a bad marker inside a run, every length up
// to 120 (so the list ends at every place of a window) gives the values
// whole and, cut anywhere, the plain reader's fault.
TEST(PayloadLists, LongRunsAcrossWindows) {
    struct Pattern {
        const char* name;
        std::uint32_t (*value)(std::size_t i);
        int longer;  // form_of's
    };
    const Pattern patterns[] = {
        {"251-forms", [](std::size_t i) { return static_cast<std::uint32_t>(251 + 977 * i % 60000); }, 0},
        {"one byte", [](std::size_t i) { return static_cast<std::uint32_t>(i * 7 % 251); }, 0},
        {"one byte and 251-forms", [](std::size_t i) { return static_cast<std::uint32_t>(i % 2 ? 300 + i : i % 251); }, 0},
        {"two 251-forms, one byte", [](std::size_t i) { return static_cast<std::uint32_t>(i % 3 ? 65535 : 250); }, 0},
        {"a 252-form in every ninth", [](std::size_t i) { return static_cast<std::uint32_t>(i % 9 == 8 ? 70000 + i : 1000 + i); }, 0},
        {"251-forms of small values", [](std::size_t i) { return static_cast<std::uint32_t>(i % 5); }, 1},
        {"252-forms of small values", [](std::size_t i) { return static_cast<std::uint32_t>(i % 300); }, 2},
    };
    for (const Pattern& pattern : patterns) {
        for (std::size_t n = 1; n <= 120; ++n) {
            std::vector<Written> ids;
            for (std::size_t i = 0; i < n; ++i) {
                ids.push_back(form_of(pattern.value(i), pattern.longer));
            }
            if (n % 10 == 0) {
                ids[n / 2] = Written{{255, 0, 0, 0, 0, 0, 0, 0, 0}, 0};  // a bad marker inside the run
            }
            const std::vector<Written> counts = {form_of(3, 0)};
            std::size_t lists_at = 0;
            const Bytes whole = one_payload(ids, counts, &lists_at);
            std::vector<Written> items = ids;
            items.push_back(Written{{1}, 0});
            items.insert(items.end(), counts.begin(), counts.end());
            const std::string fault = plain_reading(items, whole.size() - lists_at);
            const std::string where = std::string(pattern.name) + ", " + std::to_string(n) + " ids";
            if (fault.empty()) {
                const std::optional<Payload> p = decode(whole).payloads.get(0);
                ASSERT_TRUE(p.has_value()) << where;
                std::vector<std::uint32_t> want;
                for (const Written& w : ids) want.push_back(w.value);
                EXPECT_EQ(p->video_ids, want) << where;
            } else {
                EXPECT_EQ(decode_error_of(whole), fault) << where;
            }
            for (std::size_t cut = lists_at; cut <= whole.size() - 5; ++cut) {
                const std::string cut_fault = plain_reading(items, cut - lists_at);
                ASSERT_EQ(decode_error_of(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut))),
                          cut_fault.empty() ? "UnexpectedEnd { additional: 1 }" : cut_fault)
                    << where << ", cut at " << cut;
            }
        }
    }
}

// A child whose ids are a long run of 251-forms repeating its parent's but
// for one value of at most 250 written as a 251-form, at every place of the
// run (every byte of a window, a value carried into the next one or not):
// the one longer form sends it to the values, which are equal, so the two
// share one record.
TEST(PayloadLists, OneLongerFormInALongRunStillShares) {
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < 40; ++i) {
        ids.push_back(i % 4 == 1 ? 9 : 1000 + i);
    }
    const std::vector<std::uint32_t> counts(ids.size(), 2);
    for (std::size_t at = 0; at < ids.size(); ++at) {
        if (ids[at] > 250) {
            continue;
        }
        Bytes b = {2, 0, 1, 2, 0, 'a', 1, 1, 2};  // shifts [0, 1], labels, edge 0 -> 1, two payloads
        for (const bool child : {false, true}) {
            b.insert(b.end(), {1, 40, static_cast<std::uint8_t>(ids.size())});
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const Written w = form_of(ids[i], child && i == at ? 1 : 0);
                b.insert(b.end(), w.bytes.begin(), w.bytes.end());
            }
            b.push_back(static_cast<std::uint8_t>(counts.size()));
            for (const std::uint32_t v : counts) {
                b.push_back(static_cast<std::uint8_t>(v));
            }
        }
        b.insert(b.end(), {0, 0, 0, 2, 0, 1});
        const Trie t = decode(b);
        EXPECT_EQ(t.payloads.records(), 1u) << "longer form at " << at;
        ASSERT_TRUE(t.payloads.get(1).has_value()) << at;
        EXPECT_EQ(t.payloads.get(1)->video_ids, ids) << at;
    }
}

}  // namespace
}  // namespace quillmesh
