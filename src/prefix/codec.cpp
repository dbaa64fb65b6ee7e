#include "prefix/codec.hpp"

#include <stdexcept>

namespace quillmesh {

std::size_t encoded_size(const Trie&) { throw std::logic_error("PLACEHOLDER: codec not implemented yet"); }
void encode_into(const Trie&, std::uint8_t*) { throw std::logic_error("PLACEHOLDER: codec not implemented yet"); }
std::vector<std::uint8_t> encode(const Trie&) { throw std::logic_error("PLACEHOLDER: codec not implemented yet"); }
Trie decode(std::span<const std::uint8_t>) { throw std::logic_error("PLACEHOLDER: codec not implemented yet"); }

}  // namespace quillmesh
