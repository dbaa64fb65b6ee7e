// The edit-distance walk over the index: term matches (fuzzy_match) and node
// matches (fuzzy_match_nodes) share one walk and differ only in what they record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kept_room.hpp"
#include "prefix/derived.hpp"
#include "prefix/recorder.hpp"
#include "prefix/trie.hpp"

namespace quillmesh {

using walk::Poll;

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
// depth-first pre-order, into `out` (replacing what it held); the walk stops
// once `limit` results are recorded. `poll` is called every few
// milliseconds of walking; what it throws ends the call.
void fuzzy_match(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                 std::optional<std::uint32_t> limit, std::vector<MatchResult>& out, Poll poll = {});
std::vector<MatchResult> fuzzy_match(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit);

// As fuzzy_match, reporting nodes; with terminal_only false, prefix nodes too.
std::vector<NodeMatch> fuzzy_match_nodes(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                                         bool terminal_only, std::optional<std::uint32_t> limit, Poll poll = {});

// The same on a bare trie, whose derived form is made for the one call
// (tests and tools; the module holds a SearchIndex).
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit);
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                         bool terminal_only, std::optional<std::uint32_t> limit);

// A nothing-to-walk answer: a limit of 0 asks for nothing, and a trie
// without nodes has no root to start from.
bool nothing_to_walk(const Trie& trie, std::optional<std::uint32_t> limit);

// The code points of a query term, in room the call owns (a lease of the
// thread's room that a nested call cannot take).
struct QueryRoom {
    std::u32string code_points;
    void trim() { give_back_room(code_points); }
};

}  // namespace quillmesh
