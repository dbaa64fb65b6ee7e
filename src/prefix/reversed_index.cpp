#include "prefix/reversed_index.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <utility>

namespace quillmesh {

namespace {

constexpr std::uint32_t kNoRank = std::numeric_limits<std::uint32_t>::max();

// The terms of a tree-shaped trie in walk order: each one's forward node and
// its labels, back to back.
struct Terms {
    std::vector<std::uint32_t> nodes;
    std::vector<std::uint32_t> ends;  // end of term i's labels in text
    std::vector<std::uint8_t> text;
};

// Whether no node has two children with one label (U+0000 children aside).
bool siblings_distinct(const Trie& trie, std::span<const std::uint8_t> labels, bool children_sorted) {
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

// Walks the trie depth first in walk order, entering what the matchers
// enter, and collects its terms; nullopt once a node is entered twice or the
// terms outgrow the text budget.
std::optional<Terms> collect_terms(const Trie& trie, std::span<const std::uint8_t> labels) {
    const std::size_t n = trie.node_count();
    const std::size_t edges = trie.child_transitions.size();
    const std::size_t budget = ReversedIndex::kMaxTextPerNode * n + 4096;
    const std::uint32_t* shifts = trie.node_shifts.data();
    const std::uint32_t* targets = trie.child_transitions.data();
    const std::uint8_t* terminal = trie.is_terminal.data();
    const auto range_end = [&](std::size_t v) { return children_end(shifts, n, edges, v); };

    struct Frame {
        std::size_t next;
        std::size_t end;
    };
    Terms terms;
    std::vector<std::uint64_t> entered((n + 63) / 64, 0);
    entered[0] = 1;  // the root: a child listing it would enter it again
    std::vector<Frame> stack;
    std::vector<std::uint8_t> path;  // labels of the nodes on the stack below the root
    stack.push_back(Frame{shifts[0], range_end(0)});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next >= top.end) {
            stack.pop_back();
            if (!path.empty()) {
                path.pop_back();
            }
            continue;
        }
        const std::size_t k = top.next++;
        const std::uint8_t label = labels[k];
        if (label == 0) {
            continue;  // never entered
        }
        const std::uint32_t c = targets[k];
        std::uint64_t& word = entered[c / 64];
        const std::uint64_t bit = std::uint64_t{1} << (c % 64);
        if ((word & bit) != 0) {
            return std::nullopt;
        }
        word |= bit;
        path.push_back(label);
        if (terminal[c] != 0) {
            if (terms.text.size() + path.size() > budget) {
                return std::nullopt;
            }
            terms.nodes.push_back(c);
            terms.text.insert(terms.text.end(), path.begin(), path.end());
            terms.ends.push_back(static_cast<std::uint32_t>(terms.text.size()));
        }
        stack.push_back(Frame{shifts[c], range_end(c)});
    }
    return terms;
}

}  // namespace

std::optional<ReversedIndex> ReversedIndex::build(const Trie& trie, std::span<const std::uint8_t> edge_labels,
                                                  bool children_sorted) {
    if (edge_labels.empty() || trie.node_count() >= kNoRank) {
        return std::nullopt;
    }
    if (!siblings_distinct(trie, edge_labels, children_sorted)) {
        return std::nullopt;
    }
    std::optional<Terms> collected = collect_terms(trie, edge_labels);
    if (!collected || collected->text.size() + collected->nodes.size() + 8 >= kNoRank) {
        return std::nullopt;
    }
    Terms& terms = *collected;
    const std::size_t count = terms.nodes.size();
    std::vector<std::uint32_t> term_nodes = std::move(terms.nodes);

    ReversedIndex index;
    index.terminals_.resize(trie.node_count());
    for (const std::uint32_t node : term_nodes) {
        index.terminals_.set(node);
    }
    index.terminals_.seal();
    index.ranks_.assign(index.terminals_.count(), kNoRank);
    for (std::size_t r = 0; r < count; ++r) {
        index.ranks_[index.terminals_.rank(term_nodes[r])] = static_cast<std::uint32_t>(r);
    }

    // The trie of the reversed terms, level by level: a level's nodes are
    // groups of terms that share their last `depth` labels, in the order of
    // the nodes; each group splits by the label before those into the next
    // level's groups, in label order. That is breadth-first order with
    // consecutive children, built without looking anything up. Each term
    // carries its next eight labels (read from the text every eighth level,
    // so that the text is not read once per label at random), and a 0 before
    // every term's labels in the text says where it begins.
    struct Entry {
        std::uint64_t labels;  // the next label in the low byte; 0 where the term begins
        std::uint32_t node;  // the term's forward node
        std::uint32_t at;  // text position after the labels still to be read
    };
    std::vector<std::uint8_t> text(8 + terms.text.size() + count, 0);
    std::vector<Entry> level(count);
    {
        std::size_t at = 8;
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t begin = t == 0 ? 0 : terms.ends[t - 1];
            const std::size_t end = terms.ends[t];
            ++at;  // the 0 before the term
            std::copy(terms.text.begin() + static_cast<std::ptrdiff_t>(begin),
                      terms.text.begin() + static_cast<std::ptrdiff_t>(end), text.begin() + static_cast<std::ptrdiff_t>(at));
            at += end - begin;
            level[t] = Entry{0, term_nodes[t], static_cast<std::uint32_t>(at)};
        }
    }
    collected.reset();
    std::vector<Entry> next;
    std::vector<std::uint32_t> bounds{0, static_cast<std::uint32_t>(count)};
    std::vector<std::uint32_t> next_bounds;
    std::array<std::uint32_t, 257> buckets{};
    std::vector<Entry> scratch;
    next.reserve(count);
    index.first_.reserve(text.size() / 3 + 2);
    index.labels_.reserve(text.size() / 3 + 2 + kLabelPadding);
    index.ends_.resize(text.size() + 1);
    index.term_nodes_.reserve(count);
    index.labels_.push_back(0);
    std::size_t nodes = 1;
    std::size_t level_first = 0;  // node number of the level's first group
    const auto low = [](const Entry& e) { return static_cast<std::uint8_t>(e.labels); };
    for (std::size_t depth = 0; bounds.size() > 1; ++depth) {
        if (depth % 8 == 0) {
            for (std::size_t i = 0; i < level.size(); ++i) {
                if (i + 16 < level.size()) {
                    __builtin_prefetch(text.data() + level[i + 16].at - 8);
                }
                Entry& e = level[i];
                std::uint64_t word;
                std::memcpy(&word, text.data() + e.at - 8, 8);
                e.labels = __builtin_bswap64(word);  // little-endian: the last byte read comes first
                e.at -= 8;
            }
        }
        next.clear();
        next_bounds.assign(1, 0);
        for (std::size_t g = 0; g + 1 < bounds.size(); ++g) {
            const std::size_t v = level_first + g;
            index.first_.push_back(static_cast<std::uint32_t>(nodes));
            const std::size_t base = next.size();
            if (bounds[g + 1] - bounds[g] == 1) {
                // Most groups below the first few levels are one term: it
                // ends here or has one child, with nothing to sort.
                Entry e = level[bounds[g]];
                if (low(e) == 0) {
                    index.ends_.set(v);
                    index.term_nodes_.push_back(e.node);
                } else {
                    index.labels_.push_back(low(e));
                    ++nodes;
                    e.labels >>= 8;
                    next.push_back(e);
                    next_bounds.push_back(static_cast<std::uint32_t>(base + 1));
                }
                continue;
            }
            for (std::size_t at = bounds[g]; at < bounds[g + 1]; ++at) {
                const Entry& e = level[at];
                if (low(e) == 0) {
                    if (index.ends_.test(v)) {
                        return std::nullopt;  // two terms spell the same (not in a qualifying trie)
                    }
                    index.ends_.set(v);
                    index.term_nodes_.push_back(e.node);
                } else {
                    next.push_back(e);
                }
            }
            const std::size_t size = next.size() - base;
            Entry* run = next.data() + base;
            if (size > 32) {
                buckets.fill(0);
                for (std::size_t i = 0; i < size; ++i) {
                    ++buckets[low(run[i]) + 1u];
                }
                for (std::size_t b = 1; b < buckets.size(); ++b) {
                    buckets[b] += buckets[b - 1];
                }
                scratch.assign(run, run + size);
                for (const Entry& e : scratch) {
                    run[buckets[low(e)]++] = e;
                }
            } else {
                for (std::size_t i = 1; i < size; ++i) {
                    const Entry e = run[i];
                    std::size_t j = i;
                    for (; j > 0 && low(run[j - 1]) > low(e); --j) {
                        run[j] = run[j - 1];
                    }
                    run[j] = e;
                }
            }
            for (std::size_t i = 0; i < size; ++i) {
                const std::uint8_t label = low(run[i]);
                if (i > 0 && label != low(run[i - 1])) {
                    next_bounds.push_back(static_cast<std::uint32_t>(base + i));
                }
                if (i == 0 || label != low(run[i - 1])) {
                    index.labels_.push_back(label);
                    ++nodes;
                }
            }
            for (std::size_t i = 0; i < size; ++i) {
                run[i].labels >>= 8;
            }
            if (size > 0) {
                next_bounds.push_back(static_cast<std::uint32_t>(base + size));
            }
        }
        level_first += bounds.size() - 1;
        std::swap(level, next);
        std::swap(bounds, next_bounds);
    }
    index.first_.push_back(static_cast<std::uint32_t>(nodes));
    index.labels_.resize(nodes + kLabelPadding, 0);
    index.ends_.shrink(nodes);
    index.ends_.seal();
    index.first_.shrink_to_fit();
    index.labels_.shrink_to_fit();
    return index;
}

std::size_t ReversedIndex::bytes() const {
    return first_.capacity() * 4 + labels_.capacity() + ends_.bytes() + term_nodes_.capacity() * 4 +
           terminals_.bytes() + ranks_.capacity() * 4;
}

}  // namespace quillmesh
