#include "prefix/matcher.hpp"

#include "kept_room.hpp"
#include "prefix/walk.hpp"
#include "text.hpp"

namespace quillmesh {

bool nothing_to_walk(const Trie& trie, std::optional<std::uint32_t> limit) {
    return (limit && *limit == 0) || trie.child_labels.empty();
}

void fuzzy_match(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                 std::optional<std::uint32_t> limit, std::vector<MatchResult>& out, Poll poll) {
    out.clear();
    if (nothing_to_walk(index.trie(), limit)) {
        return;
    }
    const RoomLease<QueryRoom> room;
    decode_utf8(term, room->code_points);
    walk::TermReporter reporter{out};
    walk::walk_index(index, room->code_points, max_dist, limit, reporter, poll);
}

std::vector<MatchResult> fuzzy_match(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit) {
    std::vector<MatchResult> out;
    fuzzy_match(index, term, max_dist, limit, out);
    return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                                         bool terminal_only, std::optional<std::uint32_t> limit, Poll poll) {
    std::vector<NodeMatch> out;
    if (nothing_to_walk(index.trie(), limit)) {
        return out;
    }
    const std::u32string query = decode_utf8(term);
    walk::NodeReporter reporter{out, terminal_only};
    walk::walk_index(index, query, max_dist, limit, reporter, poll);
    return out;
}

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit) {
    return fuzzy_match(SearchIndex(Trie(trie)), term, max_dist, limit);
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                         bool terminal_only, std::optional<std::uint32_t> limit) {
    return fuzzy_match_nodes(SearchIndex(Trie(trie)), term, max_dist, terminal_only, limit);
}

}  // namespace quillmesh
