// Restoring an index from its bytes: the trie decoded and its derived form
// made, the two overlapped where it pays.
#pragma once

#include <cstdint>
#include <span>

#include "prefix/derived.hpp"

namespace quillmesh {

// The index whose serialized form starts `bytes`, exactly as
// SearchIndex(decode(bytes)) would make it, and failing as that would: a
// DecodeError at the first fault of the bytes, before anything of the
// derived form is reported; std::bad_alloc when memory runs out. Large
// indexes (many nodes) are read on a second thread from the payloads on,
// while this one makes the derived form.
SearchIndex load_index(std::span<const std::uint8_t> bytes);

}  // namespace quillmesh
