#include "prefix/reversed_index.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "large_pages.hpp"
#include "radix_sort.hpp"

namespace quillmesh {

namespace {

constexpr std::uint32_t kNoRank = std::numeric_limits<std::uint32_t>::max();

// Whether no node has two children with one label (U+0000 children aside).
bool siblings_distinct(const TrieStructure& trie, std::span<const std::uint8_t> labels, bool children_sorted) {
    if (children_sorted) {
        return true;
    }
    const std::size_t n = trie.node_count();
    const std::size_t edges = trie.child_transitions.size();
    std::array<std::uint64_t, 4> seen{};
    for (std::size_t v = 0; v < n; ++v) {
        const std::size_t start = trie.node_shifts[v];
        const std::size_t end = children_end(trie.node_shifts.data(), n, edges, v);
        seen.fill(0);
        for (std::size_t k = start; k < end; ++k) {
            const std::uint8_t b = labels[k];
            const std::uint64_t bit = std::uint64_t{1} << (b % 64);
            if (b != 0 && (seen[b / 64] & bit) != 0) {
                return false;
            }
            seen[b / 64] |= bit;
        }
    }
    return true;
}

constexpr std::size_t kTextPadding = 8;  // zero bytes after the last term's labels

// Sorting the reversed spellings: each term as an item whose key holds eight
// of its labels, the first in the high byte, zero past its end (so a
// spelling sorts before its extensions).
struct Item {
    std::uint64_t key;
    std::uint32_t term;
    std::uint32_t lcp;  // once sorted: labels shared with the item before
};

// How far the passes over terms in spelling order read ahead, in terms: a
// term's start first, its labels once the start is in.
constexpr std::size_t kStartsAhead = 16;
constexpr std::size_t kLabelsAhead = 8;

class Spellings {
public:
    Spellings(const std::uint8_t* text, const std::uint32_t* starts) : text_(text), starts_(starts) {}

    std::size_t length(std::uint32_t t) const { return starts_[t + 1] - starts_[t]; }
    const std::uint8_t* labels(std::uint32_t t) const { return text_ + starts_[t]; }
    // Read-ahead for a pass over the terms in another order than their
    // texts lie in: term t's start, then (once that is in) its labels.
    void ask_start(std::uint32_t t) const { __builtin_prefetch(starts_ + t); }
    void ask_labels(std::uint32_t t, std::size_t at = 0) const { __builtin_prefetch(text_ + starts_[t] + at); }

    // Labels [at, at + 8) of term t as a key.
    std::uint64_t window(std::uint32_t t, std::size_t at) const {
        const std::size_t len = length(t);
        if (at >= len) {
            return 0;
        }
        std::uint64_t w;
        std::memcpy(&w, text_ + starts_[t] + at, 8);  // the padding covers the last term
        if constexpr (std::endian::native == std::endian::little) {
            w = __builtin_bswap64(w);
        }
        const std::size_t left = len - at;
        return left >= 8 ? w : w & ~(~std::uint64_t{0} >> (8 * left));
    }

private:
    const std::uint8_t* text_;
    const std::uint32_t* starts_;
};

// Sorts the items by spelling: by their first eight labels, then each group
// that shares them by the next eight, and so on; and sets each item's lcp,
// the labels it shares with the item before (from one key to the next, the
// first label that differs). Returns false when two terms spell the same
// (not in a qualifying trie).
bool sort_spellings(LargeVector<Item>& items, const Spellings& spellings) {
    constexpr std::size_t kSmall = 16;
    struct Group {
        std::size_t begin;
        std::size_t end;
        std::size_t at;  // the labels the keys hold: [at, at + 8)
    };
    // The groups waiting cover disjoint runs of two items or more: room for
    // half the items is room for all of them, and the stack never moves.
    LargeVector<Group> groups;
    groups.reserve(items.size() / 2 + 1);
    {
        // Written by the sort before it is read: not cleared.
        static_assert(std::is_trivially_copyable_v<Item>);
        const LargeBytes scratch = large_bytes(items.size() * sizeof(Item));
        std::vector<std::uint32_t> counts(std::size_t{6} << 11);  // 6 x 11 bits >= 64
        radix_sort<11, 6>(items.data(), reinterpret_cast<Item*>(scratch.get()), items.size(), counts.data(),
                          [](const Item& e) { return e.key; });
    }
    groups.push_back(Group{0, items.size(), 0});
    bool whole = true;  // the first group's keys are in place and sorted
    while (!groups.empty()) {
        const Group g = groups.back();
        groups.pop_back();
        Item* const run = items.data() + g.begin;
        const std::size_t size = g.end - g.begin;
        if (!whole) {
            // The lcp of the group's first place (set by the enclosing
            // group) stays with the place, whichever item comes there.
            const std::uint32_t lcp = run[0].lcp;
            for (std::size_t i = 0; i < size; ++i) {
                if (i + kStartsAhead < size) {
                    spellings.ask_start(run[i + kStartsAhead].term);
                }
                if (i + kLabelsAhead < size) {
                    spellings.ask_labels(run[i + kLabelsAhead].term, g.at);
                }
                run[i].key = spellings.window(run[i].term, g.at);
            }
            if (size <= kSmall) {
                for (std::size_t i = 1; i < size; ++i) {
                    const Item e = run[i];
                    std::size_t j = i;
                    for (; j > 0 && run[j - 1].key > e.key; --j) {
                        run[j] = run[j - 1];
                    }
                    run[j] = e;
                }
            } else {
                std::sort(run, run + size, [](const Item& a, const Item& b) { return a.key < b.key; });
            }
            run[0].lcp = lcp;
        }
        whole = false;
        for (std::size_t i = 0; i < size;) {
            std::size_t j = i + 1;
            while (j < size && run[j].key == run[i].key) {
                ++j;
            }
            if (j - i > 1) {
                // Keys of zero end both spellings here: the same spelling.
                if (run[i].key == 0) {
                    return false;
                }
                groups.push_back(Group{g.begin + i, g.begin + j, g.at + 8});
            }
            if (j < size) {
                run[j].lcp = static_cast<std::uint32_t>(
                    g.at + static_cast<std::size_t>(std::countl_zero(run[j].key ^ run[j - 1].key)) / 8);
            }
            i = j;
        }
    }
    return true;
}

}  // namespace

bool ReversedIndex::qualifies(const TrieStructure& trie, std::span<const std::uint8_t> edge_labels, bool children_sorted) {
    return !edge_labels.empty() && trie.node_count() < kNoRank && siblings_distinct(trie, edge_labels, children_sorted);
}

// Labels are copied eight at a time: the path and the text each have that
// many bytes of room past their ends.
constexpr std::size_t kCopySlack = 8;

ReversedIndex::Terms::Terms(const TrieStructure& trie, std::span<const std::uint8_t> edge_labels)
    : labels_(edge_labels),
      terminal_(trie.is_terminal.data()),
      budget_(kMaxTextPerNode * trie.node_count() + 4096),
      // A path is at most as deep as there are nodes; only its first few
      // bytes are ever written (a fresh block, not zeroed).
      path_(new std::uint8_t[trie.node_count() + 1 + kCopySlack]),
      path_end_(path_.get() + trie.node_count() + 1),
      text_(large_bytes(budget_ + kTextPadding + kCopySlack)) {
    // Room for what the budget allows: what is never written costs only
    // address space.
    nodes_.reserve(trie.node_count());
    starts_.reserve(trie.node_count() + 1);
    starts_.push_back(0);
}

void ReversedIndex::Terms::add(std::uint32_t node, std::size_t depth) {
    if (over_ || text_size_ + depth > budget_) {
        over_ = true;
        return;
    }
    nodes_.push_back(node);
    const std::uint8_t* from = path_end_ - depth;
    std::uint8_t* to = text_.get() + text_size_;
    for (std::size_t i = 0; i < depth; i += 8) {
        std::memcpy(to + i, from + i, 8);
    }
    text_size_ += depth;
    starts_.push_back(static_cast<std::uint32_t>(text_size_));
}

std::optional<ReversedIndex> ReversedIndex::build(const TrieStructure& trie, Terms&& terms) {
    if (!terms.within_budget() || terms.text_size_ + terms.nodes_.size() + 8 >= kNoRank) {
        return std::nullopt;
    }
    std::memset(terms.text_.get() + terms.text_size_, 0, kTextPadding);
    const LargeVector<std::uint32_t>& term_nodes = terms.nodes_;
    const std::size_t count = term_nodes.size();
    const Spellings spellings(terms.text_.get(), terms.starts_.data());

    ReversedIndex index;
    index.terminals_.resize(trie.node_count());
    for (const std::uint32_t node : term_nodes) {
        index.terminals_.set(node);
    }
    index.terminals_.seal();
    index.ranks_.reserve(count);
    index.ranks_.resize(count);
    for (std::size_t r = 0; r < count; ++r) {
        index.ranks_[index.terminals_.rank(term_nodes[r])] = static_cast<std::uint32_t>(r);
    }

    // The reversed spellings in order are the reversed trie depth first:
    // item i adds the nodes for its labels past the ones it shares with item
    // i - 1. Numbered breadth-first with children in label order, a level's
    // nodes keep that order, so each node's number is its level's start
    // plus the level's nodes before it, and a node's children (the next
    // level's nodes below it) are consecutive.
    LargeVector<Item> items;
    items.reserve(count);
    for (std::uint32_t t = 0; t < count; ++t) {
        items.push_back(Item{spellings.window(t, 0), t, 0});
    }
    if (count > 0 && !sort_spellings(items, spellings)) {
        return std::nullopt;
    }
    std::size_t longest = 0;
    std::size_t nodes = 1;
    for (const Item& e : items) {
        const std::size_t len = spellings.length(e.term);
        nodes += len - e.lcp;
        longest = std::max(longest, len);
    }
    // cursor[d]: the next number at depth d, from the level's start on
    // (first the differences of the level widths).
    std::vector<std::uint32_t> cursor(longest + 2, 0);
    for (const Item& e : items) {
        ++cursor[e.lcp + 1];
        --cursor[spellings.length(e.term) + 1];
    }
    {
        std::uint32_t width = 0;
        std::uint32_t start = 1;
        for (std::size_t d = 1; d <= longest; ++d) {
            width += cursor[d];
            cursor[d] = start;
            start += width;
        }
    }
    index.first_.reserve(nodes + 1);
    // A node's first child, set as that child is made (0, which no child
    // is, until then); a node without children then takes the next node's.
    index.first_.resize(nodes + 1);
    index.labels_.resize(nodes + kLabelPadding);
    index.ends_.resize(nodes);
    std::vector<std::uint32_t> path(longest + 1, 0);  // item i's nodes by depth
    // The items are in spelling order and their texts in walk order, so
    // each text is a miss of its own: the texts of the items a few places
    // on are asked for as each item is placed (kLabelsAhead).
    std::size_t previous_length = 0;  // the root ends no spelling, but has no child yet
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + kStartsAhead < items.size()) {
            spellings.ask_start(items[i + kStartsAhead].term);
        }
        if (i + kLabelsAhead < items.size()) {
            spellings.ask_labels(items[i + kLabelsAhead].term);
        }
        Item& e = items[i];
        const std::size_t len = spellings.length(e.term);
        const std::uint8_t* labels = spellings.labels(e.term);
        // The node the item leaves the previous one's path at gets its first
        // child here only if the previous spelling ended there (a spelling
        // comes before its extensions); the deeper ones are new. So every
        // write is to a node made just now, never one made long ago.
        std::size_t d = e.lcp + 1;
        if (d <= len && previous_length == e.lcp) {
            index.first_[path[d - 1]] = cursor[d];
        }
        for (; d <= len; ++d) {
            const std::uint32_t v = cursor[d]++;
            index.labels_[v] = labels[d - 1];
            if (d > e.lcp + 1) {
                index.first_[path[d - 1]] = v;
            }
            path[d] = v;
        }
        index.ends_.set(path[len]);
        e.key = path[len];
        previous_length = len;
    }
    index.first_[nodes] = static_cast<std::uint32_t>(nodes);
    for (std::size_t v = nodes; v-- > 0;) {
        if (index.first_[v] == 0) {
            index.first_[v] = index.first_[v + 1];
        }
    }
    index.ends_.seal();
    index.term_ends_.reserve(count);
    index.term_ends_.resize(count);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + kLabelsAhead < items.size()) {
            __builtin_prefetch(term_nodes.data() + items[i + kLabelsAhead].term);
        }
        const Item& e = items[i];
        // Terms were gathered in walk order: term t's rank is t.
        index.term_ends_[index.ends_.rank(static_cast<std::size_t>(e.key))] = TermEnd{term_nodes[e.term], e.term};
    }
    return index;
}

std::size_t ReversedIndex::bytes() const {
    return first_.capacity() * 4 + labels_.capacity() + ends_.bytes() + term_ends_.capacity() * sizeof(TermEnd) +
           terminals_.bytes() + ranks_.capacity() * 4;
}

}  // namespace quillmesh
