// Trie: the whole search index, as flat parallel sequences.
//
// Per-node facts live at the node's index in node_shifts, child_labels,
// payloads and is_terminal; the edges of all nodes live in child_transitions,
// where each node owns one contiguous range (see children()). Node 0 is the
// root. The field order is the serialized order and must not change.
//
// A trie restored from bytes carries whatever the bytes say: lengths may
// disagree and indexes may point outside their sequences. Readers therefore go
// through `at()` (failures.hpp), which throws IndexOutOfBounds.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "failures.hpp"
#include "payload.hpp"
#include "pod_buffer.hpp"

namespace quillmesh {

enum class IdMode : std::uint32_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// Positions [start, end) of child_transitions holding one node's children.
struct EdgeRange {
    std::size_t start = 0;
    std::size_t end = 0;
    bool empty() const { return start >= end; }
};

// A list of counts as a PayloadTable stores it: the low 16 bits of every
// count, and the high 16 bits only for a list that has a count above 65535
// (merged counts near the root; most lists never do). Read-only, by value.
class CountList {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::uint32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::uint32_t;

        iterator() = default;
        iterator(const CountList* list, std::size_t i) : list_(list), i_(i) {}
        std::uint32_t operator*() const { return (*list_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++i_;
            return before;
        }
        bool operator==(const iterator& other) const { return i_ == other.i_; }

    private:
        const CountList* list_ = nullptr;
        std::size_t i_ = 0;
    };

    CountList() = default;
    // `high` is null when every count fits in 16 bits.
    CountList(const std::uint16_t* low, const std::uint16_t* high, std::size_t size)
        : low_(low), high_(high), size_(size) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::uint32_t operator[](std::size_t i) const {
        return high_ == nullptr ? low_[i] : (std::uint32_t{high_[i]} << 16) | low_[i];
    }
    // The first k counts (k <= size()).
    CountList first(std::size_t k) const { return CountList(low_, high_, k); }
    // For a list whose counts all fit 16 bits, the counts themselves (empty
    // otherwise), for readers of whole lists.
    std::span<const std::uint16_t> narrow() const {
        return high_ == nullptr ? std::span<const std::uint16_t>(low_, size_) : std::span<const std::uint16_t>();
    }
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size_); }

private:
    const std::uint16_t* low_ = nullptr;
    const std::uint16_t* high_ = nullptr;
    std::size_t size_ = 0;
};

// One present payload as stored in a PayloadTable: valid until the table is
// next changed.
struct PayloadView {
    std::uint32_t total_count = 0;
    std::span<const std::uint32_t> video_ids;
    CountList video_counts;

    Payload to_payload() const;
};

// The payloads of all nodes, one slot per node, stored flat so that an index
// of millions of nodes costs a few words per node rather than an optional
// with two heap vectors each.
//
// A slot either owns a record (a total and two lists) or shares the record of
// another slot. Sharing is what keeps a built index small: after propagation
// every node on a chain of single children (about half of a word index)
// carries exactly its child's payload. Records are numbered in the order of
// the slots that own them, so an owning slot's record is its slot number less
// the sharing slots before it; a sharing slot names its record in targets_.
//
//   present_        one bit per slot (absent slots own an empty record)
//   shared_         one bit per slot: the slot shares a record
//   shared_before_  per 64 slots, the sharing slots before them (rank directory)
//   targets_        per sharing slot, in slot order: its record
//   totals_         per record: total_count
//   id_ends_        per record: end of its ids in ids_ (they start at the
//                   previous record's end)
//   count_ends_     the same for the counts, kept only once some record's two
//                   lists differ in length (possible in a trie from bytes,
//                   which must re-encode byte for byte); while empty, counts
//                   share id_ends_
//   ids_            every record's ids back to back, in record order
//   counts_low_     the same for counts, the low 16 bits of each
//   wide_           one bit per record: some count of it exceeds 65535
//   wide_records_   the wide records, ascending, and for each the start of
//   wide_starts_    its counts' high 16 bits in counts_high_
//   counts_high_    the high halves of every count of the wide records
//
// Counts take two bytes each, not four: on a word index the lists hold
// millions of counts and only the merged lists near the root hold large ones.
//
// Ends are 32-bit: a table never holds more than 2^32 - 1 entries per list
// (more would need over 16 GiB for the ids alone); assembling more throws
// std::length_error.
//
// Every read is checked: a slot at or beyond size() throws
// IndexOutOfBounds(size(), slot), as a read of a plain sequence would.
class PayloadTable {
public:
    PayloadTable() = default;
    PayloadTable(std::initializer_list<std::optional<Payload>> slots);
    explicit PayloadTable(const std::vector<std::optional<Payload>>& slots);

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    bool present(std::size_t n) const {
        check(n);
        return bit(present_, stored(n));
    }
    std::uint32_t total_count(std::size_t n) const { return totals_[record(n)]; }
    std::span<const std::uint32_t> video_ids(std::size_t n) const { return ids_of(record(n)); }
    CountList video_counts(std::size_t n) const { return counts_of(record(n)); }
    // Slot n, or nullopt when it is absent.
    std::optional<PayloadView> at(std::size_t n) const {
        if (!present(n)) {
            return std::nullopt;
        }
        const std::size_t r = record(n);
        return PayloadView{totals_[r], ids_of(r), counts_of(r)};
    }
    // Read-ahead for the at() of a batch of slots, whose reads form a chain
    // (the slot's bits, then its record's total and list ends, then the
    // lists): ask_slot(n) for every slot of the batch, then ask_record(n)
    // for each, then ask_lists(n), so that each link's misses are in flight
    // together. Hints only: nothing is checked or thrown, and a slot beyond
    // the table asks for nothing.
    void ask_slot(std::size_t n) const {
        if (n < size_) {
            const std::size_t p = stored(n);
            __builtin_prefetch(present_.data() + p / 64);
            __builtin_prefetch(shared_.data() + p / 64);
            __builtin_prefetch(shared_before_.data() + p / 64);
        }
    }
    void ask_record(std::size_t n) const {
        if (n < size_ && bit(present_, stored(n))) {
            const std::size_t r = record(n);
            const std::size_t before = r == 0 ? 0 : r - 1;
            prefetch(totals_.data(), r, 1);
            prefetch(id_ends_.data(), before, 1);
            if (!count_ends_.empty()) {
                prefetch(count_ends_.data(), before, 1);
            }
        }
    }
    void ask_lists(std::size_t n) const {
        if (n < size_ && bit(present_, stored(n))) {
            ask_lists_of_record(record(n), 1);
        }
    }
    // The last link for record r (below records()), for a reader that knows
    // the record already: `lines` cache lines of its ids and one of its
    // counts.
    void ask_lists_of_record(std::size_t r, int lines) const {
        prefetch(ids_.data(), id_begin(r), lines);
        prefetch(counts_low_.data(), count_begin(r), 1);
    }
    // Slot n copied out as the interchange record.
    std::optional<Payload> get(std::size_t n) const;
    // Every slot in slot order, as f(slot, record, view): `record` numbers
    // the slot's record (slots sharing one get the same number, below
    // records()), `view` is null for an absent slot. One pass that counts
    // the sharing slots as it goes instead of reading the rank directory
    // per slot, for readers of the whole table (the encoder).
    template <class F>
    void for_each_slot(F&& f) const;
    // Every slot in slot order as f(slot, record, present, shared), with
    // nothing read of the record (record_at reads it) and nothing asked for
    // ahead, for a reader that needs the lists of only some of the slots and
    // asks for what it reads itself (owned_record, sharing_record).
    template <class F>
    void for_each_slot_record(F&& f) const;
    std::size_t records() const { return totals_.size(); }
    // Record r, below records() (unchecked), as for_each_slot names it.
    PayloadView record_at(std::size_t r) const { return PayloadView{totals_[r], ids_of(r), counts_of(r)}; }
    // The record of the k-th slot in slot order that owns one (k below
    // records()), and of the k-th that shares one (k below sharing_slots()),
    // unchecked: what the slots ahead of a reader will read.
    std::size_t owned_record(std::size_t k) const { return reversed_ ? totals_.size() - 1 - k : k; }
    std::size_t sharing_slots() const { return targets_.size(); }
    std::size_t sharing_record(std::size_t k) const { return targets_[reversed_ ? targets_.size() - 1 - k : k]; }

    // Assembly, one slot after another. The appended lists must not point
    // into this table.
    void reserve(std::size_t slots);
    // Room for this many list entries; what is never written costs no memory
    // beyond address space, and a list that does not grow is never copied.
    void reserve_entries(std::size_t ids, std::size_t counts) {
        ids_.reserve(ids);
        counts_low_.reserve(counts);
    }
    // The entries held in all, whatever the sharing.
    std::size_t stored_ids() const { return ids_.size(); }
    std::size_t stored_counts() const { return counts_low_.size(); }
    // The entries of both lists of every slot, a sharing slot counting those
    // of its record: what an encoding of the table writes. Reads only the
    // sharing slots' records.
    std::size_t slot_entries() const {
        std::size_t n = ids_.size() + counts_low_.size();
        for (const std::uint32_t r : targets_) {
            n += id_ends_[r] - id_begin(r) + count_end(r) - count_begin(r);
        }
        return n;
    }
    void push_absent();
    void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
              std::span<const std::uint32_t> video_counts);
    void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids, CountList video_counts);
    void push(const Payload& p) { push(p.total_count, p.video_ids, p.video_counts); }
    void push(const std::optional<Payload>& p);
    // A new slot with the very payload of `slot`, an existing slot that is
    // present, without copying its lists.
    void push_same_as(std::size_t slot);
    // Turns the last slot, when it is present, owns its record and equals
    // present slot `slot` (an earlier one), into one sharing that slot's
    // record, and says whether it did.
    bool share_last_if_same_as(std::size_t slot);
    // The same as push in steps, for the decoder: open a present slot, append
    // all of its ids, then all of its counts, then close it.
    void open(std::uint32_t total_count);
    void append_id(std::uint32_t v) { ids_.push_back(v); }
    void append_count(std::uint32_t v) {
        counts_low_.push_back(static_cast<std::uint16_t>(v));
        if (v > 0xFFFF || open_record_is_wide()) {
            append_high(v, counts_low_.size() - 1);
        }
    }
    void close() { record_ends(); }
    // The lists of an open slot written in place, for a decoder that reads
    // them straight into the table: id_room(n) is room for n ids and
    // kRoomSpare more (which may be written over and are not kept), of
    // which keep_ids(k) keeps the first k; count_room and keep_counts the
    // same for the low halves of counts, each below 2^16, kept before any
    // append_count of the slot.
    static constexpr std::size_t kRoomSpare = 16;
    std::uint32_t* id_room(std::size_t n) { return ids_.spare(n + kRoomSpare); }
    void keep_ids(std::size_t k) { ids_.keep(k); }
    std::uint16_t* count_room(std::size_t n) { return counts_low_.spare(n + kRoomSpare); }
    void keep_counts(std::size_t k) { counts_low_.keep(k); }
    // Truncates, or appends absent slots.
    void resize(std::size_t slots);
    // Whether the slots are stored last first (reverse() and no assembly
    // since): the records then lie in the opposite order to the slots.
    bool stored_reversed() const { return reversed_; }
    // Reverses the order of the slots, for a table assembled last slot first:
    // at once, by reading slot n where slot size() - 1 - n is stored. The
    // storage itself is turned round only if assembly goes on afterwards.
    void reverse() { reversed_ = !reversed_; }
    // Releases spare capacity, once assembly is over.
    void shrink_to_fit();

    // Equal slot by slot, whatever the representation.
    bool operator==(const PayloadTable& other) const;

private:
    static bool bit(const std::vector<std::uint64_t>& bits, std::size_t n) { return (bits[n / 64] >> (n % 64)) & 1u; }
    void check(std::size_t n) const {
        if (n >= size_) {
            throw IndexOutOfBounds(size_, n);
        }
    }
    // The set bits of x, in line: baseline x86-64 has no popcount
    // instruction, and std::popcount then calls a library routine on every
    // payload read.
    static std::size_t count_bits(std::uint64_t x) {
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
    }
    // The sharing slots before slot n.
    std::size_t shared_before(std::size_t n) const {
        const std::uint64_t below = shared_[n / 64] & ((std::uint64_t{1} << (n % 64)) - 1);
        return shared_before_[n / 64] + count_bits(below);
    }
    static constexpr std::size_t kPrefetchRecords = 16;
    // Asks for the cache lines of `lines` times 64 bytes from base[index]
    // on. The addresses are formed as integers: a hint may point past a
    // list's end (or off an empty list's null data), which pointer
    // arithmetic may not, and a prefetch never faults.
    template <class T>
    static void prefetch(const T* base, std::size_t index, int lines) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(base) + index * sizeof(T);
        for (int k = 0; k < lines; ++k) {
            __builtin_prefetch(reinterpret_cast<const void*>(at + 64 * static_cast<std::uintptr_t>(k)));
        }
    }
    // Where slot n is stored.
    std::size_t stored(std::size_t n) const { return reversed_ ? size_ - 1 - n : n; }
    std::size_t record(std::size_t n) const {
        check(n);
        const std::size_t p = stored(n);
        const std::size_t before = shared_before(p);
        return bit(shared_, p) ? targets_[before] : p - before;
    }
    // Stores the slots in their own order again, before assembly goes on.
    void unreverse();
    std::size_t id_begin(std::size_t r) const { return r == 0 ? 0 : id_ends_[r - 1]; }
    std::size_t count_end(std::size_t r) const { return count_ends_.empty() ? id_ends_[r] : count_ends_[r]; }
    std::size_t count_begin(std::size_t r) const { return r == 0 ? 0 : count_end(r - 1); }
    std::span<const std::uint32_t> ids_of(std::size_t r) const {
        return {ids_.data() + id_begin(r), ids_.data() + id_ends_[r]};
    }
    CountList counts_of(std::size_t r) const {
        const std::size_t begin = count_begin(r);
        const std::uint16_t* high = nullptr;
        if (r / 64 < wide_.size() && bit(wide_, r)) {
            const auto k = static_cast<std::size_t>(
                std::lower_bound(wide_records_.begin(), wide_records_.end(), r) - wide_records_.begin());
            high = counts_high_.data() + wide_starts_[k];
        }
        return CountList(counts_low_.data() + begin, high, count_end(r) - begin);
    }
    bool open_record_is_wide() const { return !wide_records_.empty() && wide_records_.back() == totals_.size() - 1; }
    // The high half of the count at position `at` of counts_low_, which
    // belongs to the record being assembled (the last one); the record is or
    // becomes wide.
    void append_high(std::uint32_t v, std::size_t at);
    // The low halves in one pass; high halves only if some count needs them.
    template <class Counts>
    void append_counts(const Counts& counts) {
        const std::size_t n = counts.size();
        const std::size_t old = counts_low_.size();
        std::uint16_t* low = counts_low_.spare(n);
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t v = counts[i];
            low[i] = static_cast<std::uint16_t>(v);
            bits |= v;
        }
        counts_low_.keep(n);
        if (bits > 0xFFFF || open_record_is_wide()) {
            for (std::size_t i = 0; i < n; ++i) {
                if (counts[i] > 0xFFFF || open_record_is_wide()) {
                    append_high(counts[i], old + i);
                }
            }
        }
    }
    template <class Counts>
    void push_lists(std::uint32_t total_count, std::span<const std::uint32_t> video_ids, const Counts& video_counts) {
        add_slot(true, false);
        totals_.push_back(total_count);
        ids_.append(video_ids.begin(), video_ids.end());
        append_counts(video_counts);
        record_ends();
    }
    void add_slot(bool is_present, bool is_shared);
    void record_ends();

    std::size_t size_ = 0;
    bool reversed_ = false;  // slot n is stored at size_ - 1 - n
    std::vector<std::uint64_t> present_;
    std::vector<std::uint64_t> shared_;
    std::vector<std::uint32_t> shared_before_;
    PodBuffer<std::uint32_t> targets_;
    PodBuffer<std::uint32_t> totals_;
    PodBuffer<std::uint32_t> id_ends_;
    PodBuffer<std::uint32_t> count_ends_;
    PodBuffer<std::uint32_t> ids_;
    PodBuffer<std::uint16_t> counts_low_;
    std::vector<std::uint64_t> wide_;
    std::vector<std::uint32_t> wide_records_;
    std::vector<std::uint32_t> wide_starts_;
    std::vector<std::uint16_t> counts_high_;
};

template <class F>
void PayloadTable::for_each_slot(F&& f) const {
    for_each_slot_record([&](std::size_t n, std::size_t r, bool present, bool) {
        // The lists lie in record order, which a reversed table walks
        // backwards and in short blocks, a pattern the hardware does not
        // foresee: the lists a few records on are asked for now.
        const std::size_t ahead = reversed_ ? (r >= kPrefetchRecords ? r - kPrefetchRecords : 0) : r + kPrefetchRecords;
        if (ahead < totals_.size()) {
            prefetch(ids_.data(), id_begin(ahead), 2);
            prefetch(counts_low_.data(), count_begin(ahead), 1);
        }
        if (present) {
            const PayloadView view{totals_[r], ids_of(r), counts_of(r)};
            f(n, r, &view);
        } else {
            f(n, r, static_cast<const PayloadView*>(nullptr));
        }
    });
}

template <class F>
void PayloadTable::for_each_slot_record(F&& f) const {
    // before: the sharing slots stored ahead of the stored position p, which
    // is n, or size_ - 1 - n in a reversed table.
    std::size_t before = reversed_ ? targets_.size() : 0;
    for (std::size_t n = 0; n < size_; ++n) {
        const std::size_t p = stored(n);
        const bool is_shared = bit(shared_, p);
        if (reversed_) {
            before -= is_shared;
        }
        const std::size_t r = is_shared ? targets_[before] : p - before;
        if (!reversed_) {
            before += is_shared;
        }
        f(n, r, bit(present_, p), is_shared);
    }
}

// The children rule, written once: node n's edges are the positions
// [node_shifts[n], end) of child_transitions, with end = node_shifts[n + 1]
// for all but the last entry of node_shifts, else the length of
// child_transitions. start >= end means a leaf (an inverted range too).
inline std::size_t children_end(const std::uint32_t* node_shifts, std::size_t shifts, std::size_t edges,
                                std::size_t n) {
    return n + 1 < shifts ? node_shifts[n + 1] : edges;
}

struct Trie {
    std::vector<std::uint32_t> node_shifts;
    std::vector<char32_t> child_labels;  // U+0000: the node has no label
    std::vector<std::uint32_t> child_transitions;
    PayloadTable payloads;
    std::vector<Uuid> video_uuids;
    std::vector<std::uint32_t> video_int_ids;
    IdMode id_mode = IdMode::Uuid;
    std::vector<std::uint8_t> is_terminal;  // 0 or 1 per node

    std::size_t node_count() const { return child_labels.size(); }

    // The children of node n, read through at(): the children rule
    // (children_end) with node_shifts[n] checked; the children themselves
    // are read by the caller through at(child_transitions, k).
    EdgeRange children(std::size_t n) const {
        EdgeRange r;
        r.start = at(node_shifts, n);
        r.end = children_end(node_shifts.data(), node_shifts.size(), child_transitions.size(), n);
        return r;
    }

    // Merges every node's children's payloads into it, bottom-up by descending
    // node index, and cuts each node's lists to video_top_n. Absent payloads
    // count as empty ones and come out present. On failure the payloads are
    // left as they were.
    void propagate(std::uint32_t video_top_n);

    bool operator==(const Trie&) const = default;

};

}  // namespace quillmesh
