#include "ranking.hpp"

#include <algorithm>
#include <bit>
#include <charconv>

#include "failures.hpp"
#include "text.hpp"

namespace quillmesh {

namespace {

// Weight before the prefix-node factor; the operations are done in exactly
// this order so that scores are reproducible to the last bit.
double base_weight(std::uint32_t distance, std::size_t term_length) {
    if (distance == 0) {
        return kExactWeight;
    }
    if (term_length == 0) {
        return 0.0;
    }
    const double ratio = static_cast<double>(distance) / static_cast<double>(term_length);
    return (1.0 - ratio) * kFuzzyFactor;
}

// One slot of the score table. After scoring, the table's storage is reused
// in place for the candidate list, so ranking allocates nothing per video.
struct Slot {
    double score;
    std::uint32_t video;
    std::uint32_t used;
};

// Open addressing with linear probing. The capacity is fixed up front from an
// exact bound on the number of distinct keys (the total length of the matched
// video lists), at most half full, so it never rehashes.
class ScoreTable {
public:
    explicit ScoreTable(std::size_t max_keys) {
        const std::size_t wanted = std::max<std::size_t>(16, max_keys * 2);
        const std::size_t capacity = std::bit_ceil(wanted);
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        mask_ = capacity - 1;
        slots_.assign(capacity, Slot{0.0, 0, 0});
    }

    void add(std::uint32_t video, double amount) {
        // Fibonacci hashing spreads consecutive video numbers over the table.
        std::size_t i = static_cast<std::size_t>((video * 0x9E3779B97F4A7C15ull) >> shift_);
        for (;;) {
            Slot& s = slots_[i];
            if (!s.used) {
                s = Slot{amount, video, 1};
                return;
            }
            if (s.video == video) {
                s.score += amount;
                return;
            }
            i = (i + 1) & mask_;
        }
    }

    std::vector<Slot>& slots() { return slots_; }

private:
    std::vector<Slot> slots_;
    unsigned shift_;
    std::size_t mask_;
};

// Better first: higher score, then the lower video number. Candidates carry
// distinct video numbers, so this is a strict total order and the result does
// not depend on the table's layout.
bool ranks_before(const Slot& a, const Slot& b) {
    if (a.score != b.score) {
        return a.score > b.score;
    }
    return a.video < b.video;
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

double node_weight(std::uint32_t distance, std::size_t term_length, bool is_terminal) {
    double w = base_weight(distance, term_length);
    if (w <= 0.0) {
        return 0.0;
    }
    if (!is_terminal) {
        w *= kPrefixNodeFactor;
    }
    return w;
}

std::string int_id_text(std::uint32_t id) {
    char buf[10];
    const auto res = std::to_chars(buf, buf + sizeof buf, id);
    return std::string(buf, res.ptr);
}

std::string uuid_text(const Uuid& id) {
    std::string out(36, '-');
    std::size_t pos = 0;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            ++pos;  // the hyphen already there
        }
        out[pos++] = kHexDigits[id[i] >> 4];
        out[pos++] = kHexDigits[id[i] & 0x0F];
    }
    return out;
}

std::vector<VideoScore> rank_node_matches(const Trie& trie, std::span<const NodeMatch> matches,
                                          std::size_t term_length, std::optional<std::uint32_t> limit,
                                          std::optional<double> min_score) {
    // A limit of 0 still scores: the limit acts on videos, after every
    // check of the matched nodes.

    // First pass: every check an inconsistent index can fail, in the order the
    // scoring reads (is_terminal, then payloads, then the counts of each
    // listed video), and the bound that sizes the score table.
    std::size_t entries = 0;
    for (const NodeMatch& m : matches) {
        if (base_weight(m.distance, term_length) <= 0.0) {
            continue;
        }
        (void)at(trie.is_terminal, m.node);
        const std::optional<PayloadView> p = trie.payloads.at(m.node);
        if (!p) {
            continue;
        }
        if (p->video_counts.size() < p->video_ids.size()) {
            // The first read past the end of video_counts.
            throw IndexOutOfBounds(p->video_counts.size(), p->video_counts.size());
        }
        entries += p->video_ids.size();
    }
    if (entries == 0) {
        return {};
    }

    // Second pass: the sums, in node order, then list order within a node.
    ScoreTable table(entries);
    double total = 0.0;
    for (const NodeMatch& m : matches) {
        if (base_weight(m.distance, term_length) <= 0.0) {
            continue;
        }
        const double w = node_weight(m.distance, term_length, at(trie.is_terminal, m.node) != 0);
        const std::optional<PayloadView> p = trie.payloads.at(m.node);
        if (!p) {
            continue;
        }
        total += w * static_cast<double>(p->total_count);
        const std::size_t count = p->video_ids.size();
        for (std::size_t i = 0; i < count; ++i) {
            table.add(p->video_ids[i], w * static_cast<double>(at(p->video_counts, i)));
        }
    }
    if (!(total > 0.0)) {
        return {};
    }

    // Normalise and filter, compacting the kept candidates to the front of the
    // table's storage. A NaN threshold fails every comparison: nothing kept.
    const double threshold = min_score.value_or(kDefaultMinScore);
    std::vector<Slot>& slots = table.slots();
    std::size_t kept = 0;
    for (const Slot& s : slots) {
        if (!s.used) {
            continue;
        }
        const double r = s.score / total;
        if (r >= threshold) {
            slots[kept++] = Slot{r, s.video, 1};
        }
    }
    const auto first = slots.begin();
    auto last = first + static_cast<std::ptrdiff_t>(kept);
    if (limit && *limit < kept) {
        last = first + static_cast<std::ptrdiff_t>(*limit);
        std::nth_element(first, last, first + static_cast<std::ptrdiff_t>(kept), ranks_before);
    }
    std::sort(first, last, ranks_before);

    // Identifier text, after the cut: a video number beyond the table drops
    // its row, so the list may come out shorter than the limit.
    std::vector<VideoScore> rows;
    rows.reserve(static_cast<std::size_t>(last - first));
    for (auto it = first; it != last; ++it) {
        if (trie.id_mode == IdMode::Int32) {
            if (it->video < trie.video_int_ids.size()) {
                rows.push_back(VideoScore{int_id_text(trie.video_int_ids[it->video]), it->score});
            }
        } else if (it->video < trie.video_uuids.size()) {
            rows.push_back(VideoScore{uuid_text(trie.video_uuids[it->video]), it->score});
        }
    }
    return rows;
}

std::vector<VideoScore> fuzzy_match_video(const SearchIndex& index, std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score, Poll poll) {
    const Trie& trie = index.trie();
    // An index without nodes has no root to walk from. A zero limit still
    // walks and scores, so an inconsistent index fails as with any limit.
    if (trie.node_count() == 0) {
        return {};
    }
    // The matcher never gets the limit: it counts videos, not nodes.
    std::vector<NodeMatch> matches;
    if (include_prefix_nodes) {
        matches = fuzzy_match_nodes(index, term, max_dist, !*include_prefix_nodes, std::nullopt, poll);
    } else {
        matches = fuzzy_match_nodes(index, term, max_dist, true, std::nullopt, poll);
        // Prefix nodes only when no terminal node matched at all, whether or
        // not the terminal matches list any video.
        if (matches.empty()) {
            matches = fuzzy_match_nodes(index, term, max_dist, false, std::nullopt, poll);
        }
    }
    return rank_node_matches(trie, matches, count_code_points(term), limit, min_score);
}

std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score) {
    return fuzzy_match_video(SearchIndex(Trie(trie)), term, max_dist, limit, include_prefix_nodes, min_score);
}

}  // namespace quillmesh
