#include "prefix/matcher.hpp"

#include <stdexcept>

namespace quillmesh {

std::vector<MatchResult> fuzzy_match(const Trie&, std::string_view, std::uint32_t, std::optional<std::uint32_t>) {
    throw std::logic_error("PLACEHOLDER: fuzzy_match not implemented yet");
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie&, std::string_view, std::uint32_t, bool,
                                         std::optional<std::uint32_t>) {
    throw std::logic_error("PLACEHOLDER: fuzzy_match_nodes not implemented yet");
}

}  // namespace quillmesh
