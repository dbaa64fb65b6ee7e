#include "prefix/trie.hpp"

#include <stdexcept>

namespace quillmesh {

void Trie::propagate(std::uint32_t) {
    throw std::logic_error("PLACEHOLDER: propagate not implemented yet");
}

}  // namespace quillmesh
