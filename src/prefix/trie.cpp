#include "prefix/trie.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <utility>

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
        added_ = 0;
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
        const std::size_t k = p.video_ids.size();
        const std::span<const std::uint16_t> narrow = p.video_counts.narrow();
        if (narrow.size() == p.video_counts.size() && added_ + std::uint64_t{k} * 0xFFFF <= kCountMax) {
            // No slot holds more than added_ (a merge's saturation only
            // lowers counts), so none can pass 4294967295 here: the usual
            // case, without the test per entry.
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < k; ++i) {
                slots_[find_or_insert(p.video_ids[i])].count += narrow[i];
                sum += narrow[i];
            }
            added_ += sum;
            return;
        }
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t pos = find_or_insert(p.video_ids[i]);
            Slot& s = slots_[pos];
            const bool was_over = s.count > kCountMax;
            s.count += p.video_counts[i];
            added_ += p.video_counts[i];
            if (!was_over && s.count > kCountMax) {
                over_.push_back(static_cast<std::uint32_t>(pos));
            }
        }
    }

    // Writes the accumulated entries into the first `kept` places of `ids`
    // and `counts` after merge `last`, largest merged count first (equal
    // counts by ascending video), cut to top_n; the two lists only grow, so
    // that a short list after a long one costs no clearing. Returns whether the stored lists are also in order by
    // their stored counts (false once a count above 4294967295 was stored
    // saturated: a merge of them alone may then reorder them).
    bool emit(std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts, std::uint32_t top_n,
              std::size_t& kept) {
        if (!over_.empty()) {
            emit_wide(ids, counts, top_n, kept);
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
        room_for(ids, counts, k);
        kept = k;
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
    void emit_wide(std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts, std::uint32_t top_n,
                   std::size_t& kept) {
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
        room_for(ids, counts, k);
        kept = k;
        for (std::size_t i = 0; i < k; ++i) {
            ids[i] = pairs[i].second;
            counts[i] = static_cast<std::uint32_t>(std::min(pairs[i].first, kCountMax));
        }
    }

    static void room_for(std::vector<std::uint32_t>& ids, std::vector<std::uint32_t>& counts, std::size_t k) {
        if (ids.size() < k) {
            ids.resize(k);
        }
        if (counts.size() < k) {
            counts.resize(k);
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
    std::uint64_t added_ = 0;  // the counts added since begin(), a bound on every slot's count
    std::vector<std::uint64_t> keys_;
};

template <class List>
bool same_list(const List& a, const List& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

template <class List>
List first_n(const List& list, std::uint32_t n) {
    return list.first(std::min<std::size_t>(list.size(), n));
}

}  // namespace

// ---------------------------------------------------------------- PayloadTable

Payload PayloadView::to_payload() const {
    return Payload{total_count, std::vector<std::uint32_t>(video_ids.begin(), video_ids.end()),
                   std::vector<std::uint32_t>(video_counts.begin(), video_counts.end())};
}

PayloadTable::PayloadTable(std::initializer_list<std::optional<Payload>> slots) {
    reserve(slots.size());
    for (const auto& p : slots) {
        push(p);
    }
}

PayloadTable::PayloadTable(const std::vector<std::optional<Payload>>& slots) {
    reserve(slots.size());
    for (const auto& p : slots) {
        push(p);
    }
}

std::optional<Payload> PayloadTable::get(std::size_t n) const {
    const std::optional<PayloadView> v = at(n);
    if (!v) {
        return std::nullopt;
    }
    return v->to_payload();
}

void PayloadTable::reserve(std::size_t slots) {
    present_.reserve((slots + 63) / 64);
    shared_.reserve((slots + 63) / 64);
    shared_before_.reserve((slots + 63) / 64);
    totals_.reserve(slots);
    id_ends_.reserve(slots);
}

void PayloadTable::add_slot(bool is_present, bool is_shared) {
    if (reversed_) {
        unreverse();
    }
    const std::size_t n = size_;
    if (n % 64 == 0) {
        present_.push_back(0);
        shared_.push_back(0);
        shared_before_.push_back(static_cast<std::uint32_t>(targets_.size()));
    }
    if (is_present) {
        present_[n / 64] |= std::uint64_t{1} << (n % 64);
    }
    if (is_shared) {
        shared_[n / 64] |= std::uint64_t{1} << (n % 64);
    }
    ++size_;
}

void PayloadTable::record_ends() {
    constexpr std::size_t kMaxEnd = std::numeric_limits<std::uint32_t>::max();
    if (ids_.size() > kMaxEnd || counts_low_.size() > kMaxEnd) {
        throw std::length_error("payload table: more than 2^32 - 1 video entries");
    }
    id_ends_.push_back(static_cast<std::uint32_t>(ids_.size()));
    if (!count_ends_.empty()) {
        count_ends_.push_back(static_cast<std::uint32_t>(counts_low_.size()));
    } else if (counts_low_.size() != ids_.size()) {
        // The first record whose lists differ: from here on counts keep ends
        // of their own (every earlier record's ends are the ids' ends).
        count_ends_ = id_ends_;
        count_ends_.back() = static_cast<std::uint32_t>(counts_low_.size());
    }
}

void PayloadTable::push_absent() {
    add_slot(false, false);
    totals_.push_back(0);
    record_ends();
}

void PayloadTable::push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                        std::span<const std::uint32_t> video_counts) {
    push_lists(total_count, video_ids, video_counts);
}

void PayloadTable::push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids, CountList video_counts) {
    push_lists(total_count, video_ids, video_counts);
}

void PayloadTable::append_high(std::uint32_t v, std::size_t at) {
    const std::size_t r = totals_.size() - 1;
    if (wide_records_.empty() || wide_records_.back() != r) {
        // The record turns wide here: its earlier counts, all below 2^16,
        // get high halves of zero.
        if (wide_.size() <= r / 64) {
            wide_.resize(r / 64 + 1, 0);
        }
        wide_[r / 64] |= std::uint64_t{1} << (r % 64);
        wide_records_.push_back(static_cast<std::uint32_t>(r));
        wide_starts_.push_back(static_cast<std::uint32_t>(counts_high_.size()));
        counts_high_.insert(counts_high_.end(), at - count_begin(r), 0);
    }
    counts_high_.push_back(static_cast<std::uint16_t>(v >> 16));
}

void PayloadTable::push(const std::optional<Payload>& p) {
    if (p) {
        push(*p);
    } else {
        push_absent();
    }
}

void PayloadTable::push_same_as(std::size_t slot) {
    unreverse();
    if (!present(slot)) {
        throw std::logic_error("payload table: a slot can only share a present payload");
    }
    const std::size_t r = record(slot);
    add_slot(true, true);
    targets_.push_back(static_cast<std::uint32_t>(r));
}

bool PayloadTable::share_last_if_same_as(std::size_t slot) {
    unreverse();
    if (size_ == 0 || slot + 1 >= size_) {
        return false;
    }
    const std::size_t last = size_ - 1;
    if (!bit(present_, last) || bit(shared_, last) || !bit(present_, slot)) {
        return false;
    }
    const std::size_t own = totals_.size() - 1;  // the last slot's record is the last record
    const std::size_t r = record(slot);
    if (totals_[own] != totals_[r] || !same_list(ids_of(own), ids_of(r)) || !same_list(counts_of(own), counts_of(r))) {
        return false;
    }
    ids_.resize(id_begin(own));
    counts_low_.resize(count_begin(own));
    if (!wide_records_.empty() && wide_records_.back() == own) {
        counts_high_.resize(wide_starts_.back());
        wide_records_.pop_back();
        wide_starts_.pop_back();
        wide_[own / 64] &= ~(std::uint64_t{1} << (own % 64));
    }
    totals_.pop_back();
    id_ends_.pop_back();
    if (!count_ends_.empty()) {
        count_ends_.pop_back();
    }
    shared_[last / 64] |= std::uint64_t{1} << (last % 64);
    targets_.push_back(static_cast<std::uint32_t>(r));
    return true;
}

void PayloadTable::open(std::uint32_t total_count) {
    add_slot(true, false);
    totals_.push_back(total_count);
}

void PayloadTable::resize(std::size_t slots) {
    if (slots >= size_) {
        reserve(slots);
        while (size_ < slots) {
            push_absent();
        }
        return;
    }
    // Rare (tests cut tables short); a kept slot may share a record owned by
    // a dropped one, so the kept slots are copied out afresh.
    PayloadTable kept;
    kept.reserve(slots);
    for (std::size_t n = 0; n < slots; ++n) {
        const std::optional<PayloadView> p = at(n);
        if (p) {
            kept.push(p->total_count, p->video_ids, p->video_counts);
        } else {
            kept.push_absent();
        }
    }
    *this = std::move(kept);
}

namespace {

// Puts the blocks of `values` (block k ends at ends[k]) in reverse order, each
// block keeping its own order, in one copy into a list of the exact size
// (which also drops any spare room the assembly reserved).
template <class T>
void reverse_blocks(PodBuffer<T>& values, PodBuffer<std::uint32_t>& ends) {
    const std::size_t total = values.size();
    const std::size_t n = ends.size();
    PodBuffer<T> out;
    out.reserve(total);
    PodBuffer<std::uint32_t> new_ends;
    new_ends.resize(n);
    for (std::size_t k = n; k-- > 0;) {
        const std::size_t begin = k == 0 ? 0 : ends[k - 1];
        out.append(values.begin() + begin, values.begin() + ends[k]);
        new_ends[n - 1 - k] = static_cast<std::uint32_t>(out.size());
    }
    values = std::move(out);
    ends = std::move(new_ends);
}

std::vector<std::uint64_t> reversed_bits(const std::vector<std::uint64_t>& bits, std::size_t n) {
    std::vector<std::uint64_t> out(bits.size(), 0);
    for (std::size_t k = 0; k < n; ++k) {
        if ((bits[k / 64] >> (k % 64)) & 1u) {
            const std::size_t to = n - 1 - k;
            out[to / 64] |= std::uint64_t{1} << (to % 64);
        }
    }
    return out;
}

}  // namespace

void PayloadTable::unreverse() {
    if (!reversed_) {
        return;
    }
    reversed_ = false;
    const std::size_t n = size_;
    present_ = reversed_bits(present_, n);
    shared_ = reversed_bits(shared_, n);
    std::uint32_t before = 0;
    for (std::size_t w = 0; w < shared_.size(); ++w) {
        shared_before_[w] = before;
        before += static_cast<std::uint32_t>(count_bits(shared_[w]));
    }
    // Records come out in reverse order too: record r becomes records - 1 - r.
    const std::size_t records = totals_.size();
    // The wide records' high halves, read with the old ends.
    {
        std::vector<std::uint32_t> wide_records;
        std::vector<std::uint32_t> wide_starts;
        std::vector<std::uint16_t> high;
        high.reserve(counts_high_.size());
        std::vector<std::uint64_t> wide((records + 63) / 64, 0);
        for (std::size_t k = wide_records_.size(); k-- > 0;) {
            const std::size_t r = wide_records_[k];
            const std::size_t to = records - 1 - r;
            wide_records.push_back(static_cast<std::uint32_t>(to));
            wide_starts.push_back(static_cast<std::uint32_t>(high.size()));
            wide[to / 64] |= std::uint64_t{1} << (to % 64);
            const auto start = counts_high_.begin() + wide_starts_[k];
            high.insert(high.end(), start, start + static_cast<std::ptrdiff_t>(count_end(r) - count_begin(r)));
        }
        wide_records_ = std::move(wide_records);
        wide_starts_ = std::move(wide_starts);
        counts_high_ = std::move(high);
        wide_ = std::move(wide);
    }
    std::reverse(targets_.begin(), targets_.end());
    for (std::uint32_t& t : targets_) {
        t = static_cast<std::uint32_t>(records - 1 - t);
    }
    std::reverse(totals_.begin(), totals_.end());
    if (count_ends_.empty()) {
        // Counts share the ids' ends: reverse them by a copy of the old ends.
        PodBuffer<std::uint32_t> ends = id_ends_;
        reverse_blocks(ids_, id_ends_);
        reverse_blocks(counts_low_, ends);
    } else {
        reverse_blocks(ids_, id_ends_);
        reverse_blocks(counts_low_, count_ends_);
    }
}

void PayloadTable::shrink_to_fit() {
    present_.shrink_to_fit();
    shared_.shrink_to_fit();
    shared_before_.shrink_to_fit();
    targets_.shrink_to_fit();
    totals_.shrink_to_fit();
    id_ends_.shrink_to_fit();
    count_ends_.shrink_to_fit();
    ids_.shrink_to_fit();
    counts_low_.shrink_to_fit();
    wide_.shrink_to_fit();
    wide_records_.shrink_to_fit();
    wide_starts_.shrink_to_fit();
    counts_high_.shrink_to_fit();
}

bool PayloadTable::operator==(const PayloadTable& other) const {
    if (size() != other.size()) {
        return false;
    }
    for (std::size_t n = 0; n < size(); ++n) {
        const std::optional<PayloadView> a = at(n);
        const std::optional<PayloadView> b = other.at(n);
        if (a.has_value() != b.has_value()) {
            return false;
        }
        if (a && (a->total_count != b->total_count || !same_list(a->video_ids, b->video_ids) ||
                  !same_list(a->video_counts, b->video_counts))) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- propagate

// Equivalent to taking each node's payload out, merging every child listing
// other than itself into it with merge_from (children as they stand at that
// moment), cutting to video_top_n and putting it back, for n = N-1 down to 0.
// Instead of one merge per child, each node sums all contributions in one
// reused accumulator that keeps each merge's 64-bit sums and saturation
// steps (VideoAccumulator), and sorts once.
//
// The result is assembled as a new table in processing order (last slot
// first) and reversed at the end, so no slot is ever rewritten in place; a
// node whose payload comes out equal to its only contributor's shares it. A
// child above the current node has been processed and is read from the new
// table; one below it (possible only in hostile input) still stands as given.
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
    VideoAccumulator acc;
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
    std::size_t kept_ids = 0;  // the lists' lengths, their first places
    std::size_t kept_counts = 0;

    // Each node reads its children's merged payloads in `out`, made long
    // before for all but a first child (a child's subtree lies between it
    // and its parent): a chain of misses per child (slot bits, record,
    // lists). The chain is asked for in stages some nodes ahead, each stage
    // reading only what an earlier one brought in, so that the misses of
    // several nodes are in flight together.
    const auto ask_children = [&](std::size_t m, auto ask) {
        if (m >= node_shifts.size()) {
            return;  // left to children(), which refuses it
        }
        const std::size_t start = node_shifts[m];
        const std::size_t end = children_end(node_shifts.data(), node_shifts.size(), child_transitions.size(), m);
        for (std::size_t e = start; e < end && e < child_transitions.size(); ++e) {
            const std::size_t c = child_transitions[e];
            if (c > m && c < n_slots) {
                ask(out_slot(c));
            }
        }
    };
    constexpr std::size_t kSlotsAhead = 12;
    constexpr std::size_t kRecordsAhead = 8;
    constexpr std::size_t kListsAhead = 4;
    for (std::size_t n = n_nodes; n-- > 0;) {
        if (n >= kSlotsAhead) {
            ask_children(n - kSlotsAhead, [&](std::size_t slot) { out.ask_slot(slot); });
        }
        if (n >= kRecordsAhead) {
            ask_children(n - kRecordsAhead, [&](std::size_t slot) { out.ask_record(slot); });
        }
        if (n >= kListsAhead) {
            ask_children(n - kListsAhead, [&](std::size_t slot) { out.ask_lists(slot); });
        }
        const std::optional<PayloadView> given = payloads.at(n);
        const PayloadView own = given ? *given : empty_payload;
        const EdgeRange range = children(n);
        std::uint32_t total = own.total_count;
        std::size_t contributions = 0;
        // The first contribution, while it may be the only one.
        PayloadView only_view;
        bool only = false;
        std::size_t only_child = 0;
        bool accumulating = false;

        for (std::size_t e = range.start; e < range.end; ++e) {
            const std::uint32_t c = at(child_transitions, e);
            if (c == n) {
                continue;  // a node listed as its own child contributes nothing
            }
            PayloadView child = empty_payload;
            if (c > n && c < n_slots) {
                child = *out.at(out_slot(c));
            } else if (payloads.present(c)) {  // throws for a slot past the table
                child = *payloads.at(c);
            }
            total = saturating_add(total, child.total_count);
            ++contributions;
            if (contributions == 1 && own.video_ids.empty() && c < n_nodes && finished[c] != 0) {
                only_view = child;
                only = true;
                only_child = c;
                continue;
            }
            if (!accumulating) {
                acc.begin();
                acc.add(own, 1);
                if (only) {
                    acc.add(only_view, 1);
                    only = false;
                }
                accumulating = true;
            }
            acc.add(child, static_cast<std::uint32_t>(contributions));
        }

        if (contributions == 0) {
            // Not merged: own lists stay as given, only cut.
            const PayloadView cut{own.total_count, first_n(own.video_ids, video_top_n),
                                  first_n(own.video_counts, video_top_n)};
            out.push(cut.total_count, cut.video_ids, cut.video_counts);
            finished[n] = in_merged_order(cut) ? 1 : 0;
            continue;
        }
        if (only && only_view.total_count == total && only_view.video_ids.size() <= video_top_n &&
            only_view.video_counts.size() <= video_top_n) {
            // The usual case on a chain of single children: the node's payload
            // is its child's, shared rather than copied.
            out.push_same_as(out_slot(only_child));
            finished[n] = 1;
            continue;
        }
        if (only) {
            // `only` lies in `out` itself: copied out before it is appended.
            const auto only_ids = first_n(only_view.video_ids, video_top_n);
            const auto only_counts = first_n(only_view.video_counts, video_top_n);
            ids.assign(only_ids.begin(), only_ids.end());
            counts.assign(only_counts.begin(), only_counts.end());
            kept_ids = ids.size();
            kept_counts = counts.size();
            finished[n] = 1;
        } else {
            finished[n] = acc.emit(ids, counts, video_top_n, kept_ids) ? 1 : 0;
            kept_counts = kept_ids;
        }
        out.push(total, std::span<const std::uint32_t>(ids.data(), kept_ids),
                 std::span<const std::uint32_t>(counts.data(), kept_counts));
    }
    out.reverse();
    out.shrink_to_fit();
    payloads = std::move(out);
}

}  // namespace quillmesh
