#include "ranking.hpp"

#include <stdexcept>

namespace quillmesh {

std::vector<VideoScore> fuzzy_match_video(const Trie&, std::string_view, std::uint32_t,
                                          std::optional<std::uint32_t>, std::optional<bool>,
                                          std::optional<double>) {
    throw std::logic_error("PLACEHOLDER: fuzzy_match_video not implemented yet");
}

}  // namespace quillmesh
