// The byte format of a serialized Trie: worked examples both ways, single
// values, every decode error with its rendering, tolerance of non-minimal
// varints and trailing bytes, and a seeded round-trip property.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "failures.hpp"
#include "prefix/codec.hpp"

namespace quillmesh {
namespace {

using Bytes = std::vector<std::uint8_t>;

// "01 00 | FB 2C 01" -> bytes (spaces and bars are for reading only).
Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ' && c != '|') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string decode_error_of(const Bytes& bytes) {
    try {
        decode(bytes);
    } catch (const DecodeError& e) {
        return e.rendering();
    }
    return "<decoded without error>";
}

Trie one_node_trie() {
    Trie t;
    t.node_shifts = {0};
    t.child_labels = {U'\0'};
    t.payloads = {Payload{}};
    t.id_mode = IdMode::Uuid;
    t.is_terminal = {0};
    return t;
}

Trie two_node_trie() {
    Trie t;
    t.node_shifts = {0, 1};
    t.child_labels = {U'\0', U'a'};
    t.child_transitions = {1};
    t.payloads = {Payload{1, {0}, {1}}, Payload{1, {0}, {1}}};
    t.video_int_ids = {7};
    t.id_mode = IdMode::Int32;
    t.is_terminal = {0, 1};
    return t;
}

const Bytes kOneNode = hex("01 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00");
const Bytes kTwoNodes = hex(
    "02 00 01 | 02 00 61 | 01 01 | 02 01 01 01 00 01 01 01 01 01 00 01 01 | 00 | 01 07 | 01 | 02 00 01");

TEST(Codec, WorkedExamplesBothWays) {
    ASSERT_EQ(kOneNode.size(), 15u);
    ASSERT_EQ(kTwoNodes.size(), 28u);
    EXPECT_EQ(encoded_size(one_node_trie()), 15u);
    EXPECT_EQ(encode(one_node_trie()), kOneNode);
    EXPECT_EQ(decode(kOneNode), one_node_trie());
    EXPECT_EQ(encoded_size(two_node_trie()), 28u);
    EXPECT_EQ(encode(two_node_trie()), kTwoNodes);
    EXPECT_EQ(decode(kTwoNodes), two_node_trie());
}

TEST(Codec, EmptyTrieIsEightEmptyFields) {
    EXPECT_EQ(encode(Trie{}), hex("00 00 00 00 00 00 00 00"));
    EXPECT_EQ(decode(hex("00 00 00 00 00 00 00 00")), Trie{});
}

TEST(Codec, UnsignedValuesAtEveryWidthBoundary) {
    // The value sits in node_shifts of an otherwise empty trie.
    const Bytes rest = hex("00 00 00 00 00 00 00");
    struct Case {
        std::uint32_t value;
        const char* bytes;
    };
    const Case cases[] = {
        {0, "00"},
        {250, "FA"},
        {251, "FB FB 00"},
        {300, "FB 2C 01"},
        {65535, "FB FF FF"},
        {65536, "FC 00 00 01 00"},
        {70000, "FC 70 11 01 00"},
        {2147483648u, "FC 00 00 00 80"},
        {4294967295u, "FC FF FF FF FF"},
    };
    for (const Case& c : cases) {
        Trie t;
        t.node_shifts = {c.value};
        const Bytes expected = concat(concat(hex("01"), hex(c.bytes)), rest);
        EXPECT_EQ(encode(t), expected) << c.value;
        EXPECT_EQ(encoded_size(t), expected.size()) << c.value;
        EXPECT_GE(encoded_size_bound(t), expected.size()) << c.value;
        EXPECT_EQ(decode(expected), t) << c.value;
    }
}

TEST(Codec, CharactersAtEveryWidthBoundary) {
    const Bytes rest = hex("00 00 00 00 00 00");
    struct Case {
        char32_t c;
        const char* bytes;
    };
    const Case cases[] = {
        {U'\0', "00"},          {0x7F, "7F"},          {0x80, "C2 80"},          {0xE9, "C3 A9"},
        {0x7FF, "DF BF"},       {0x800, "E0 A0 80"},   {0x20AC, "E2 82 AC"},     {0xD7FF, "ED 9F BF"},
        {0xE000, "EE 80 80"},   {0xFFFF, "EF BF BF"},  {0x10000, "F0 90 80 80"}, {0x1F600, "F0 9F 98 80"},
        {0x10FFFF, "F4 8F BF BF"},
    };
    for (const Case& c : cases) {
        Trie t;
        t.child_labels = {c.c};
        const Bytes expected = concat(concat(hex("00 01"), hex(c.bytes)), rest);
        EXPECT_EQ(encode(t), expected) << static_cast<std::uint32_t>(c.c);
        EXPECT_EQ(decode(expected), t) << static_cast<std::uint32_t>(c.c);
    }
}

TEST(Codec, UuidsAndIdModeAsStored) {
    Trie t;
    Uuid u;
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = static_cast<std::uint8_t>(0xF0 + i);
    t.video_uuids = {u};
    t.video_int_ids = {4294967295u};  // both tables: the decoder does not check consistency
    t.id_mode = IdMode::Int32;
    const Bytes expected =
        hex("00 00 00 00 | 01 F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF | 01 FC FF FF FF FF | 01 | 00");
    EXPECT_EQ(encode(t), expected);
    EXPECT_EQ(decode(expected), t);
}

TEST(Codec, EveryDecodeErrorWithItsRendering) {
    const std::string end1 = "UnexpectedEnd { additional: 1 }";
    const std::string option_variant =
        "UnexpectedVariant { type_name: \"core::option::Option<quillmesh::payload::Payload>\", "
        "allowed: Range { min: 0, max: 1 }, found: ";
    const std::string idmode_variant =
        "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: ";
    struct Case {
        const char* what;
        std::string bytes;
        std::string rendering;
    };
    // Bytes that bring the reader to the length of a field, all earlier
    // fields empty: L labels, T transitions, P payloads, U uuids, I int ids,
    // M id_mode (a value, not a length), B is_terminal.
    const std::string L = "00 ", T = "00 00 ", P = "00 00 00 ", U = "00 00 00 00 ", I = "00 00 00 00 00 ",
                      M = "00 00 00 00 00 00 ", B = "00 00 00 00 00 00 00 ";
    const Case cases[] = {
        // lengths
        {"empty input", "", end1},
        {"length marker 251, no value", "FB", "UnexpectedEnd { additional: 2 }"},
        {"length marker 251, one byte", "FB 01", end1},
        {"length marker 252, two bytes", "FC 01 02", "UnexpectedEnd { additional: 2 }"},
        {"length marker 253, one byte", "FD 01", "UnexpectedEnd { additional: 7 }"},
        {"length marker 254", "FE 00 00 00", "InvalidIntegerType { expected: U64, found: U128 }"},
        {"length marker 255", "FF", "InvalidIntegerType { expected: U64, found: Reserved }"},
        {"length marker 255, more follows", "FF 00 00 00 00 00", "InvalidIntegerType { expected: U64, found: Reserved }"},
        {"length 2^32", "FD 00 00 00 00 01 00 00 00", "OutsideUsizeRange(4294967296)"},
        {"length 2^64-1", "FD FF FF FF FF FF FF FF FF", "OutsideUsizeRange(18446744073709551615)"},
        {"length of a later field", U + "FF", "InvalidIntegerType { expected: U64, found: Reserved }"},
        // unsigned 32-bit values
        {"one element announced, none present", "01", end1},
        {"u32 marker 251, one byte", "01 FB 01", end1},
        {"u32 marker 252, none", "01 FC", "UnexpectedEnd { additional: 4 }"},
        {"u32 marker 253", "01 FD 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }"},
        {"u32 marker 254", "01 FE", "InvalidIntegerType { expected: U32, found: U128 }"},
        {"u32 marker 255", "01 FF", "InvalidIntegerType { expected: U32, found: Reserved }"},
        {"transition marker 253", T + "01 FD", "InvalidIntegerType { expected: U32, found: U64 }"},
        {"int id marker 254", I + "01 FE", "InvalidIntegerType { expected: U32, found: U128 }"},
        // characters
        {"char missing", L + "01", end1},
        {"char width 2, 1 byte", L + "01 C3", end1},
        {"char width 3, 2 bytes", L + "01 E2 82", end1},
        {"char width 4, 1 byte", L + "01 F0", "UnexpectedEnd { additional: 3 }"},
        {"end before validity", L + "01 F0 41", "UnexpectedEnd { additional: 2 }"},
        {"continuation as first", L + "01 80", "InvalidCharEncoding([128, 0, 0, 0])"},
        {"C0 as first", L + "01 C0 80", "InvalidCharEncoding([192, 0, 0, 0])"},
        {"C1 as first", L + "01 C1 BF", "InvalidCharEncoding([193, 0, 0, 0])"},
        {"F5 as first", L + "01 F5 80 80 80", "InvalidCharEncoding([245, 0, 0, 0])"},
        {"FF as first", L + "01 FF", "InvalidCharEncoding([255, 0, 0, 0])"},
        {"bad 2nd byte", L + "01 C3 41", "InvalidCharEncoding([195, 65, 0, 0])"},
        {"bad 3rd byte", L + "01 E2 82 41", "InvalidCharEncoding([226, 130, 65, 0])"},
        {"bad 4th byte", L + "01 F0 9F 98 C0", "InvalidCharEncoding([240, 159, 152, 192])"},
        {"overlong 3 bytes", L + "01 E0 9F BF", "InvalidCharEncoding([224, 159, 191, 0])"},
        {"surrogate U+D800", L + "01 ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"},
        {"surrogate U+DFFF", L + "01 ED BF BF", "InvalidCharEncoding([237, 191, 191, 0])"},
        {"overlong 4 bytes", L + "01 F0 8F BF BF", "InvalidCharEncoding([240, 143, 191, 191])"},
        {"above U+10FFFF", L + "01 F4 90 80 80", "InvalidCharEncoding([244, 144, 128, 128])"},
        {"second label bad", L + "02 61 ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"},
        // payloads
        {"tag missing", P + "01", end1},
        {"tag 02", P + "01 02", option_variant + "2 }"},
        {"tag FF", P + "01 FF", option_variant + "255 }"},
        {"total_count missing", P + "01 01", end1},
        {"total_count marker 253", P + "01 01 FD", "InvalidIntegerType { expected: U32, found: U64 }"},
        {"video_ids length 254", P + "01 01 00 FE", "InvalidIntegerType { expected: U64, found: U128 }"},
        {"video_counts missing", P + "01 01 00 00", end1},
        {"video_counts element cut", P + "01 01 00 00 01 FB", "UnexpectedEnd { additional: 2 }"},
        {"second payload tag bad", P + "02 00 03", option_variant + "3 }"},
        // identifiers
        {"uuid missing", U + "01", "UnexpectedEnd { additional: 16 }"},
        {"uuid 5 of 16 bytes", U + "01 01 02 03 04 05", "UnexpectedEnd { additional: 11 }"},
        {"second uuid missing", U + "02 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F",
         "UnexpectedEnd { additional: 16 }"},
        // id_mode
        {"id_mode missing", M, end1},
        {"id_mode 2", M + "02", idmode_variant + "2 }"},
        {"id_mode 4294967295", M + "FC FF FF FF FF", idmode_variant + "4294967295 }"},
        {"id_mode marker 253", M + "FD", "InvalidIntegerType { expected: U32, found: U64 }"},
        {"id_mode marker 255", M + "FF", "InvalidIntegerType { expected: U32, found: Reserved }"},
        {"id_mode 251 cut", M + "FB", "UnexpectedEnd { additional: 2 }"},
        // is_terminal
        {"is_terminal missing", B, end1},
        {"boolean missing", B + "01", end1},
        {"boolean 02", B + "01 02", "InvalidBooleanValue(2)"},
        {"boolean FF after a good one", B + "02 01 FF", "InvalidBooleanValue(255)"},
        // declared lengths far beyond the input: refused by the element reads
        {"2^32-1 shifts, no data", "FC FF FF FF FF", end1},
        {"2^32-1 labels, no data", L + "FC FF FF FF FF", end1},
        {"2^32-1 payloads, one tag", P + "FC FF FF FF FF 00", end1},
        {"2^32-1 uuids, 2 bytes", U + "FC FF FF FF FF 01 02", "UnexpectedEnd { additional: 14 }"},
        {"2^32-1 booleans", B + "FC FF FF FF FF 01 00", end1},
        {"2^32-1 video ids", P + "01 01 00 FC FF FF FF FF", end1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_error_of(hex(c.bytes)), c.rendering) << c.what;
    }
}

TEST(Codec, NonMinimalVarintsAreAcceptedAndReencodedMinimal) {
    const char* variants[] = {
        "FB 01 00 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00",                       // length as u16
        "FC 01 00 00 00 | FB 00 00 | 01 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00",  // length u32, value u16
        "01 00 | FD 01 00 00 00 00 00 00 00 00 | 00 | 01 01 00 00 00 | 00 | 00 | 00 | 01 00",  // length as u64
        "01 00 | 01 00 | 00 | 01 01 FC 00 00 00 00 FB 00 00 00 | 00 | 00 | FB 00 00 | 01 00",  // count, id_mode
    };
    for (const char* v : variants) {
        const Trie t = decode(hex(v));
        EXPECT_EQ(t, one_node_trie()) << v;
        EXPECT_EQ(encode(t), kOneNode) << v;
    }
}

TEST(Codec, TrailingBytesAreIgnored) {
    for (const char* extra : {"00", "FF", "01 02 03 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"}) {
        const Bytes input = concat(kOneNode, hex(extra));
        EXPECT_EQ(decode(input), one_node_trie()) << extra;
        EXPECT_EQ(encode(decode(input)), kOneNode) << extra;
    }
    EXPECT_EQ(decode(concat(kTwoNodes, hex("02"))), two_node_trie());
}

TEST(Codec, AbsentPayloadIsOneZeroTag) {
    Trie t;
    t.payloads = {std::nullopt, Payload{5, {}, {}}, std::nullopt};
    const Bytes expected = hex("00 00 00 | 03 00 01 05 00 00 00 | 00 00 00 00");
    EXPECT_EQ(encode(t), expected);
    EXPECT_EQ(decode(expected), t);
}

// Lists of unequal length (only a decoded index has them) come back as
// stored, also when equal ones follow the first unequal one.
TEST(Codec, UnequalPayloadListsReencodeByteForByte) {
    const Bytes bytes = hex("00 00 00 | 03 01 01 01 07 01 08 | 01 02 02 05 06 01 09 | 01 00 00 02 03 04 | 00 00 00 00");
    const Trie t = decode(bytes);
    ASSERT_EQ(t.payloads.size(), 3u);
    EXPECT_EQ(t.payloads.get(0), (Payload{1, {7}, {8}}));
    EXPECT_EQ(t.payloads.get(1), (Payload{2, {5, 6}, {9}}));
    EXPECT_EQ(t.payloads.get(2), (Payload{0, {}, {3, 4}}));
    EXPECT_EQ(encode(t), bytes);
}

// A node and its only child with equal payloads read back as stored, in
// either order of the two, next to pairs that differ or are absent.
TEST(Codec, ChainsOfEqualPayloadsReadBackAsStored) {
    const Payload a{3, {1, 2}, {2, 1}};
    const Payload b{3, {1, 2}, {2, 2}};
    Trie t;
    // 0 -> 1 -> 2, 3 -> 0 (a child before its parent), 4 -> 4 (itself), 5 -> 6.
    t.node_shifts = {0, 1, 2, 2, 3, 4, 5};
    t.child_labels.assign(7, U'a');
    t.child_transitions = {1, 2, 0, 4, 6};
    t.payloads = {a, a, a, a, a, b, std::nullopt};
    t.is_terminal.assign(7, 0);
    const std::vector<std::uint8_t> bytes = encode(t);
    const Trie back = decode(bytes);
    EXPECT_EQ(back, t);
    for (std::size_t n = 0; n < 7; ++n) {
        EXPECT_EQ(back.payloads.get(n), t.payloads.get(n)) << "slot " << n;
    }
    EXPECT_EQ(encode(back), bytes);
}

// A node's only child whose payload repeats the node's shares its record,
// whether its bytes repeat the node's exactly or spell the same payload in
// longer integer forms; bytes cut inside the repeat end as any cut does.
TEST(Codec, RepeatedPayloadsShareTheirRecordWhateverTheirForm) {
    // Two nodes, 0 -> 1, each with payload {3, [7, 300], [2, 1]}.
    const std::string head = "02 00 01 | 02 61 62 | 01 01 | 02 ";
    const std::string same = "01 03 02 07 FB 2C 01 02 02 01 ";
    const std::string tail = "| 00 | 00 | 00 | 02 00 00";
    struct Case {
        const char* what;
        std::string second;
    };
    const Case cases[] = {
        {"the same bytes", same},
        {"total as u16", "01 FB 03 00 02 07 FB 2C 01 02 02 01 "},
        {"an id as u32", "01 03 02 07 FC 2C 01 00 00 02 02 01 "},
        {"a length as u64", "01 03 FD 02 00 00 00 00 00 00 00 07 FB 2C 01 02 02 01 "},
    };
    const Payload p{3, {7, 300}, {2, 1}};
    for (const Case& c : cases) {
        const Bytes bytes = hex(head + same + c.second + tail);
        const Trie t = decode(bytes);
        EXPECT_EQ(t.payloads.get(0), p) << c.what;
        EXPECT_EQ(t.payloads.get(1), p) << c.what;
        EXPECT_EQ(t.payloads.stored_ids(), 2u) << c.what;
        EXPECT_EQ(encode(t), hex(head + same + same + tail)) << c.what;
        const std::size_t payload_start = hex(head).size();
        for (std::size_t cut = payload_start; cut < bytes.size() - hex(tail).size(); ++cut) {
            const Bytes shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_EQ(decode_error_of(shorter).rfind("UnexpectedEnd { additional: ", 0), 0u) << c.what << " cut " << cut;
        }
    }
}

// Integer lists are read eight one-byte values at a time where they can be:
// runs that end on a marker, a marker byte inside a wider value, a run cut
// by the end of the input or by a bad marker all read as one value after
// another would.
TEST(Codec, IntegerListsReadAsOneValueAfterAnother) {
    struct Case {
        const char* what;
        std::string transitions;  // field 3 as written
        std::vector<std::uint32_t> values;  // empty when `error` is set
        std::string error;
    };
    const std::string eight = "01 02 03 04 05 06 07 08 ";
    const Case cases[] = {
        {"a run of sixteen", "10 " + eight + eight, {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8}, ""},
        {"a run, then wider values", "0B " + eight + "FB 2C 01 FC 70 11 01 00 FA",
         {1, 2, 3, 4, 5, 6, 7, 8, 300, 70000, 250}, ""},
        {"marker bytes inside values", "0A FB FB FB FC FC FB FC FB " + eight,
         {0xFBFB, 0xFBFCFBFC, 1, 2, 3, 4, 5, 6, 7, 8}, ""},
        {"a run that is one short", "09 " + eight, {}, "UnexpectedEnd { additional: 1 }"},
        {"a reserved marker in a run", "09 01 02 03 FF 05 06 07 08 09", {},
         "InvalidIntegerType { expected: U32, found: Reserved }"},
        {"a u64 marker after a run", "09 " + eight + "FD 01 00 00 00 00 00 00 00", {},
         "InvalidIntegerType { expected: U32, found: U64 }"},
        {"a count far beyond the input", "FC 00 00 00 80 " + eight, {}, "UnexpectedEnd { additional: 1 }"},
    };
    for (const Case& c : cases) {
        // One node without edges, then field 3: the input ends there when
        // an error is expected, else the five fields after it follow.
        if (!c.error.empty()) {
            EXPECT_EQ(decode_error_of(hex("01 00 | 01 00 | " + c.transitions)), c.error) << c.what;
            continue;
        }
        const Bytes bytes = hex("01 00 | 01 00 | " + c.transitions + " | 01 00 | 00 | 00 | 00 | 01 00");
        const Trie t = decode(bytes);
        EXPECT_EQ(t.child_transitions, c.values) << c.what;
        // The same values as a payload's lists read back alike.
        Trie p = one_node_trie();
        p.payloads = {Payload{7, c.values, c.values}};
        EXPECT_EQ(decode(encode(p)), p) << c.what;
    }
}

// A node and its only child whose payloads differ, both written in the
// shortest forms, keep a record each; the same payload in a longer form
// shares (above).
TEST(Codec, DifferingPayloadsOfAChainKeepARecordEach) {
    Trie t;
    t.node_shifts = {0, 1};
    t.child_labels = {U'\0', U'a'};
    t.child_transitions = {1};
    t.payloads = {Payload{3, {7, 300}, {2, 1}}, Payload{3, {7, 301}, {2, 1}}};
    t.is_terminal = {0, 1};
    const Bytes bytes = encode(t);
    const Trie back = decode(bytes);
    EXPECT_EQ(back, t);
    EXPECT_EQ(back.payloads.stored_ids(), 4u);
    EXPECT_EQ(encode(back), bytes);
}

TEST(Codec, LabelThatIsNotAScalarValueIsRefusedNotWritten) {
    for (char32_t bad : {char32_t{0xD800}, char32_t{0xDFFF}, char32_t{0x110000}, char32_t{0xFFFFFFFF}}) {
        Trie t;
        t.child_labels = {bad};
        EXPECT_THROW(encoded_size(t), std::logic_error);
    }
}

// ---------------------------------------------------------------- property

struct CollectingSink : ByteSink {
    Bytes bytes;
    void write(const std::uint8_t* data, std::size_t size) override { bytes.insert(bytes.end(), data, data + size); }
};

// Slots that share a record write the bytes of its first slot, whichever
// slot that is: the same bytes as a table that stores every slot's lists,
// and as the writer to a sink, in tables short and long (past the writer's
// lookahead), with the shared record's first slot before or after the
// sharing ones (a reversed table, and one assembled further after reversing,
// which stores its slots in order again with sharing slots before their
// record's owner), among absent slots, wide counts, and counts of 8 and
// more with values past 250 inside a block of eight, in the tail after the
// blocks, or nowhere.
TEST(Codec, SharedRecordsWriteTheBytesOfTheirFirstSlot) {
    const Payload kinds[] = {
        Payload{3, {7, 300}, {2, 1}},
        Payload{70000, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 251, 65536}, {70000, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        Payload{0, {}, {}},
        Payload{5, {9}, {5}},
        Payload{9, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
                {250, 1, 2, 3, 4, 5, 6, 7, 8, 9, 251}},
        Payload{65535, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
                {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 65535, 13, 14, 15, 16, 250}},
        Payload{16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
                {0, 250, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 250}},
    };
    struct Case {
        const char* what;
        std::size_t slots;
        bool reversed;
        bool grown;  // one more slot assembled after reversing
    };
    const Case cases[] = {
        {"two slots", 2, false, false},
        {"shorter than the lookahead", 9, false, false},
        {"longer than the lookahead", 100, false, false},
        {"reversed, short", 7, true, false},
        {"reversed, long", 100, true, false},
        {"reversed then grown, short", 7, true, true},
        {"reversed then grown, long", 100, true, true},
    };
    for (const Case& c : cases) {
        std::mt19937 rng(static_cast<unsigned>(c.slots) * 2 + c.reversed);
        PayloadTable shared;
        std::vector<std::optional<Payload>> plain;
        std::vector<std::size_t> owner(std::size(kinds), c.slots);  // the first stored slot of each kind
        std::size_t first_kind = 0;
        for (std::size_t s = 0; s < c.slots; ++s) {
            // The first two slots hold one payload, so that every table shares.
            const std::size_t kind = s == 0 ? rng() % std::size(kinds)
                                     : s == 1 ? first_kind
                                              : rng() % (std::size(kinds) + 1);
            if (s == 0) {
                first_kind = kind;
            }
            if (kind == std::size(kinds)) {
                shared.push_absent();
                plain.emplace_back();
                continue;
            }
            if (owner[kind] == c.slots) {
                owner[kind] = s;
                shared.push(kinds[kind]);
            } else {
                shared.push_same_as(owner[kind]);
            }
            plain.emplace_back(kinds[kind]);
        }
        if (c.reversed) {
            shared.reverse();
            std::reverse(plain.begin(), plain.end());
        }
        if (c.grown) {
            shared.push(kinds[3]);
            plain.emplace_back(kinds[3]);
        }
        ASSERT_EQ(shared.stored_reversed(), c.reversed && !c.grown) << c.what;
        const std::size_t slots = plain.size();
        Trie t;
        t.child_labels.assign(slots, U'a');
        t.node_shifts.assign(slots, 0);
        t.is_terminal.assign(slots, 0);
        Trie u = t;
        t.payloads = std::move(shared);
        u.payloads = PayloadTable(plain);
        ASSERT_LT(t.payloads.stored_ids(), u.payloads.stored_ids()) << c.what;  // records are shared
        const Bytes bytes = encode(t);
        EXPECT_EQ(bytes, encode(u)) << c.what;
        CollectingSink sink;
        EXPECT_EQ(encode_to(t, sink), bytes.size()) << c.what;
        EXPECT_EQ(sink.bytes, bytes) << c.what;
        const Trie back = decode(bytes);
        for (std::size_t s = 0; s < slots; ++s) {
            EXPECT_EQ(back.payloads.get(s), plain[s]) << c.what << " slot " << s;
        }
    }
}

std::uint32_t random_u32(std::mt19937& rng) {
    static const std::uint32_t edges[] = {0, 1, 250, 251, 255, 256, 65535, 65536, 2147483647u, 2147483648u,
                                          4294967295u};
    switch (rng() % 4) {
        case 0: return edges[rng() % std::size(edges)];
        case 1: return rng() % 251;
        case 2: return rng() % 70000;
        default: return static_cast<std::uint32_t>(rng());
    }
}

char32_t random_scalar(std::mt19937& rng) {
    switch (rng() % 5) {
        case 0: return U'\0';
        case 1: return static_cast<char32_t>(0x20 + rng() % 0x5F);
        case 2: return static_cast<char32_t>(0x80 + rng() % (0x800 - 0x80));
        case 3: {
            char32_t c = static_cast<char32_t>(0x800 + rng() % (0x10000 - 0x800));
            return (c >= 0xD800 && c <= 0xDFFF) ? c + 0x800 : c;
        }
        default: return static_cast<char32_t>(0x10000 + rng() % (0x110000 - 0x10000));
    }
}

std::vector<std::uint32_t> random_u32s(std::mt19937& rng, std::size_t max_len) {
    std::vector<std::uint32_t> v(rng() % (max_len + 1));
    for (auto& x : v) x = random_u32(rng);
    return v;
}

Trie random_trie(std::mt19937& rng) {
    // Lengths deliberately disagree now and then: the format does not care.
    const std::size_t n = rng() % 12;
    auto len = [&](std::size_t base) { return rng() % 8 == 0 ? rng() % 12 : base; };
    Trie t;
    t.node_shifts.resize(len(n));
    for (auto& s : t.node_shifts) s = random_u32(rng);
    t.child_labels.resize(len(n));
    for (auto& c : t.child_labels) c = random_scalar(rng);
    t.child_transitions = random_u32s(rng, 14);
    std::vector<std::optional<Payload>> payloads(len(n));
    for (auto& p : payloads) {
        if (rng() % 4 == 0) continue;  // absent
        Payload q;
        q.total_count = random_u32(rng);
        q.video_ids = random_u32s(rng, 5);
        q.video_counts = random_u32s(rng, 5);
        p = q;
    }
    t.payloads = PayloadTable(payloads);
    t.id_mode = rng() % 2 ? IdMode::Int32 : IdMode::Uuid;
    if (t.id_mode == IdMode::Uuid || rng() % 6 == 0) {
        t.video_uuids.resize(rng() % 4);
        for (auto& u : t.video_uuids)
            for (auto& b : u) b = static_cast<std::uint8_t>(rng());
    }
    if (t.id_mode == IdMode::Int32 || rng() % 6 == 0) t.video_int_ids = random_u32s(rng, 4);
    t.is_terminal.resize(len(n));
    for (auto& b : t.is_terminal) b = static_cast<std::uint8_t>(rng() % 2);
    return t;
}

TEST(Codec, RandomTriesRoundTripAndEveryTruncationEndsInUnexpectedEnd) {
    std::mt19937 rng(20261208);
    for (int iteration = 0; iteration < 400; ++iteration) {
        const Trie t = random_trie(rng);
        const Bytes bytes = encode(t);
        ASSERT_EQ(bytes.size(), encoded_size(t)) << iteration;
        ASSERT_GE(encoded_size_bound(t), bytes.size()) << iteration;
        ASSERT_EQ(decode(bytes), t) << iteration;
        // A prefix of a valid encoding is valid as far as it goes, so the
        // only possible failure is running out of input.
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            const std::string err = decode_error_of(Bytes(bytes.begin(), bytes.begin() + cut));
            ASSERT_EQ(err.rfind("UnexpectedEnd { additional: ", 0), 0u) << iteration << " cut " << cut << ": " << err;
        }
    }
}

}  // namespace
}  // namespace quillmesh
