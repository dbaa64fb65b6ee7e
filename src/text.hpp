// UTF-8 text handling shared by the matchers and the ranking: query terms are
// compared and measured in Unicode scalar values, never in bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmesh {

// Decodes well-formed UTF-8 (as produced by the interpreter) into code points.
// Malformed sequences decode as U+FFFD, one per offending byte.
std::u32string decode_utf8(std::string_view text);
// The same into `out`, replacing what it held (its room is reused).
void decode_utf8(std::string_view text, std::u32string& out);

// Number of code points of well-formed UTF-8 text.
std::size_t count_code_points(std::string_view text);

// Writes the UTF-8 form of one scalar value at `out` (room for 4 bytes) and
// returns its width.
std::size_t write_utf8(char32_t c, unsigned char* out);

// Appends the UTF-8 form of one scalar value.
void append_utf8(std::string& out, char32_t c);

// The UTF-8 form of a run of scalar values, allocated once at its size.
std::string encode_utf8(std::u32string_view text);

// Bytes of the UTF-8 form of one scalar value (1 to 4).
inline std::size_t utf8_width(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

}  // namespace quillmesh
