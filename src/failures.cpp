#include "failures.hpp"

namespace quillmesh {

IndexOutOfBounds::IndexOutOfBounds(std::size_t len, std::size_t index)
    : len_(len),
      index_(index),
      message_("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
               std::to_string(index)) {}

TreeFault::TreeFault(std::size_t node, std::string problem)
    : node_(node), problem_(std::move(problem)), message_("node " + std::to_string(node) + ": " + problem_) {}

}  // namespace quillmesh
