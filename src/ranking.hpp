// Video ranking: scores the payloads of matched nodes into normalised video
// scores, best first, with the identifiers written as text.
//
// Order is total and reproducible: scores descending, equal scores by
// ascending video number, also where a tie straddles the cut at `limit`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/derived.hpp"
#include "prefix/matcher.hpp"
#include "prefix/trie.hpp"

namespace quillmesh {

struct VideoScore {
    std::string id_text;
    double score = 0.0;
    bool operator==(const VideoScore&) const = default;
};

// One ranked video: its number (one with an identifier) and its score.
struct RankedVideo {
    std::uint32_t video = 0;
    double score = 0.0;
    bool operator==(const RankedVideo&) const = default;
};

inline constexpr double kExactWeight = 1.0;
inline constexpr double kFuzzyFactor = 0.05;
inline constexpr double kPrefixNodeFactor = 0.85;
inline constexpr double kDefaultMinScore = 0.01;

// Weight of one matched node: 1.0 for an exact match, else
// (1.0 - distance / term_length) * 0.05, times 0.85 for a prefix node.
// Zero or less means the node counts for nothing.
double node_weight(std::uint32_t distance, std::size_t term_length, bool is_terminal);

// Picks the nodes (include_prefix_nodes: true, false, or absent for terminal
// nodes first and prefix nodes only when no terminal node matches) and ranks
// their videos.
std::vector<VideoScore> fuzzy_match_video(const SearchIndex& index, std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score, Poll poll = {});

// The same, leaving the identifiers unwritten: the ranked videos into `out`
// (replacing what it held), each to be written by write_id_text.
void rank_videos(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                 std::optional<std::uint32_t> limit, std::optional<bool> include_prefix_nodes,
                 std::optional<double> min_score, std::vector<RankedVideo>& out, Poll poll = {});

// The same on a bare trie, whose derived form is made for the one call.
std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score);

// The scoring half on its own: ranks the videos of `matches` (in the order the
// matcher reported them) for a term of `term_length` code points. Throws
// IndexOutOfBounds when a match or a payload does not fit the trie.
std::vector<VideoScore> rank_node_matches(const Trie& trie, std::span<const NodeMatch> matches,
                                          std::size_t term_length, std::optional<std::uint32_t> limit,
                                          std::optional<double> min_score);

// Identifier text of one stored identifier.
std::string int_id_text(std::uint32_t id);
std::string uuid_text(const Uuid& id);

// The longest identifier text: a UUID's.
inline constexpr std::size_t kMaxIdText = 36;
// Writes the identifier text of a ranked video (one rank_videos gave for
// this trie) at `out`, which has room for kMaxIdText bytes, and returns its
// length; the text is ASCII.
std::size_t write_id_text(const Trie& trie, std::uint32_t video, char* out);

}  // namespace quillmesh
