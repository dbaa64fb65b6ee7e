// Video ranking: scores the payloads of matched nodes into normalised video
// scores, best first, with the identifiers written as text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

struct VideoScore {
    std::string id_text;
    double score = 0.0;
    bool operator==(const VideoScore&) const = default;
};

std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score);

}  // namespace quillmesh
