#include "prefix/matcher.hpp"

#include "kept_room.hpp"
#include "prefix/walk.hpp"
#include "text.hpp"

namespace quillmesh {

namespace {

// A limit of 0 asks for nothing, and a trie without nodes has no root to
// start from: both answer with an empty list without walking.
bool nothing_to_walk(const Trie& trie, std::optional<std::uint32_t> limit) {
    return (limit && *limit == 0) || trie.child_labels.empty();
}

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                     std::optional<std::uint32_t> limit) {
    std::vector<MatchResult> out;
    fuzzy_match(trie, term, max_dist, limit, out);
    return out;
}

void fuzzy_match(const Trie& trie, std::string_view term, std::uint32_t max_dist, std::optional<std::uint32_t> limit,
                 std::vector<MatchResult>& out) {
    out.clear();
    if (nothing_to_walk(trie, limit)) {
        return;
    }
    // The term's code points, in room this thread keeps (a walk calls out
    // to nothing that could query again meanwhile).
    thread_local std::u32string query;
    decode_utf8(term, query);
    walk::TermReporter reporter{out};
    walk::walk_trie(trie, query, max_dist, limit, reporter);
    give_back_room(query);
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                         bool terminal_only, std::optional<std::uint32_t> limit) {
    std::vector<NodeMatch> out;
    if (nothing_to_walk(trie, limit)) {
        return out;
    }
    const std::u32string query = decode_utf8(term);
    walk::NodeReporter reporter{out, terminal_only};
    walk::walk_trie(trie, query, max_dist, limit, reporter);
    return out;
}

}  // namespace quillmesh
