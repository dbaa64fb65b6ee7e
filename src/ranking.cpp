#include "ranking.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>

#include "failures.hpp"
#include "kept_room.hpp"
#include "prefix/walk.hpp"
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

// The slots of one call's score table, lent from the room its thread keeps
// (RoomLease: a nested call gets room of its own).
struct ScoreRoom {
    std::vector<Slot> slots;
    void trim() { give_back_room(slots); }
};

// Open addressing with linear probing, never more than half full, in the
// slots of a ScoreRoom. It grows as distinct videos arrive (make_room before
// each batch of lists), so its size follows the number of distinct videos scored,
// never the number of matched nodes: a node reached along millions of paths
// costs nothing more here.
class ScoreTable {
public:
    explicit ScoreTable(std::vector<Slot>& slots) : slots_(slots) { slots_.clear(); }

    // Room for `more` further keys within half the capacity.
    void make_room(std::size_t more) {
        const std::size_t wanted = 2 * (keys_ + more);
        if (wanted > slots_.size() && slots_.size() < kMaxCapacity) {
            grow(wanted);
        }
    }

    // Adds `amount` to the video's score; make_room must have made room.
    void add(std::uint32_t video, double amount) {
        Slot& s = find(video);
        if (!s.used) {
            s = Slot{amount, video, 1};
            ++keys_;
        } else {
            s.score += amount;
        }
    }

    bool empty() const { return keys_ == 0; }
    void clear() {
        keys_ = 0;
        slots_.clear();
    }
    std::vector<Slot>& slots() { return slots_; }

private:
    static constexpr std::size_t kFirstCapacity = 32;
    static constexpr std::size_t kMaxCapacity = std::size_t{1} << 33;

    // The video's slot, or the empty slot where it belongs.
    Slot& find(std::uint32_t video) {
        // Fibonacci hashing spreads consecutive video numbers over the table.
        std::size_t i = static_cast<std::size_t>((video * 0x9E3779B97F4A7C15ull) >> shift_);
        for (;;) {
            Slot& s = slots_[i];
            if (!s.used || s.video == video) {
                return s;
            }
            i = (i + 1) & mask_;
        }
    }

    void reset(std::size_t capacity) {
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        mask_ = capacity - 1;
        keys_ = 0;
        slots_.assign(capacity, Slot{0.0, 0, 0});
    }

    // Doubles at least, to a power of two; keys are 32-bit, so no table
    // needs more than 2^33 slots (a request past that can only fail, as
    // std::bad_alloc).
    void grow(std::size_t wanted) {
        const std::size_t capacity =
            std::bit_ceil(std::min(std::max({wanted, 2 * slots_.size(), kFirstCapacity}), kMaxCapacity));
        if (keys_ == 0) {
            reset(capacity);  // nothing to move: the room's storage is reused
            return;
        }
        std::vector<Slot> old;
        old.swap(slots_);
        const std::size_t keys = keys_;
        reset(capacity);
        for (const Slot& s : old) {
            if (s.used) {
                find(s.video) = s;
            }
        }
        keys_ = keys;
    }

    std::vector<Slot>& slots_;
    unsigned shift_ = 0;
    std::size_t mask_ = 0;
    std::size_t keys_ = 0;
};

// Scores node matches one at a time, in the order they come (the walk's, or
// a list's), so that no list of them is ever needed: node order, then list
// order within a node, which fixes every sum to the last bit.
//
// An inconsistent index (a matched node beyond is_terminal or payloads, or a
// payload with fewer counts than videos) is not raised when it is met: the
// first such failure is held, later matches are only counted, and rank()
// raises it. A walk that fails on its own therefore still fails first, as
// it would if every match were collected before scoring.
class VideoScorer {
public:
    VideoScorer(const Trie& trie, std::size_t term_length)
        : trie_(trie),
          term_length_(term_length),
          identifiers_(trie.id_mode == IdMode::Int32 ? trie.video_int_ids.size() : trie.video_uuids.size()),
          table_(room_->slots) {}

    // Takes a match. Matches are scored kBatch at a time: a payload read is
    // a chain of dependent misses (the slot's bits, its record, the record's
    // ends, then its lists), and scoring each as it comes would wait on the
    // whole chain once per node; a batch looks up every payload first, so
    // the chains of its nodes are in flight together, asks for their lists,
    // and only then sums them, in the same order.
    void add(std::uint32_t node, std::uint32_t distance) {
        ++matched_;
        if (failed_) {
            return;
        }
        pending_[pending_count_++] = NodeMatch{node, distance};
        if (pending_count_ == kBatch) {
            flush();
        }
    }

    // Node matches taken so far (weightless and failing ones included).
    std::size_t matched() const { return matched_; }

    // Forgets everything taken: the walk's engine gave up and the next one
    // reports again from the start.
    void restart() {
        matched_ = 0;
        pending_count_ = 0;
        failed_ = false;
        total_ = 0.0;
        table_.clear();
    }

    // The ranked rows, or the held failure. The last use of the scorer: the
    // candidates are sorted in the table's own storage.
    void rank(std::optional<std::uint32_t> limit, std::optional<double> min_score, std::vector<RankedVideo>& out);

private:
    static constexpr std::size_t kBatch = 16;

    // One weighed node of a batch and its payload.
    struct Weighed {
        double weight;
        PayloadView payload;
    };

    // Scores the pending matches, in their order. Before the checked reads
    // below, two passes over the batch only ask for what they will read,
    // one link of each payload's chain a pass (PayloadTable::ask_slot,
    // ask_record): group prefetching (Chen, Ailamaki, Gibbons and Mowry
    // 2004), which keeps the misses of every node of the batch in flight
    // together where the reads alone would wait on each chain in turn.
    void flush() {
        const PayloadTable& payloads = trie_.payloads;
        for (std::size_t k = 0; k < pending_count_; ++k) {
            const std::uint32_t node = pending_[k].node;
            if (node < trie_.is_terminal.size()) {
                __builtin_prefetch(trie_.is_terminal.data() + node);
            }
            payloads.ask_slot(node);
        }
        for (std::size_t k = 0; k < pending_count_; ++k) {
            payloads.ask_record(pending_[k].node);
        }
        Weighed weighed[kBatch];
        std::size_t count = 0;
        for (std::size_t k = 0; k < pending_count_; ++k) {
            const auto [node, distance] = pending_[k];
            if (base_weight(distance, term_length_) <= 0.0) {
                continue;  // weightless: nothing of the node is read
            }
            if (node >= trie_.is_terminal.size()) {
                hold(trie_.is_terminal.size(), node);
                break;
            }
            const double w = node_weight(distance, term_length_, trie_.is_terminal[node] != 0);
            if (node >= trie_.payloads.size()) {
                hold(trie_.payloads.size(), node);
                break;
            }
            std::optional<PayloadView> p = trie_.payloads.at(node);
            if (!p) {
                continue;
            }
            if (p->video_counts.size() < p->video_ids.size()) {
                // The first read past the end of video_counts.
                hold(p->video_counts.size(), p->video_counts.size());
                break;
            }
            weighed[count++] = Weighed{w, *p};
        }
        pending_count_ = 0;
        if (failed_) {
            return;  // rank() raises it; nothing scored matters any more
        }
        for (std::size_t k = 0; k < count; ++k) {
            const PayloadView& p = weighed[k].payload;
            if (!p.video_ids.empty()) {
                __builtin_prefetch(p.video_ids.data());
                const std::span<const std::uint16_t> counts = p.video_counts.narrow();
                if (!counts.empty()) {
                    __builtin_prefetch(counts.data());
                }
            }
        }
        // Room for the whole batch at once, so that the table grows (and
        // rehashes) once a batch, not once a payload; no more than the
        // identifier table's size, which bounds the distinct videos of a
        // consistent index (each list still makes its own room, for any
        // other). The layout decides nothing: every sum is taken in node
        // order, and rank() orders the candidates totally.
        std::size_t batch_videos = 0;
        for (std::size_t k = 0; k < count; ++k) {
            batch_videos += weighed[k].payload.video_ids.size();
        }
        table_.make_room(std::min(batch_videos, identifiers_));
        for (std::size_t k = 0; k < count; ++k) {
            const double w = weighed[k].weight;
            const PayloadView& p = weighed[k].payload;
            total_ += w * static_cast<double>(p.total_count);
            const std::size_t videos = p.video_ids.size();
            table_.make_room(videos);
            for (std::size_t i = 0; i < videos; ++i) {
                table_.add(p.video_ids[i], w * static_cast<double>(p.video_counts[i]));
            }
        }
    }

    void hold(std::size_t len, std::size_t index) {
        failed_ = true;
        failure_len_ = len;
        failure_index_ = index;
    }

    const Trie& trie_;
    std::size_t term_length_;
    std::size_t identifiers_;  // entries of the identifier table
    std::size_t matched_ = 0;
    NodeMatch pending_[kBatch];
    std::size_t pending_count_ = 0;
    bool failed_ = false;
    std::size_t failure_len_ = 0;
    std::size_t failure_index_ = 0;
    double total_ = 0.0;
    RoomLease<ScoreRoom> room_;
    ScoreTable table_;
};

// The walk's read-ahead (Recorder::ask) of what scoring a found node reads:
// its terminal flag and its payload's slot, then the slot's record, then its
// lists.
void ask_payload(const Trie& trie, std::uint32_t node, int round) {
    switch (round) {
        case 0:
            if (node < trie.is_terminal.size()) {
                __builtin_prefetch(trie.is_terminal.data() + node);
            }
            trie.payloads.ask_slot(node);
            break;
        case 1: trie.payloads.ask_record(node); break;
        default: trie.payloads.ask_lists(node); break;
    }
}

// The walk's reporter of node matches (the walk's rule for which nodes it
// takes) feeding a scorer.
struct ScoringReporter {
    static constexpr bool kSpellsPath = false;
    VideoScorer& scorer;
    bool terminal_only;

    bool accepts(const Trie& trie, std::uint32_t node) const {
        return walk::NodeReporter::takes(trie, node, terminal_only);
    }
    bool terminals_only() const { return terminal_only; }
    void ask(const Trie& t, std::uint32_t node, int round) const { ask_payload(t, node, round); }
    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t>) { scorer.add(node, distance); }
    void restart() { scorer.restart(); }
};

// The automatic mode's two walks in one, where the walk of prefix nodes
// takes the one-edit engine: that walk finds every node the walk of
// terminal nodes reports, in the same order (every engine gives the checked
// walk's records), so terminal matches are scored as they come, and the
// others kept, in walk order, for the case that no terminal node matches,
// when they are scored as a walk of prefix nodes would have reported them
// (that walk finds no terminal node either). Past kMaxKept of them the rest
// is not kept, and that case walks again. (The terminal walk alone may take
// the scheme engine, faster where a term matches; but a quarter of typed
// queries match none, and then one walk instead of two is cheaper.)
struct AutomaticReporter {
    static constexpr bool kSpellsPath = false;
    static constexpr std::size_t kMaxKept = std::size_t{1} << 16;
    const Trie& trie;
    VideoScorer& scorer;
    std::vector<NodeMatch>& others;
    bool overflowed = false;

    bool accepts(const Trie& t, std::uint32_t node) const { return walk::NodeReporter::takes(t, node, false); }
    bool terminals_only() const { return false; }
    // Only a terminal node's record is asked for: the others are scored
    // only when no terminal node matches.
    void ask(const Trie& t, std::uint32_t node, int round) const {
        if (round == 0 || (node < t.is_terminal.size() && t.is_terminal[node] != 0)) {
            ask_payload(t, node, round);
        }
    }
    void record(std::uint32_t node, std::uint32_t distance, std::span<const char32_t>) {
        if (at(trie.is_terminal, node) != 0) {
            scorer.add(node, distance);
        } else if (others.size() < kMaxKept) {
            others.push_back(NodeMatch{node, distance});
        } else {
            overflowed = true;
        }
    }
    void restart() {
        scorer.restart();
        others.clear();
        overflowed = false;
    }
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

namespace {

std::size_t write_int_id(std::uint32_t id, char* out) {
    return static_cast<std::size_t>(std::to_chars(out, out + 10, id).ptr - out);
}

std::size_t write_uuid(const Uuid& id, char* out) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out[pos++] = '-';
        }
        out[pos++] = kHexDigits[id[i] >> 4];
        out[pos++] = kHexDigits[id[i] & 0x0F];
    }
    return pos;
}

}  // namespace

std::string int_id_text(std::uint32_t id) {
    char buf[10];
    return std::string(buf, write_int_id(id, buf));
}

std::string uuid_text(const Uuid& id) {
    std::string out(kMaxIdText, '-');
    write_uuid(id, out.data());
    return out;
}

std::size_t write_id_text(const Trie& trie, std::uint32_t video, char* out) {
    return trie.id_mode == IdMode::Int32 ? write_int_id(trie.video_int_ids[video], out)
                                         : write_uuid(trie.video_uuids[video], out);
}

void VideoScorer::rank(std::optional<std::uint32_t> limit, std::optional<double> min_score,
                       std::vector<RankedVideo>& out) {
    out.clear();
    flush();
    if (failed_) {
        throw IndexOutOfBounds(failure_len_, failure_index_);
    }
    // A limit of 0 still scores: the limit acts on videos, after every check
    // of the matched nodes.
    if (table_.empty() || !(total_ > 0.0)) {
        return;
    }

    // Normalise and filter, compacting the kept candidates to the front of the
    // table's storage. A NaN threshold fails every comparison: nothing kept.
    // The identifier of each kept one is asked for as it is kept, so that
    // the rows' reads of a table of a million identifiers overlap the sort.
    const double threshold = min_score.value_or(kDefaultMinScore);
    const std::size_t identifiers =
        trie_.id_mode == IdMode::Int32 ? trie_.video_int_ids.size() : trie_.video_uuids.size();
    const char* const id_base = trie_.id_mode == IdMode::Int32
                                    ? reinterpret_cast<const char*>(trie_.video_int_ids.data())
                                    : reinterpret_cast<const char*>(trie_.video_uuids.data());
    const std::size_t id_size = trie_.id_mode == IdMode::Int32 ? sizeof(std::uint32_t) : sizeof(Uuid);
    // Most candidates fall well short of the threshold: those below `cut`
    // are left without the division, which would give less than the
    // threshold anyway. The margin of 2^-20 is far above the rounding of
    // the product and of the quotient (a few ulps), and cut and threshold
    // are asked to be normal numbers, so that no rounding is coarser than
    // relative (scores are never negative).
    const double cut = threshold * total_ * (1.0 - 0x1p-20);
    const bool screened = threshold >= std::numeric_limits<double>::min() &&
                          cut >= std::numeric_limits<double>::min() && cut <= std::numeric_limits<double>::max();
    std::vector<Slot>& slots = table_.slots();
    std::size_t kept = 0;
    for (const Slot& s : slots) {
        if (!s.used || (screened && s.score < cut)) {
            continue;
        }
        const double r = s.score / total_;
        if (r >= threshold) {
            if (s.video < identifiers) {
                __builtin_prefetch(id_base + std::size_t{s.video} * id_size);
            }
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

    // After the cut: a video number beyond the identifier table drops its
    // row, so the list may come out shorter than the limit.
    out.reserve(static_cast<std::size_t>(last - first));
    for (auto it = first; it != last; ++it) {
        if (it->video < identifiers) {
            out.push_back(RankedVideo{it->video, it->score});
        }
    }
}

namespace {

std::vector<VideoScore> with_id_texts(const Trie& trie, const std::vector<RankedVideo>& ranked) {
    std::vector<VideoScore> rows;
    rows.reserve(ranked.size());
    char text[kMaxIdText];
    for (const RankedVideo& r : ranked) {
        rows.push_back(VideoScore{std::string(text, write_id_text(trie, r.video, text)), r.score});
    }
    return rows;
}

}  // namespace

std::vector<VideoScore> rank_node_matches(const Trie& trie, std::span<const NodeMatch> matches,
                                          std::size_t term_length, std::optional<std::uint32_t> limit,
                                          std::optional<double> min_score) {
    VideoScorer scorer(trie, term_length);
    for (const NodeMatch& m : matches) {
        scorer.add(m.node, m.distance);
    }
    std::vector<RankedVideo> ranked;
    scorer.rank(limit, min_score, ranked);
    return with_id_texts(trie, ranked);
}

void rank_videos(const SearchIndex& index, std::string_view term, std::uint32_t max_dist,
                 std::optional<std::uint32_t> limit, std::optional<bool> include_prefix_nodes,
                 std::optional<double> min_score, std::vector<RankedVideo>& out, Poll poll) {
    out.clear();
    const Trie& trie = index.trie();
    // An index without nodes has no root to walk from. A zero limit still
    // walks and scores, so an inconsistent index fails as with any limit.
    if (trie.node_count() == 0) {
        return;
    }
    const RoomLease<QueryRoom> room;
    decode_utf8(term, room->code_points);
    const std::u32string_view query = room->code_points;
    // The walk never gets the limit: it counts videos, not nodes. Each
    // match is scored as the walk reports it.
    VideoScorer scorer(trie, query.size());
    auto walk_nodes = [&](bool terminal_only) {
        ScoringReporter reporter{scorer, terminal_only};
        walk::walk_index(index, query, max_dist, std::nullopt, reporter, poll);
    };
    const std::uint32_t bound = std::min(max_dist, walk::kMaxBound);
    if (!include_prefix_nodes &&
        walk::choose_engine(index.derived(), query.size(), bound, false) == walk::Engine::kOneEdit) {
        const RoomLease<ListRoom<std::vector<NodeMatch>>> others;
        AutomaticReporter reporter{trie, scorer, others->list};
        walk::walk_index(index, query, bound, std::nullopt, reporter, poll);
        if (scorer.matched() == 0) {
            if (reporter.overflowed) {
                scorer.restart();
                walk_nodes(false);
            } else {
                for (const NodeMatch& m : others->list) {
                    scorer.add(m.node, m.distance);
                }
            }
        }
        scorer.rank(limit, min_score, out);
        return;
    }
    walk_nodes(!include_prefix_nodes.value_or(false));
    // Prefix nodes only when no terminal node matched at all, whether or not
    // the terminal matches list any video or weigh anything. A walk that
    // matched nothing scored nothing, so the second starts from a clean
    // scorer.
    if (!include_prefix_nodes && scorer.matched() == 0) {
        walk_nodes(false);
    }
    scorer.rank(limit, min_score, out);
}

std::vector<VideoScore> fuzzy_match_video(const SearchIndex& index, std::string_view term,
                                          std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score, Poll poll) {
    std::vector<RankedVideo> ranked;
    rank_videos(index, term, max_dist, limit, include_prefix_nodes, min_score, ranked, poll);
    return with_id_texts(index.trie(), ranked);
}

std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                          std::optional<std::uint32_t> limit,
                                          std::optional<bool> include_prefix_nodes,
                                          std::optional<double> min_score) {
    return fuzzy_match_video(SearchIndex(Trie(trie)), term, max_dist, limit, include_prefix_nodes, min_score);
}

}  // namespace quillmesh
