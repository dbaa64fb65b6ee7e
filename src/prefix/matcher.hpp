// The edit-distance walk over the trie: term matches (fuzzy_match) and node
// matches (fuzzy_match_nodes) share one walk and differ only in what they record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

struct MatchResult {
    std::string text;        // the labels from the root's child to `node`, UTF-8
    std::uint32_t node = 0;  // node index of the matched terminal node
    std::uint32_t distance = 0;
    bool operator==(const MatchResult&) const = default;
};

struct NodeMatch {
    std::uint32_t node = 0;
    std::uint32_t distance = 0;
    bool operator==(const NodeMatch&) const = default;
};

// Terminal nodes whose path lies within max_dist edits of `term` (UTF-8), in
// depth-first pre-order; the walk stops once `limit` results are recorded.
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit);
// The same into `out`, replacing what it held: a caller that keeps `out`
// between queries reuses its room.
void fuzzy_match(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                 std::optional<std::uint32_t> limit, std::vector<MatchResult>& out);

// As fuzzy_match, reporting nodes; with terminal_only false, prefix nodes too.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term,
                                         std::uint32_t max_dist, bool terminal_only,
                                         std::optional<std::uint32_t> limit);

}  // namespace quillmesh
