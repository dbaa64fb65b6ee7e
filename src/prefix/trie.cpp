#include "prefix/trie.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace quillmesh {

namespace {

constexpr std::uint64_t kCountMax = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{a} + b, kCountMax));
}

// A payload whose counts list is shorter than its ids list cannot be read;
// fail as the first out-of-range read would.
void require_parallel(const Payload& p) {
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
bool in_merged_order(const Payload& p) {
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

// Sums counts per video for one node at a time, reused across nodes.
// Open addressing with linear probing; a slot belongs to the current node
// when its stamp matches, so starting the next node costs one increment.
class VideoAccumulator {
public:
    void begin() {
        used_.clear();
        if (++stamp_ == 0) {
            for (Slot& s : slots_) {
                s.stamp = 0;
            }
            stamp_ = 1;
        }
    }

    void add(const Payload& p) {
        require_parallel(p);
        if ((used_.size() + p.video_ids.size()) * 2 > slots_.size()) {
            grow(used_.size() + p.video_ids.size());
        }
        for (std::size_t i = 0; i < p.video_ids.size(); ++i) {
            Slot& s = slots_[find_or_insert(p.video_ids[i])];
            s.count = std::min(s.count + p.video_counts[i], kCountMax);
        }
    }

    // Writes the accumulated entries into `p`, largest count first (equal
    // counts by ascending video), cut to top_n, each list at its final length.
    void emit(Payload& p, std::uint32_t top_n) {
        keys_.clear();
        for (std::uint32_t pos : used_) {
            keys_.push_back(order_key(slots_[pos].video, slots_[pos].count));
        }
        const std::size_t k = std::min<std::size_t>(keys_.size(), top_n);
        if (keys_.size() > k) {
            std::nth_element(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(k), keys_.end());
        }
        std::sort(keys_.begin(), keys_.begin() + static_cast<std::ptrdiff_t>(k));
        std::vector<std::uint32_t> ids(k);
        std::vector<std::uint32_t> counts(k);
        for (std::size_t i = 0; i < k; ++i) {
            ids[i] = static_cast<std::uint32_t>(keys_[i]);
            counts[i] = static_cast<std::uint32_t>(kCountMax - (keys_[i] >> 32));
        }
        p.video_ids = std::move(ids);
        p.video_counts = std::move(counts);
    }

private:
    struct Slot {
        std::uint32_t video = 0;
        std::uint32_t stamp = 0;
        std::uint64_t count = 0;
    };

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
        used_.reserve(entries);
        mask_ = capacity - 1;
        // Fresh slots carry stamp 0; the current stamp is never 0.
        for (std::uint32_t pos : live) {
            slots_[find_or_insert(old[pos].video)].count = old[pos].count;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::uint32_t stamp_ = 0;
    std::vector<std::uint32_t> used_;  // slot positions of the current node
    std::vector<std::uint64_t> keys_;
};

void cut(Payload& p, std::uint32_t top_n) {
    if (p.video_ids.size() > top_n) {
        p.video_ids.resize(top_n);
        p.video_ids.shrink_to_fit();
    }
    if (p.video_counts.size() > top_n) {
        p.video_counts.resize(top_n);
        p.video_counts.shrink_to_fit();
    }
}

}  // namespace

// Equivalent to taking each node's payload out, merging every child listing
// other than itself into it with merge_from (children as they stand at that
// moment), cutting to video_top_n and putting it back, for n = N-1 down to 0.
// Instead of one merge per child, each node sums all contributions once in a
// reused accumulator; since counts only grow and saturate, summing once and
// sorting once gives the same lists as merging step by step.
void Trie::propagate(std::uint32_t video_top_n) {
    // Absent payloads count as empty ones. Nodes are filled as they are
    // processed (one pass less over a large array); slots beyond the node
    // count, which no walk visits, are filled here.
    const std::size_t n_nodes = node_count();
    for (std::size_t i = n_nodes; i < payloads.size(); ++i) {
        if (!payloads[i]) {
            payloads[i].emplace();
        }
    }
    if (n_nodes == 0) {
        return;
    }
    const Payload empty_payload;
    // finished[c]: node c has been processed and its lists are in merged
    // order, so a parent whose only contribution is c can copy them.
    std::vector<std::uint8_t> finished(n_nodes, 0);
    VideoAccumulator acc;

    for (std::size_t n = n_nodes; n-- > 0;) {
        (void)at(payloads, n);
        if (!payloads[n]) {
            payloads[n].emplace();
        }
        Payload& own = *payloads[n];
        const EdgeRange range = children(n);
        std::uint32_t total = own.total_count;
        std::size_t contributions = 0;
        const Payload* only = nullptr;  // the first contribution, while it may be the only one
        bool accumulating = false;

        for (std::size_t e = range.start; e < range.end; ++e) {
            const std::uint32_t c = at(child_transitions, e);
            if (c == n) {
                continue;  // a node listed as its own child contributes nothing
            }
            const std::optional<Payload>& slot = at(payloads, c);
            // Only a child not yet processed (c < n) can still be absent.
            const Payload& child = slot ? *slot : empty_payload;
            total = saturating_add(total, child.total_count);
            ++contributions;
            if (contributions == 1 && own.video_ids.empty() && c < n_nodes && finished[c] != 0) {
                only = &child;
                continue;
            }
            if (!accumulating) {
                acc.begin();
                acc.add(own);
                if (only != nullptr) {
                    acc.add(*only);
                    only = nullptr;
                }
                accumulating = true;
            }
            acc.add(child);
        }

        if (contributions == 0) {
            // Not merged: own lists stay as given, only cut.
            cut(own, video_top_n);
            finished[n] = in_merged_order(own) ? 1 : 0;
            continue;
        }
        own.total_count = total;
        if (only != nullptr) {
            const std::size_t k = std::min<std::size_t>(only->video_ids.size(), video_top_n);
            own.video_ids.assign(only->video_ids.begin(), only->video_ids.begin() + static_cast<std::ptrdiff_t>(k));
            own.video_counts.assign(only->video_counts.begin(),
                                    only->video_counts.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            acc.emit(own, video_top_n);
        }
        finished[n] = 1;
    }
}

}  // namespace quillmesh
