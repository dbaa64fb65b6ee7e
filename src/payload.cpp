#include "payload.hpp"

#include <stdexcept>

namespace quillmesh {

void Payload::merge_from(const Payload&) {
    throw std::logic_error("PLACEHOLDER: merge_from not implemented yet");
}

}  // namespace quillmesh
