// The byte format of a serialized Trie: the eight fields in declaration order,
// little-endian, variable-length integers, no header, version or checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

// Exact number of bytes encode_into() writes for `trie`.
std::size_t encoded_size(const Trie& trie);

// At least encoded_size(trie), found without sizing every integer: room to
// encode into when the result can be shrunk to size afterwards (to_bytes),
// which saves a whole pass over the index.
std::size_t encoded_size_bound(const Trie& trie);

// Writes exactly encoded_size(trie) bytes at `out` and returns their number;
// `out` must have room for encoded_size_bound(trie) bytes (the writer stores
// whole words ahead of its position).
// A label that is not a Unicode scalar value throws std::logic_error (it
// cannot be in a Trie the builder or the decoder made).
std::size_t encode_into(const Trie& trie, std::uint8_t* out);

// Receives an encoding piece by piece, in order.
class ByteSink {
public:
    virtual void write(const std::uint8_t* data, std::size_t size) = 0;

protected:
    ~ByteSink() = default;
};

// The same bytes as encode_into, handed to `sink` in pieces of at most 1 MiB,
// so that an index can be written out without its whole encoding in memory.
// Returns their number.
std::size_t encode_to(const Trie& trie, ByteSink& sink);

// Convenience: one allocation of the final size, then the bytes.
std::vector<std::uint8_t> encode(const Trie& trie);

// Reads a Trie from the start of `bytes` in one forward pass; bytes after the
// eighth field are ignored. Throws DecodeError with the exact rendering of the
// first fault met.
Trie decode(std::span<const std::uint8_t> bytes);

// decode() in two steps, for a caller that works on the first three fields
// while the rest is read: the first three fields into `trie`, returning
// where the fourth begins; then, from there, fields 4 to 8 into `rest`
// (whose first three fields are left alone), given the first three for the
// payloads' sharing hints. decode_rest returns where the elements of
// is_terminal begin. Each throws as decode() would at its first fault.
std::size_t decode_head(std::span<const std::uint8_t> bytes, Trie& trie);
std::size_t decode_rest(std::span<const std::uint8_t> bytes, std::size_t at, std::span<const std::uint32_t> node_shifts,
                        std::span<const std::uint32_t> child_transitions, Trie& rest);

}  // namespace quillmesh
