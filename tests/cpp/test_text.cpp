#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text.hpp"

namespace quillmesh {
namespace {

struct TextCase {
    const char* name;
    std::u32string code_points;
    std::string utf8;
};

// One of every width, at the edges of each, and a run mixing them.
TEST(Text, EncodingAndDecodingAgreeAtEveryWidth) {
    const std::vector<TextCase> cases = {
        {"empty", U"", ""},
        {"U+0000", std::u32string(1, U'\0'), std::string(1, '\0')},
        {"last one-byte", U"\x7F", "\x7F"},
        {"first two-byte", U"\x80", "\xC2\x80"},
        {"last two-byte", U"\x7FF", "\xDF\xBF"},
        {"first three-byte", U"\x800", "\xE0\xA0\x80"},
        {"last before surrogates", U"\xD7FF", "\xED\x9F\xBF"},
        {"first after surrogates", U"\xE000", "\xEE\x80\x80"},
        {"last three-byte", U"\xFFFF", "\xEF\xBF\xBF"},
        {"first four-byte", U"\x10000", "\xF0\x90\x80\x80"},
        {"last scalar value", U"\x10FFFF", "\xF4\x8F\xBF\xBF"},
        {"mixed run", U"a\u00e9\u20ac\U0001F600z", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(encode_utf8(c.code_points), c.utf8) << c.name;
        EXPECT_EQ(decode_utf8(c.utf8), c.code_points) << c.name;
        EXPECT_EQ(count_code_points(c.utf8), c.code_points.size()) << c.name;
        std::string appended;
        for (char32_t cp : c.code_points) {
            append_utf8(appended, cp);
        }
        EXPECT_EQ(appended, c.utf8) << c.name;
    }
}

TEST(Text, MalformedBytesDecodeAsOneReplacementEach) {
    EXPECT_EQ(decode_utf8("a\xFF" "b"), U"a\uFFFDb");
    EXPECT_EQ(decode_utf8("\xC3"), U"\uFFFD");
}

}  // namespace
}  // namespace quillmesh
