// The quick reading of one line of a rows file, "term<TAB>video_id<TAB>count":
// it takes only lines whose reading is certain (well-formed UTF-8, three
// fields, a term without U+0000, a decimal video id and count of at most
// 4294967295, or a UUID written as 32 hex digits, plain or grouped 8-4-4-4-12)
// and leaves every other line, faulty or merely unusual, to the package's
// full reader, which gives the answer and words the fault.
#pragma once

#include <cstdint>
#include <string_view>

#include "prefix/row_layout.hpp"

namespace quillmesh {

struct TsvRow {
    std::string_view term;
    VideoKey video;
    std::uint32_t count = 0;
};

// True and `out` filled when the line is certain; `line` holds no newline.
bool read_tsv_row(std::string_view line, TsvRow& out);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_utf8(std::string_view text);

}  // namespace quillmesh
