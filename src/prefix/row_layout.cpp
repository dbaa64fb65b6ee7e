#include "prefix/row_layout.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <stdexcept>

#include "text.hpp"

namespace quillmesh {

namespace {

constexpr std::uint64_t kU32Max = 0xFFFFFFFFu;

std::uint32_t checked_u32(std::size_t n, const char* what) {
    if (n >= 0xFFFFFFFFu) {
        throw std::length_error(std::string("too many ") + what + " for one index");
    }
    return static_cast<std::uint32_t>(n);
}

std::uint64_t hash_bytes(const void* data, std::size_t size) {
    // 64-bit FNV-1a, then a final mix so that the low bits (the slot) and
    // the high bits (the tag) both depend on every byte.
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        h = (h ^ p[i]) * 0x100000001b3ull;
    }
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9ull;
    return h ^ (h >> 32);
}

std::uint64_t hash_number(std::uint32_t v) {
    std::uint64_t h = (std::uint64_t{v} + 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 29);
}

}  // namespace

template <class Same>
std::uint32_t RowLayout::ProbeTable::find(std::uint64_t hash, Same&& same) const {
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot.entry == 0) {
            return kNone;
        }
        if (slot.tag == tag && same(slot.entry - 1)) {
            return slot.entry - 1;
        }
    }
}

template <class Same, class Make>
std::uint32_t RowLayout::ProbeTable::find_or_add(std::uint64_t hash, std::size_t count, Same&& same, Make&& make) {
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t i = hash & mask;
    for (;; i = (i + 1) & mask) {
        const Slot slot = slots_[i];
        if (slot.entry == 0) {
            break;
        }
        if (slot.tag == tag && same(slot.entry - 1)) {
            return slot.entry - 1;
        }
    }
    const std::uint32_t entry = make();
    slots_[i] = Slot{entry + 1, tag};
    tags_.push_back(static_cast<std::uint32_t>(hash));
    if (2 * (count + 1) > slots_.size()) {
        grow();
    }
    return entry;
}

// The slot of an entry follows from the low bits of its hash, which tags_
// keeps (the high bits are the tag itself).
void RowLayout::ProbeTable::grow() {
    std::vector<Slot> bigger(slots_.size() * 2, Slot{0, 0});
    const std::size_t mask = bigger.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.entry == 0) {
            continue;
        }
        const std::uint64_t hash = std::uint64_t{slot.tag} << 32 | tags_[slot.entry - 1];
        std::size_t i = hash & mask;
        while (bigger[i].entry != 0) {
            i = (i + 1) & mask;
        }
        bigger[i] = slot;
    }
    slots_.swap(bigger);
}

RowLayout::RowLayout() = default;

void RowLayout::check_kind(IdKind kind, std::size_t row) const {
    if (kind_ != IdKind::None && kind != kind_) {
        RowFault fault(RowFault::Kind::MixedIds);
        fault.row = row;
        fault.first_row = kind_row_;
        fault.row_kind = kind;
        fault.index_kind = kind_;
        throw fault;
    }
}

std::uint32_t RowLayout::add_term(std::string_view term) {
    const std::uint32_t t = checked_u32(terms_.size(), "terms");
    arena_.append(term);
    term_ends_.push_back(checked_u32(arena_.size(), "term bytes"));
    terms_.push_back({kNone, kNone, 0});
    heavy_terms_.push_back(0);
    return t;
}

// One table serves both kinds of id: a row of the other kind is refused
// before it gets here.
std::uint32_t RowLayout::intern_video(const VideoKey& key) {
    if (key.kind == IdKind::Int32) {
        return video_table_.find_or_add(
            hash_number(key.number), int_ids_.size(), [&](std::uint32_t v) { return int_ids_[v] == key.number; },
            [&] {
                int_ids_.push_back(key.number);
                return checked_u32(int_ids_.size() - 1, "videos");
            });
    }
    return video_table_.find_or_add(
        hash_bytes(key.uuid.data(), key.uuid.size()), uuids_.size(),
        [&](std::uint32_t v) { return uuids_[v] == key.uuid; },
        [&] {
            uuids_.push_back(key.uuid);
            return checked_u32(uuids_.size() - 1, "videos");
        });
}

std::uint64_t RowLayout::pair_sum(std::uint32_t term, std::uint32_t video) {
    const auto key = [term](std::uint32_t v) { return std::uint64_t{term} << 32 | v; };
    if (heavy_terms_[term] == 0) {
        for (std::uint32_t r = terms_[term].head; r != kNone; r = rows_[r].next) {
            heavy_[key(rows_[r].video)] += rows_[r].count;
        }
        heavy_terms_[term] = 1;
    }
    const auto it = heavy_.find(key(video));
    return it == heavy_.end() ? 0 : it->second;
}

void RowLayout::add(std::string_view term, const VideoKey& key, std::uint32_t count, std::size_t row) {
    const std::uint64_t hash = hash_bytes(term.data(), term.size());
    const auto same_term = [&](std::uint32_t t) { return term_text(t) == term; };
    std::uint32_t t = term_table_.find(hash, same_term);
    if (t == kNone) {
        if (term.empty() || term.find('\0') != std::string_view::npos) {
            RowFault fault(RowFault::Kind::BadNewTerm);
            fault.row = row;
            fault.term = std::string(term);
            throw fault;
        }
        t = term_table_.find_or_add(hash, terms_.size(), same_term, [&] { return add_term(term); });
    }
    const std::uint32_t v = intern_video(key);
    TermRows& tr = terms_[t];
    if (tr.total + count > kU32Max || heavy_terms_[t] != 0) {
        const std::uint64_t sum = pair_sum(t, v) + count;
        if (sum > kU32Max) {
            RowFault fault(RowFault::Kind::PairOverflow);
            fault.row = row;
            fault.term = std::string(term);
            fault.total = sum;
            throw fault;
        }
        heavy_[std::uint64_t{t} << 32 | v] = sum;
    }
    if (kind_ == IdKind::None) {
        kind_ = key.kind;
        kind_row_ = row;
    }
    const std::uint32_t r = checked_u32(rows_.size(), "rows");
    rows_.push_back({t, v, count, kNone});
    if (tr.head == kNone) {
        tr.head = r;
    } else {
        rows_[tr.tail].next = r;
    }
    tr.tail = r;
    tr.total += count;
}

LaidOutRows RowLayout::finish() {
    // What only the gathering needed goes first: the layout's own tables
    // then take its place.
    term_table_ = ProbeTable();
    video_table_ = ProbeTable();
    heavy_ = {};
    heavy_terms_ = {};
    const std::size_t n_terms = terms_.size();
    std::vector<std::uint32_t> order(n_terms);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [this](std::uint32_t a, std::uint32_t b) { return term_text(a) < term_text(b); });
    for (const std::uint32_t t : order) {
        if (terms_[t].total > kU32Max) {
            RowFault fault(RowFault::Kind::TermOverflow);
            fault.term = std::string(term_text(t));
            fault.total = terms_[t].total;
            throw fault;
        }
    }

    // Per depth, the labels and child counts of that level's nodes in order;
    // each term adds the nodes past its longest common prefix with the term
    // before it (in code points), appended to their levels.
    std::vector<std::vector<char32_t>> level_labels(1, std::vector<char32_t>{U'\0'});
    std::vector<std::vector<std::uint32_t>> level_children(1, std::vector<std::uint32_t>{0});
    std::vector<std::uint32_t> path(1, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> terminal(n_terms);  // (depth, position) by term
    std::u32string previous, current;
    for (const std::uint32_t t : order) {
        decode_utf8(term_text(t), current);
        std::size_t shared = 0;
        const std::size_t limit = std::min(previous.size(), current.size());
        while (shared < limit && previous[shared] == current[shared]) {
            ++shared;
        }
        std::uint32_t parent = path[shared];
        std::size_t depth = shared;
        for (std::size_t i = shared; i < current.size(); ++i) {
            ++level_children[depth][parent];
            ++depth;
            if (depth == level_labels.size()) {
                level_labels.emplace_back();
                level_children.emplace_back();
                path.push_back(0);
            }
            parent = static_cast<std::uint32_t>(level_labels[depth].size());
            level_labels[depth].push_back(current[i]);
            level_children[depth].push_back(0);
            path[depth] = parent;
        }
        terminal[t] = {static_cast<std::uint32_t>(depth), parent};
        previous.swap(current);
    }

    LaidOutRows out;
    Trie& trie = out.trie;
    std::vector<std::uint32_t> level_start(level_labels.size() + 1, 0);
    for (std::size_t d = 0; d < level_labels.size(); ++d) {
        level_start[d + 1] = checked_u32(level_start[d] + level_labels[d].size(), "nodes");
    }
    const std::size_t n_nodes = level_start.back();
    trie.child_labels.reserve(n_nodes);
    trie.node_shifts.reserve(n_nodes);
    std::uint32_t edges = 0;
    for (std::size_t d = 0; d < level_labels.size(); ++d) {
        trie.child_labels.insert(trie.child_labels.end(), level_labels[d].begin(), level_labels[d].end());
        for (const std::uint32_t c : level_children[d]) {
            trie.node_shifts.push_back(edges);
            edges += c;
        }
        std::vector<char32_t>().swap(level_labels[d]);
        std::vector<std::uint32_t>().swap(level_children[d]);
    }
    trie.child_transitions.resize(n_nodes == 0 ? 0 : n_nodes - 1);
    std::iota(trie.child_transitions.begin(), trie.child_transitions.end(), 1u);

    std::vector<std::uint32_t> term_at(n_nodes, kNone);
    for (std::uint32_t t = 0; t < n_terms; ++t) {
        term_at[level_start[terminal[t].first] + terminal[t].second] = t;
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>>().swap(terminal);

    // Each term's videos in the order its rows first named them: a video's
    // place in the term's list is kept where it was last stamped.
    const std::size_t n_videos = kind_ == IdKind::Int32 ? int_ids_.size() : uuids_.size();
    std::vector<std::uint32_t> stamp(n_videos, kNone);
    std::vector<std::uint32_t> place(n_videos, 0);
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
    trie.payloads.reserve(n_nodes);
    trie.payloads.reserve_entries(rows_.size(), rows_.size());
    trie.is_terminal.assign(n_nodes, 0);
    for (std::size_t n = 0; n < n_nodes; ++n) {
        const std::uint32_t t = term_at[n];
        if (t == kNone) {
            trie.payloads.push_absent();
            continue;
        }
        ids.clear();
        counts.clear();
        for (std::uint32_t r = terms_[t].head; r != kNone; r = rows_[r].next) {
            const Row& row = rows_[r];
            if (stamp[row.video] != t) {
                stamp[row.video] = t;
                place[row.video] = static_cast<std::uint32_t>(ids.size());
                ids.push_back(row.video);
                counts.push_back(row.count);
            } else {
                counts[place[row.video]] += row.count;
            }
        }
        trie.payloads.push(static_cast<std::uint32_t>(terms_[t].total), ids, counts);
        trie.is_terminal[n] = 1;
    }
    trie.payloads.shrink_to_fit();
    std::vector<Row>().swap(rows_);

    out.term_count = n_terms;
    out.term_totals.reserve(n_terms);
    out.terms.reserve(arena_.size() + n_terms);
    for (const std::uint32_t t : order) {
        if (!out.terms.empty() || !out.term_totals.empty()) {
            out.terms.push_back('\0');
        }
        out.terms.append(term_text(t));
        out.term_totals.push_back(static_cast<std::uint32_t>(terms_[t].total));
    }

    if (kind_ == IdKind::Int32) {
        trie.id_mode = IdMode::Int32;
        trie.video_int_ids = std::move(int_ids_);
    } else {
        trie.id_mode = IdMode::Uuid;
        trie.video_uuids = std::move(uuids_);
    }
    *this = RowLayout();
    return out;
}

}  // namespace quillmesh
