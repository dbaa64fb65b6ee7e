// The banded walk of a checked index: the unchecked, faster form of
// walk_checked() (walk.hpp), chosen by choose_engine() for bounds up to 31 on
// every index that DerivedIndex found consistent.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "prefix/band.hpp"
#include "prefix/label_search.hpp"
#include "prefix/recorder.hpp"
#include "prefix/levels.hpp"
#include "prefix/one_edit_walk.hpp"
#include "prefix/sealed_scratch.hpp"
#include "prefix/derived.hpp"
#include "prefix/edges.hpp"
#include "prefix/trie.hpp"

namespace quillmesh::walk {

// The same walk on a checked index (DerivedIndex::checked()), whose reads cannot fail:
// the sequences are read directly, and a node's children are tried all at
// once, before the walk goes down into the first of them. The rows of the
// children that stay within the bound wait side by side until each one's
// turn comes (a node is recorded when its turn comes, so the records come in
// the same pre-order), and the first reads of each waiting child are
// requested from memory while its siblings are still being tried.
//
// A spent node (row minimum = bound; see Band) has only spent descendants,
// and its row is wholly described by which cells equal the bound: a child's
// cell j + 1 equals the bound exactly when the parent's cell j does and the
// child's label is query code point j; every other cell exceeds it. Rows
// are held as levels (Levels), so the walk serves bounds whose band fits in
// 64 bits (Levels::fits: bound <= 31), and spent nodes carry that set of
// cells as a bit mask instead of a row. When
// children also come in label order, the records below all the spent
// children of a node are found at once (resolve_spent) and wait with them.
//
// The rows of the waiting children can take more memory than the
// follower's rows of the path; past the same budget this walk gives up and
// returns false, and the caller repeats the query with the follower
// (walk_direct), which answers or refuses it as ever.
//
// Why a loop of its own rather than the follower (depth_first.hpp): trying
// all of a node's children before going down is what lets the reads of the
// waiting children overlap (prefetches while siblings are tried) and the
// spent children be resolved together; the follower tries one child at a
// time. The rules both obey have one home each: the edges of a node and the
// unlabelled-child rule (edges.hpp), the label lookup (label_search.hpp),
// the record, the limit and the label path (recorder.hpp).
template <class Reporter>
class SealedWalk {
public:
    SealedWalk(const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
               Recorder<Reporter>& recorder, SealedScratch& scratch)
        : trie_(index.trie()),
          band_(query, bound),
          recorder_(recorder),
          edges_(trie_),
          stride_(Levels(query, bound).stride()),
          sorted_(index.derived().children_sorted()),
          consecutive_(index.derived().children_consecutive()),
          quick_(consecutive_ && !index.derived().edge_labels().empty()),
          levels_model_(query, band_.bound()),
          query_(query.data()),
          edge_labels_(index.derived().edge_labels().empty() ? nullptr : index.derived().edge_labels().data()),
          levels_(scratch.levels),
          waiting_(scratch.waiting),
          frames_(scratch.frames),
          arrivals_(scratch.arrivals),
          cursors_(scratch.cursors),
          turns_(scratch.turns),
          path_(scratch.path) {
        if (levels_.size() < stride_ * 64) {
            levels_.resize(stride_ * 64);
        }
        waiting_.reserve(256);
        frames_.reserve(64);
        if constexpr (Reporter::kSpellsPath) {
            // No node deeper than n + bound is within the bound.
            path_.reserve(band_.max_depth() + 1);
        }
    }

    bool run() {
        used_ = stride_;
        if (band_.n() >= std::numeric_limits<std::uint32_t>::max()) {
            return false;  // positions are held in 32 bits (SealedCursor)
        }
        if (band_.bound() == 0) {
            // The root is spent from the start (its one cell, j = 0, is 0):
            // the term is looked up as it stands.
            if (sorted_) {
                find_exact();
            } else {
                expand_spent(0, 0, 1, stride_);
            }
        } else {
            levels_model_.root(levels_.data());
            if (!expand_levels(0, 0, 0, stride_)) {
                return false;
            }
        }
        while (!frames_.empty()) {
            Frame& top = frames_.back();
            if (top.next == top.end) {
                used_ = top.mark;
                waiting_.resize(top.first);
                arrivals_.resize(top.arrivals);
                frames_.pop_back();
                continue;
            }
            // Field by field: the entry was written field by field moments
            // ago, and a wider read of it would wait for those stores to land.
            const Waiting* const entry = waiting_.data() + top.next++;
            const std::uint32_t node = entry->node;
            const std::uint32_t low = entry->low;
            const std::size_t depth = top.depth;
            if constexpr (Reporter::kSpellsPath) {
                path_.put(depth, entry->label);
            }
            if (note(node, entry->last, depth)) {
                return true;
            }
            const bool masked = low == band_.bound();
            const std::uint64_t alive = entry->alive;
            std::size_t row = entry->row;
            if (masked && sorted_) {
                // Its records were found with its siblings' (resolve_spent).
                if (emit_arrivals(row, alive, depth)) {
                    return true;
                }
            }
            std::size_t mark = used_;
            if (top.next == top.end) {
                // The frame's last child: nothing is left to come back to, so
                // the frame goes and the child's row moves down to where the
                // frame's rows began (a long chain costs one row, not one per
                // level).
                mark = top.mark;
                used_ = mark;
                if (!masked) {
                    if (row != mark) {
                        std::copy_n(levels_.data() + row, stride_, levels_.data() + mark);
                        row = mark;
                    }
                    used_ = mark + stride_;
                }
                waiting_.resize(top.first);
                arrivals_.resize(top.arrivals);
                frames_.pop_back();
            }
            if (masked) {
                if (!sorted_) {
                    expand_spent(node, depth, alive, mark);
                }
            } else if (!expand_levels(node, depth, row, mark)) {
                return false;
            }
        }
        return true;
    }

private:
    // A label is looked up among more than this many children (in label
    // order, without one-byte edge labels) by halving.
    static constexpr std::size_t kScanFanout = 8;
    // Most cells resolve_spent follows at once.
    static constexpr std::size_t kMaxCursors = kRowBudgetBytes / sizeof(SealedCursor);

    using Waiting = SealedWaiting;
    using Arrival = SealedArrival;
    using Cursor = SealedCursor;
    using Frame = SealedFrame;

    // Room in `rows` (cells or levels) for `count` more rows past the ones in
    // use; false when that would pass the row budget.
    template <class T>
    bool make_room(std::vector<T>& rows, std::size_t count) {
        const std::size_t room = used_ + count * stride_;
        if (room > rows.size()) {
            constexpr std::size_t max_room = kRowBudgetBytes / sizeof(T);
            if (room > max_room) {
                return false;
            }
            rows.resize(std::min(max_room, std::max(room, 2 * rows.size())));
        }
        return true;
    }

    // The children that wait from waiting_[first] on (at `depth`) make a new
    // frame whose rows start at `mark` and whose records below start at
    // `arrivals`; with none, the rows from `mark` on are free again.
    void open_frame(std::size_t first, std::size_t depth, std::size_t mark, std::size_t arrivals) {
        if (waiting_.size() > first) {
            frames_.push_back(Frame{first, first, waiting_.size(), depth, mark, arrivals});
        } else {
            used_ = mark;
        }
    }

    // Tries the children of node v (at depth d, within the bound: row
    // minimum below it, levels at offset `row`); those within the bound wait
    // in a new frame whose rows start at `mark`, children whose minimum
    // reaches the bound as masked spent nodes. False when the rows would
    // pass the budget.
    bool expand_levels(std::uint32_t v, std::size_t d, std::size_t row, std::size_t mark) {
        const std::size_t start = edges_.start(v);
        const std::size_t end = edges_.end(v);
        if (start >= end) {
            used_ = mark;
            return true;
        }
        const std::size_t stride = stride_;
        if (!make_room(levels_, end - start)) {
            return false;
        }
        std::uint64_t* const levels = levels_.data();
        const std::uint64_t* const prev = levels + row;
        std::size_t used = used_;
        const std::size_t first = waiting_.size();
        const std::uint32_t bound = band_.bound();
        levels_model_.geometry(d, step_);
        bool spent = false;
        // Room for every child at once, written in place and cut back after.
        waiting_.resize(first + (end - start));
        Waiting* const out = waiting_.data() + first;
        std::size_t count = 0;
        // With quick steps, each spent child takes its cells' first step at
        // once (first_step), and waits only if it is a record or some cell
        // goes on.
        const bool seed = quick_ && sorted_;
        const std::size_t arrivals = arrivals_.size();
        if (seed) {
            cursors_.clear();
        }
        edges_.for_each_entered(start, end, [&](std::uint32_t c, char32_t label) {
            recorder_.step();
            std::uint32_t last = 0;
            std::uint64_t* const cur = levels + used;
            const std::uint32_t child_low = levels_model_.step(prev, cur, step_, label, last);
            if (child_low < bound) {
                __builtin_prefetch(edges_.shifts() + c);
                out[count++] = Waiting{c, label, child_low, last, used, 0};
                used += stride;
            } else if (child_low == bound) {
                if (!seed) {
                    out[count++] = Waiting{c, label, child_low, last, 0, cur[bound]};
                    spent = true;
                } else if (first_step(c, static_cast<std::uint32_t>(count), d + 1, cur[bound]) ||
                           last <= bound) {
                    out[count++] = Waiting{c, label, child_low, last, 0, 0};
                }
            }
        });
        waiting_.resize(first + count);
        used_ = used;
        if (seed) {
            if (over_budget_) {
                return false;
            }
            spent = !cursors_.empty() || arrivals_.size() > arrivals;
        } else if (sorted_ && spent && !start_cursors(first, d + 1)) {
            return false;
        }
        if (sorted_ && spent) {
            resolve_spent(first, arrivals);
        }
        open_frame(first, d + 1, mark, arrivals);
        return true;
    }

    // Records node c at `depth`, reached just now, if the reporter takes it;
    // true once the limit is reached.
    bool note(std::uint32_t c, std::uint32_t last, std::size_t depth) {
        return last <= band_.bound() &&
               recorder_.note(c, last, Reporter::kSpellsPath ? path_.spelled(depth) : std::span<const char32_t>());
    }

    // In a node's children [start, end) (start < end), in strictly ascending
    // label order: the position of the one labelled `want` that is entered,
    // or end.
    std::size_t find_sorted(std::size_t start, std::size_t end, std::uint32_t want) const {
        if (edge_labels_ != nullptr) {
            return find_label(edge_labels_, start, end, want);
        }
        if (!entered(static_cast<char32_t>(want))) {
            return end;
        }
        if (end - start > kScanFanout) {
            std::size_t lo = start;
            std::size_t hi = end;
            while (lo < hi) {
                const std::size_t mid = lo + (hi - lo) / 2;
                if (static_cast<std::uint32_t>(edges_.label(edges_.child(mid))) < want) {
                    lo = mid + 1;
                } else {
                    hi = mid;
                }
            }
            return lo < end && static_cast<std::uint32_t>(edges_.label(edges_.child(lo))) == want ? lo : end;
        }
        for (std::size_t k = start; k < end; ++k) {
            const auto label = static_cast<std::uint32_t>(edges_.label(edges_.child(k)));
            if (label >= want) {
                return label == want ? k : end;
            }
        }
        return end;
    }

    // With bound 0 and children in label order: records the node that the
    // whole term spells, if there is one.
    void find_exact() {
        const std::size_t n = band_.n();
        std::uint32_t u = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t start = edges_.start(u);
            const std::size_t end = edges_.end(u);
            recorder_.step();
            if (start >= end) {
                return;
            }
            const std::size_t k = find_sorted(start, end, static_cast<std::uint32_t>(query_[j]));
            if (k == end) {
                return;
            }
            u = edges_.child(k);
            if constexpr (Reporter::kSpellsPath) {
                path_.put(j + 1, query_[j]);
            }
        }
        if (n > 0) {
            note(u, 0, n);
        }
    }

    // Tries the children of the masked spent node v (at depth d, cells
    // `alive`) of a trie whose children are not all in label order (else see
    // resolve_spent); those that stay within the bound wait in a new frame.
    void expand_spent(std::uint32_t v, std::size_t d, std::uint64_t alive, std::size_t mark) {
        used_ = mark;
        const std::size_t n = band_.n();
        const std::size_t bound = band_.bound();
        const std::size_t start = edges_.start(v);
        const std::size_t end = edges_.end(v);
        if (start >= end) {
            return;
        }
        // The labels that keep some cell alive, each with the cells it keeps
        // (cell j goes on as cell j + 1 of the child: the same bit).
        char32_t wanted[64];
        std::uint64_t keeps[64];
        std::size_t count = 0;
        for (std::uint64_t rest = alive; rest != 0; rest &= rest - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(rest));
            const std::size_t j = d + i - bound;
            if (j >= n || !entered(query_[j])) {
                continue;  // no code point left to match, or one no child has
            }
            std::size_t at = 0;
            while (at < count && wanted[at] != query_[j]) {
                ++at;
            }
            if (at == count) {
                wanted[count] = query_[j];
                keeps[count] = 0;
                ++count;
            }
            keeps[at] |= std::uint64_t{1} << i;
        }
        // The child's cell n, if alive, is bit n - (d + 1) + bound.
        const std::size_t e = d + 1;
        const bool can_end = n + bound >= e && n + bound - e < 64;
        const std::uint64_t end_bit = can_end ? std::uint64_t{1} << (n + bound - e) : 0;
        const auto cap = static_cast<std::uint32_t>(bound + 1);
        const std::size_t first = waiting_.size();
        edges_.for_each_entered(start, end, [&](std::uint32_t c, char32_t label) {
            for (std::size_t w = 0; w < count; ++w) {
                if (wanted[w] == label) {
                    recorder_.step();
                    __builtin_prefetch(edges_.shifts() + c);
                    const std::uint32_t last = (keeps[w] & end_bit) != 0 ? static_cast<std::uint32_t>(bound) : cap;
                    waiting_.push_back(Waiting{c, label, static_cast<std::uint32_t>(bound), last, 0, keeps[w]});
                    break;
                }
            }
        });
        open_frame(first, e, mark, arrivals_.size());
    }

    // The first step of the cells `alive` (bit i is cell e + i - bound) of
    // the spent node c at depth e, about to wait as entry `entry` of its
    // frame (quick_): a cell j < n goes on to c's child labelled q[j], as a
    // cursor or, at the query's end, an arrival. Whether any cell went on.
    // Past kMaxCursors it notes over_budget_ instead, and the walk gives up.
    bool first_step(std::uint32_t c, std::uint32_t entry, std::size_t e, std::uint64_t alive) {
        const std::size_t start = edges_.start(c);
        const std::size_t end = edges_.end(c);
        if (start >= end) {
            return false;
        }
        const std::size_t n = band_.n();
        const std::size_t bound = band_.bound();
        const std::size_t width = end - start;
        const std::uint32_t first_child = edges_.child(start);
        bool any = false;
        const auto go_on = [&](std::uint32_t child, std::uint32_t j) {
            any = true;
            if (j + 1 == n) {
                arrivals_.push_back(Arrival{child, entry, j, 0});
            } else if (cursors_.size() < kMaxCursors) {
                __builtin_prefetch(edges_.shifts() + child);
                cursors_.push_back(Cursor{child, entry, j + 1, j, 0, 0});
            } else {
                over_budget_ = true;
            }
        };
        if (width <= 16) {
            // One read of the labels serves every cell.
            const std::uint8_t* const labels = edge_labels_ + start;
            for (std::uint64_t rest = alive; rest != 0; rest &= rest - 1) {
                const auto j = static_cast<std::uint32_t>(e + static_cast<std::size_t>(std::countr_zero(rest)) - bound);
                if (j >= n) {
                    break;  // cell n is the node's own record; higher bits lie past it
                }
                const std::uint64_t hits = label_mask(labels, width, static_cast<std::uint32_t>(query_[j]));
                if (hits != 0) {
                    go_on(first_child + static_cast<std::uint32_t>(std::countr_zero(hits)), j);
                }
            }
            return any;
        }
        for (std::uint64_t rest = alive; rest != 0; rest &= rest - 1) {
            const auto j = static_cast<std::uint32_t>(e + static_cast<std::size_t>(std::countr_zero(rest)) - bound);
            if (j >= n) {
                break;
            }
            const std::size_t k = find_label(edge_labels_, start, end, static_cast<std::uint32_t>(query_[j]));
            if (k != end) {
                go_on(first_child + static_cast<std::uint32_t>(k - start), j);
            }
        }
        return any;
    }

    // The cells of the masked entries waiting_[first, end) at depth e, as
    // cursors at their entries' nodes, for resolve_spent (when first_step
    // did not already start them). False past the cursor budget.
    bool start_cursors(std::size_t first, std::size_t e) {
        const std::size_t n = band_.n();
        const std::size_t bound = band_.bound();
        cursors_.clear();
        for (std::size_t w = first; w < waiting_.size(); ++w) {
            Waiting& entry = waiting_[w];
            if (entry.low != bound) {
                continue;
            }
            for (std::uint64_t rest = entry.alive; rest != 0; rest &= rest - 1) {
                const auto j = static_cast<std::uint32_t>(e + static_cast<std::size_t>(std::countr_zero(rest)) - bound);
                if (j >= n) {
                    break;  // cell n is the entry's own record; higher bits lie past it
                }
                if (cursors_.size() == kMaxCursors) {
                    return false;
                }
                // The entry's place in the frame: a node has fewer than 2^32 children.
                cursors_.push_back(Cursor{entry.node, static_cast<std::uint32_t>(w - first), j, j, 0, 0});
            }
            entry.alive = 0;
        }
        return true;
    }

    // For the entries waiting_[first, end), in a trie whose children come in
    // label order, whose masked entries' cells are being followed as the
    // cursors (start_cursors, first_step): finds the records below each
    // masked entry and notes them in it (see Waiting::row and ::alive), and
    // drops the masked entries that neither are nor hold a record. Records
    // found go in the arrivals, which are the frame's from `from` on.
    //
    // Below a spent node a cell lives on only along the query: cell j
    // becomes cell j + 1 of the child labelled q[j] and is lost elsewhere. So
    // each cell j < n is followed on its own down the one path that spells
    // q[j ... n - 1] (at most one child per label), and the node where it
    // arrives has cell n equal to the bound: those nodes, and no others, are
    // the records below the entry. (A node reached through two cells is
    // simply passed twice.) The cells of all the masked siblings are followed
    // together, a level at a time, so that their reads overlap instead of
    // waiting on one another; each entry's arrivals are then put in walk
    // order (see order_arrivals).
    void resolve_spent(std::size_t first, std::size_t from) {
        const std::size_t bound = band_.bound();
        std::size_t live = cursors_.size();
        while (live > 0) {
            Cursor* const cursors = cursors_.data();
            if (quick_) {
                // One pass: each cursor reads its node's edges itself (asked
                // for when it got there) and its search needs no more reads.
                live = step_quick(live);
                continue;
            }
            // Each cursor's edges, and a request for the labels and targets
            // the next pass reads.
            for (std::size_t i = 0; i < live; ++i) {
                Cursor& c = cursors[i];
                c.start = edges_.start(c.node);
                c.end = static_cast<std::uint32_t>(edges_.end(c.node));
                if (edge_labels_ != nullptr) {
                    __builtin_prefetch(edge_labels_ + c.start);
                }
                __builtin_prefetch(edges_.targets() + c.start);
            }
            live = step_cursors(live);
        }
        if (arrivals_.size() > from) {
            order_arrivals(from, first);
            for (std::size_t a = from; a < arrivals_.size(); ++a) {
                Waiting& entry = waiting_[first + arrivals_[a].entry];
                if (entry.alive == 0) {
                    entry.row = a;
                }
                ++entry.alive;
            }
        }
        // A masked entry that is no record itself and has none below it
        // would only be passed: it leaves the frame.
        std::size_t kept = first;
        for (std::size_t w = first; w < waiting_.size(); ++w) {
            const Waiting& entry = waiting_[w];
            if (entry.low == bound && entry.alive == 0 && entry.last > bound) {
                continue;
            }
            if (kept != w) {
                waiting_[kept] = entry;
            }
            ++kept;
        }
        waiting_.resize(kept);
    }

    // One step of each of the first `live` cursors (their edges read):
    // those that arrive become arrivals, those that go on are kept at the
    // front; returns how many were kept. Cursors are read field by field: a
    // wider read would wait for the stores of the pass before to land.
    std::size_t step_cursors(std::size_t live) {
        Cursor* const cursors = cursors_.data();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < live; ++i) {
            const Cursor& c = cursors[i];
            recorder_.step();
            const std::size_t start = c.start;
            const std::size_t end = c.end;
            const std::uint32_t j = c.j;
            if (start >= end) {
                continue;
            }
            const std::uint32_t first_child = edges_.child(start);
            const std::size_t k = find_sorted(start, end, static_cast<std::uint32_t>(query_[j]));
            if (k == end) {
                continue;
            }
            const std::uint32_t child = consecutive_ ? first_child + static_cast<std::uint32_t>(k - start) : edges_.child(k);
            kept = move_on(cursors, kept, c.entry, c.j0, j, child, true);
        }
        return kept;
    }

    // The end of a cursor's step to `child`, found or not (then dropped, by
    // not advancing `kept`): an arrival at the query's end, else kept at
    // cursors[kept]; returns the new count kept.
    std::size_t move_on(Cursor* cursors, std::size_t kept, std::uint32_t entry, std::uint32_t j0, std::uint32_t j,
                        std::uint32_t child, bool found) {
        if (found && j + 1 == band_.n()) {
            arrivals_.push_back(Arrival{child, entry, j0, 0});
            return kept;
        }
        __builtin_prefetch(edges_.shifts() + child);
        Cursor& out = cursors[kept];
        out.entry = entry;
        out.j0 = j0;
        out.node = child;
        out.j = j + 1;
        return kept + (found ? 1 : 0);
    }

    // The same with one-byte edge labels and consecutive children (quick_),
    // reading each cursor's edges itself (quick_child), and without branches
    // on what a node's children hold: a cursor that finds nothing is dropped
    // by not advancing `kept`.
    std::size_t step_quick(std::size_t live) {
        Cursor* const cursors = cursors_.data();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < live; ++i) {
            const Cursor& c = cursors[i];
            recorder_.step();
            const std::uint32_t j = c.j;
            const std::uint32_t entry = c.entry;
            const std::uint32_t j0 = c.j0;
            const QuickStep step = quick_child(edges_, edge_labels_, c.node, static_cast<std::uint32_t>(query_[j]));
            kept = move_on(cursors, kept, entry, j0, j, step.child(edges_), step.found);
        }
        return kept;
    }

    // Puts arrivals_[from, end) in walk order: by entry, and below one entry
    // by the positions of the edges taken from it (a path that is a prefix of
    // another leads to an ancestor, which comes first).
    void order_arrivals(std::size_t from, std::size_t first) {
        const auto begin = arrivals_.begin() + static_cast<std::ptrdiff_t>(from);
        std::sort(begin, arrivals_.end(), [](const Arrival& a, const Arrival& b) { return a.entry < b.entry; });
        const std::size_t n = band_.n();
        for (auto group = begin; group != arrivals_.end();) {
            auto group_end = group + 1;
            while (group_end != arrivals_.end() && group_end->entry == group->entry) {
                ++group_end;
            }
            if (group_end - group > 1) {
                turns_.clear();
                for (auto a = group; a != group_end; ++a) {
                    a->first_turn = turns_.size();
                    std::uint32_t u = waiting_[first + a->entry].node;
                    for (std::size_t j = a->j; j < n; ++j) {
                        const std::size_t start = edges_.start(u);
                        const std::size_t end = edges_.end(u);
                        const std::size_t k = find_sorted(start, end, static_cast<std::uint32_t>(query_[j]));
                        turns_.push_back(static_cast<std::uint32_t>(k - start));
                        u = edges_.child(k);
                    }
                }
                const auto turns = [&](const Arrival& a) {
                    const std::uint32_t* p = turns_.data() + a.first_turn;
                    return std::span<const std::uint32_t>(p, n - a.j);
                };
                std::sort(group, group_end, [&](const Arrival& a, const Arrival& b) {
                    const auto x = turns(a);
                    const auto y = turns(b);
                    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
                });
            }
            group = group_end;
        }
    }

    // Records the `count` arrivals from arrivals_[first] on, below an entry
    // at `depth`; true once the limit is reached.
    bool emit_arrivals(std::size_t first, std::size_t count, std::size_t depth) {
        const std::size_t n = band_.n();
        const auto bound = static_cast<std::uint32_t>(band_.bound());
        for (std::size_t a = first; a < first + count; ++a) {
            const Arrival arrival = arrivals_[a];
            if constexpr (Reporter::kSpellsPath) {
                path_.put_run(depth, query_ + arrival.j, query_ + n);
            }
            if (note(arrival.node, bound, depth + (n - arrival.j))) {
                return true;
            }
        }
        return false;
    }

    const Trie& trie_;
    const Band band_;
    Recorder<Reporter>& recorder_;
    const DirectEdges edges_;
    std::size_t stride_;
    bool sorted_;
    bool consecutive_;  // DerivedIndex::children_consecutive()
    bool quick_;        // and one-byte edge labels too (step_quick)
    const Levels levels_model_;
    Levels::Step step_;  // set by geometry() before each use
    const char32_t* query_;
    const std::uint8_t* edge_labels_;  // DerivedIndex::edge_labels(), or null
    std::vector<std::uint64_t>& levels_;  // the rows; only its first used_ words mean anything
    std::size_t used_ = 0;
    std::vector<Waiting>& waiting_;
    std::vector<Frame>& frames_;
    std::vector<Arrival>& arrivals_;     // records below masked entries (resolve_spent)
    std::vector<Cursor>& cursors_;       // its cells being followed
    std::vector<std::uint32_t>& turns_;  // and the edge positions of paths it compares
    LabelPath path_;  // with room for the labels of depths 1 ... n + bound
    bool over_budget_ = false;  // first_step found more cells than kMaxCursors
};

}  // namespace quillmesh::walk
