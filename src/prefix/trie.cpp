#include "prefix/trie.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <utility>

namespace quillmesh {

namespace {

template <class List>
bool same_list(const List& a, const List& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
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
    unreverse();
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
void reverse_blocks(PodBuffer<T>& values, std::vector<std::uint32_t>& ends) {
    const std::size_t total = values.size();
    const std::size_t n = ends.size();
    PodBuffer<T> out;
    out.reserve(total);
    std::vector<std::uint32_t> new_ends(n);
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
        std::vector<std::uint32_t> ends = id_ends_;
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

}  // namespace quillmesh
