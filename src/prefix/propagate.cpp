// Trie::propagate: every node's payload merged with its children's, bottom
// up, and cut to the top N (see trie.hpp).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

namespace {

constexpr std::uint64_t kCountMax = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{a} + b, kCountMax));
}

// A payload whose counts list is shorter than its ids list cannot be read;
// fail as the first out-of-range read would.
void require_parallel(const PayloadView& p) {
    if (p.video_counts.size() < p.video_ids.size()) {
        throw IndexOutOfBounds(p.video_counts.size(), p.video_counts.size());
    }
}

// Sort key of a merged entry: ascending key = count descending, then video
// ascending (counts are already saturated to 32 bits).
std::uint64_t order_key(std::uint32_t video, std::uint64_t count) {
    return ((kCountMax - count) << 32) | video;
}

// True when a finished list is what merging it alone would give: strictly in
// merged order and without a repeated video. Only short lists are examined;
// a longer one is simply taken through the accumulator.
bool in_merged_order(const PayloadView& p) {
    const std::size_t k = p.video_ids.size();
    if (k > 16 || p.video_counts.size() != k) {
        return false;
    }
    for (std::size_t i = 1; i < k; ++i) {
        if (order_key(p.video_ids[i - 1], p.video_counts[i - 1]) >= order_key(p.video_ids[i], p.video_counts[i])) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (p.video_ids[j] == p.video_ids[i]) {
                return false;
            }
        }
    }
    return true;
}

// Sums counts per video for one node at a time, reused across nodes, as the
// node's sequence of merges would: the node's own lists and its first child
// make merge 1, each further child one more merge. Within a merge counts sum
// in 64 bits; a merge stores them saturated, and the next one starts from
// the stored value. Only slots past 4294967295 differ from one plain sum:
// they are listed (over_), saturated when the next merge begins, and at the
// end are exactly the ones whose last merge's 64-bit sum orders them.
// Open addressing with linear probing; a slot belongs to the current node
// when its stamp matches, so starting the next node costs one increment.
class VideoAccumulator {
public:
    void begin() {
        used_.clear();
        over_.clear();
        merge_ = 0;
        if (++stamp_ == 0) {
            for (Slot& s : slots_) {
                s.stamp = 0;
            }
            stamp_ = 1;
        }
    }

    // Adds p's entries as part of merge number `merge` (1, 2, ...).
    void add(const PayloadView& p, std::uint32_t merge) {
        require_parallel(p);
        if ((used_.size() + p.video_ids.size()) * 2 > slots_.size()) {
            grow(used_.size() + p.video_ids.size());
        }
        if (merge != merge_) {
            for (std::uint32_t pos : over_) {
                slots_[pos].count = kCountMax;
            }
            over_.clear();
            merge_ = merge;
        }
        for (std::size_t i = 0; i < p.video_ids.size(); ++i) {
            const std::size_t pos = find_or_insert(p.video_ids[i]);
            Slot& s = slots_[pos];
            const bool was_over = s.count > kCountMax;
            s.count += p.video_counts[i];
            if (!was_over && s.count > kCountMax) {
                over_.push_back(static_cast<std::uint32_t>(pos));
            }
        }
    }

    // Writes the accumulated entries into `ids` and `counts` after merge
    // `last`, largest merged count first (equal counts by ascending video),
    // cut to top_n. Returns whether the stored lists are also in order by
    // their stored counts (false once a count above 4294967295 was stored
    // saturated: a merge of them alone may then reorder them).
    bool emit(std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts, std::uint32_t top_n) {
        if (!over_.empty()) {
            emit_wide(ids, counts, top_n);
            return false;
        }
        keys_.clear();
        for (std::uint32_t pos : used_) {
            keys_.push_back(order_key(slots_[pos].video, slots_[pos].count));
        }
        const std::size_t k = std::min<std::size_t>(keys_.size(), top_n);
        if (keys_.size() > k) {
            std::nth_element(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(k), keys_.end());
        }
        std::sort(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(k));
        ids.resize(k);
        counts.resize(k);
        for (std::size_t i = 0; i < k; ++i) {
            ids[i] = static_cast<std::uint32_t>(keys_[i]);
            counts[i] = static_cast<std::uint32_t>(kCountMax - (keys_[i] >> 32));
        }
        return true;
    }

private:
    struct Slot {
        std::uint32_t video = 0;
        std::uint32_t stamp = 0;
        std::uint64_t count = 0;
    };

    // emit() where some count passed 32 bits (rare: merged counts near the
    // root of a huge index): the same order on (count, video) pairs.
    void emit_wide(std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts, std::uint32_t top_n) {
        std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs;
        pairs.reserve(used_.size());
        for (std::uint32_t pos : used_) {
            pairs.emplace_back(slots_[pos].count, slots_[pos].video);
        }
        const auto before = [](const auto& a, const auto& b) {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        };
        const std::size_t k = std::min<std::size_t>(pairs.size(), top_n);
        if (pairs.size() > k) {
            std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k), pairs.end(), before);
        }
        std::sort(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k), before);
        ids.resize(k);
        counts.resize(k);
        for (std::size_t i = 0; i < k; ++i) {
            ids[i] = pairs[i].second;
            counts[i] = static_cast<std::uint32_t>(std::min(pairs[i].first, kCountMax));
        }
    }

    static std::size_t hash(std::uint32_t video) {
        return static_cast<std::size_t>((std::uint64_t{video} * 0x9E3779B97F4A7C15ull) >> 32);
    }

    std::size_t find_or_insert(std::uint32_t video) {
        std::size_t pos = hash(video) & mask_;
        while (slots_[pos].stamp == stamp_) {
            if (slots_[pos].video == video) {
                return pos;
            }
            pos = (pos + 1) & mask_;
        }
        slots_[pos] = Slot{video, stamp_, 0};
        used_.push_back(static_cast<std::uint32_t>(pos));
        return pos;
    }

    void grow(std::size_t entries) {
        std::size_t capacity = std::max<std::size_t>(slots_.size(), 64);
        while (capacity < entries * 2) {
            capacity *= 2;
        }
        std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
        std::vector<std::uint32_t> live = std::exchange(used_, {});
        over_.clear();
        used_.reserve(entries);
        mask_ = capacity - 1;
        // Fresh slots carry stamp 0; the current stamp is never 0.
        for (std::uint32_t pos : live) {
            const std::size_t to = find_or_insert(old[pos].video);
            slots_[to].count = old[pos].count;
            if (old[pos].count > kCountMax) {
                over_.push_back(static_cast<std::uint32_t>(to));
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::uint32_t stamp_ = 0;
    std::vector<std::uint32_t> used_;  // slot positions of the current node
    std::vector<std::uint32_t> over_;  // those whose count passed 32 bits in merge merge_
    std::uint32_t merge_ = 0;
    std::vector<std::uint64_t> keys_;
};

template <class List>
List first_n(const List& list, std::uint32_t n) {
    return list.first(std::min<std::size_t>(list.size(), n));
}


// VideoAccumulator's sums for the usual case, at a lower cost per entry:
// counts summed in a table indexed by the video number itself (no hashing,
// no probing), each cell stamped with the node that last named its video
// so that nothing is cleared between nodes, and the node's videos kept in
// the order first named. Only for video numbers below a bound set by the
// caller (in proportion to the input, so that one large number cannot make
// the table large), and only while no merged count passes 4294967295: a
// sum that stays within 32 bits never saturated at any merge step, so the
// plain sum is each step's result. Otherwise merge() says no and the
// caller takes the accumulator instead.
class DenseMerge {
public:
    explicit DenseMerge(std::size_t max_videos)
        : max_videos_(std::min<std::size_t>(max_videos, std::numeric_limits<std::uint32_t>::max())) {}

    // Merges `lists` into `ids` and `counts`, largest merged count first
    // (equal counts by ascending video), cut to top_n; or returns false,
    // leaving both as they were. Every list's counts are at least as many
    // as its ids.
    bool merge(const std::vector<PayloadView>& lists, std::uint32_t top_n, std::vector<std::uint32_t>& ids,
               std::vector<std::uint32_t>& counts) {
        if (++stamp_ == 0) {
            for (Cell& c : cells_) {
                c.mark = 0;
            }
            stamp_ = 1;
        }
        std::size_t entries = 0;
        for (const PayloadView& p : lists) {
            entries += p.video_ids.size();
        }
        if (videos_.size() < entries) {
            videos_.resize(entries);
            keys_.resize(entries);
        }
        std::uint32_t* const videos = videos_.data();
        std::size_t distinct = 0;
        bool over = false;
        for (const PayloadView& p : lists) {
            const std::size_t k = p.video_ids.size();
            for (std::size_t i = 0; i < k; ++i) {
                const std::uint32_t v = p.video_ids[i];
                const std::uint32_t x = p.video_counts[i];
                if (v >= cells_.size() && !grow(v)) {
                    return false;
                }
                Cell& c = cells_[v];
                if (c.mark == stamp_) {
                    over |= __builtin_add_overflow(c.count, x, &c.count);
                } else {
                    c.mark = stamp_;
                    c.count = x;
                    videos[distinct++] = v;
                }
            }
        }
        if (over) {
            return false;
        }
        std::uint64_t* const keys = keys_.data();
        for (std::size_t i = 0; i < distinct; ++i) {
            keys[i] = order_key(videos[i], cells_[videos[i]].count);
        }
        const std::size_t k = std::min<std::size_t>(distinct, top_n);
        if (distinct > k) {
            std::nth_element(keys, keys + k, keys + distinct);
        }
        std::sort(keys, keys + k);
        ids.resize(k);
        counts.resize(k);
        for (std::size_t i = 0; i < k; ++i) {
            ids[i] = static_cast<std::uint32_t>(keys[i]);
            counts[i] = static_cast<std::uint32_t>(kCountMax - (keys[i] >> 32));
        }
        return true;
    }

private:
    struct Cell {
        std::uint32_t count = 0;
        std::uint32_t mark = 0;  // the stamp of the node that last named the video
    };

    bool grow(std::uint32_t v) {
        if (v >= max_videos_) {
            return false;
        }
        std::size_t size = std::max<std::size_t>(cells_.size(), 1024);
        while (size <= v) {
            size *= 2;
        }
        cells_.resize(std::min(size, max_videos_));
        return true;
    }

    std::size_t max_videos_;
    std::vector<Cell> cells_;
    std::uint32_t stamp_ = 0;
    std::vector<std::uint32_t> videos_;  // the node's videos, as first named
    std::vector<std::uint64_t> keys_;
};

}  // namespace

// Equivalent to taking each node's payload out, merging every child listing
// other than itself into it with merge_from (children as they stand at that
// moment), cutting to video_top_n and putting it back, for n = N-1 down to 0.
// Instead of one merge per child, each node's lists (its own, then each
// child listing's) are merged at once: by DenseMerge where it can, else in
// one reused accumulator that keeps each merge's 64-bit sums and saturation
// steps (VideoAccumulator), sorted once.
//
// The result is assembled as a new table in processing order (last slot
// first) and reversed at the end, so no slot is ever rewritten in place; a
// node whose payload comes out equal to its only contributor's shares it. A
// child above the current node has been processed and is read from the new
// table; one below it (possible only in hostile input) still stands as given.
//
// A fault is raised where the merges one by one would meet it: an edge
// beyond child_transitions when it is read, a payload whose counts are
// fewer than its ids when it would first be merged.
void Trie::propagate(std::uint32_t video_top_n) {
    const std::size_t n_nodes = node_count();
    const std::size_t n_slots = payloads.size();
    PayloadTable out;
    out.reserve(n_slots);
    // Every list comes out at most video_top_n long; on a word index it is
    // about four entries per node more than the input held. Reserving a
    // bound of that order keeps the lists from being copied as they grow;
    // room never written is never resident, and reverse() leaves the lists
    // at their exact size.
    const auto room = [&](std::size_t given) {
        return std::min<std::size_t>(std::uint64_t{video_top_n} * n_slots, 4 * (given + n_slots) + 1024);
    };
    out.reserve_entries(room(payloads.stored_ids()), room(payloads.stored_counts()));
    // Slots beyond the node count, which no walk visits, stay as given;
    // absent ones become empty.
    for (std::size_t i = n_slots; i-- > n_nodes;) {
        const std::optional<PayloadView> p = payloads.at(i);
        if (p) {
            out.push(p->total_count, p->video_ids, p->video_counts);
        } else {
            out.push(0, std::span<const std::uint32_t>(), std::span<const std::uint32_t>());
        }
    }
    // Position in `out` of a slot already processed.
    const auto out_slot = [n_slots](std::size_t c) { return n_slots - 1 - c; };
    const PayloadView empty_payload;
    // finished[c]: node c has been processed and its lists are in merged
    // order, so a parent whose only contribution is c can copy them.
    std::vector<std::uint8_t> finished(n_nodes, 0);
    // Video numbers are positions in the identifier table; the summing
    // table may reach a few times the input's entries, no further.
    DenseMerge dense(std::max<std::size_t>(std::size_t{1} << 16, 4 * payloads.stored_ids()));
    VideoAccumulator acc;
    std::vector<PayloadView> lists;  // the node's own, then each contribution
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;

    for (std::size_t n = n_nodes; n-- > 0;) {
        const std::optional<PayloadView> given = payloads.at(n);
        const PayloadView own = given ? *given : empty_payload;
        const EdgeRange range = children(n);
        std::uint32_t total = own.total_count;
        lists.clear();
        lists.push_back(own);
        // A first contribution that may stay the only one, from a finished
        // child: taken as it stands, without a merge.
        bool only = false;
        std::size_t only_child = 0;
        bool merging = false;

        for (std::size_t e = range.start; e < range.end; ++e) {
            const std::uint32_t c = at(child_transitions, e);
            if (c == n) {
                continue;  // a node listed as its own child contributes nothing
            }
            PayloadView child = empty_payload;
            if (c > n) {
                if (c >= n_slots) {
                    throw IndexOutOfBounds(n_slots, c);
                }
                child = *out.at(out_slot(c));
            } else if (payloads.present(c)) {
                child = *payloads.at(c);
            }
            total = saturating_add(total, child.total_count);
            lists.push_back(child);
            if (lists.size() == 2 && own.video_ids.empty() && c < n_nodes && finished[c] != 0) {
                only = true;
                only_child = c;
                continue;
            }
            if (!merging) {
                require_parallel(own);  // a finished child's lists are parallel
                merging = true;
            }
            require_parallel(child);
        }

        if (lists.size() == 1) {
            // Not merged: own lists stay as given, only cut.
            const PayloadView cut{own.total_count, first_n(own.video_ids, video_top_n),
                                  first_n(own.video_counts, video_top_n)};
            out.push(cut.total_count, cut.video_ids, cut.video_counts);
            finished[n] = in_merged_order(cut) ? 1 : 0;
            continue;
        }
        if (only && lists.size() == 2) {
            const PayloadView& only_view = lists[1];
            if (only_view.total_count == total && only_view.video_ids.size() <= video_top_n &&
                only_view.video_counts.size() <= video_top_n) {
                // The usual case on a chain of single children: the node's
                // payload is its child's, shared rather than copied.
                out.push_same_as(out_slot(only_child));
                finished[n] = 1;
                continue;
            }
            // `only` lies in `out` itself: copied out before it is appended.
            const auto only_ids = first_n(only_view.video_ids, video_top_n);
            const auto only_counts = first_n(only_view.video_counts, video_top_n);
            ids.assign(only_ids.begin(), only_ids.end());
            counts.assign(only_counts.begin(), only_counts.end());
            finished[n] = 1;
        } else if (dense.merge(lists, video_top_n, ids, counts)) {
            finished[n] = 1;
        } else {
            // The node's own lists and its first contribution make merge 1,
            // each further contribution one more.
            acc.begin();
            acc.add(lists[0], 1);
            for (std::size_t j = 1; j < lists.size(); ++j) {
                acc.add(lists[j], static_cast<std::uint32_t>(j));
            }
            finished[n] = acc.emit(ids, counts, video_top_n) ? 1 : 0;
        }
        out.push(total, ids, counts);
    }
    out.reverse();
    out.shrink_to_fit();
    payloads = std::move(out);
}

}  // namespace quillmesh
