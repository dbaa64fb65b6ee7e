// The walk at a bound of 1 on a checked index whose children are
// consecutive, in label order and labelled in one byte: the commonest query,
// answered from the edits themselves instead of rows. choose_engine()
// (walk.hpp) takes it when it applies; it gives the records walk_checked()
// gives, in the same order.
#pragma once

#include <algorithm>
#include <bit>
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
#include "prefix/sealed_scratch.hpp"
#include "prefix/derived.hpp"
#include "prefix/edges.hpp"
#include "prefix/trie.hpp"

namespace quillmesh::walk {

// A node is within one edit of the query q (length n) exactly when it spells
// q itself, or q with one code point replaced, put in or taken out. Each such
// text has one canonical edit: a code point x put in before q[i] is the same
// text as x put in before q[i + 1] when x = q[i], so only x != q[i] (or
// i = n) is tried; likewise taking out q[i] only where q[i] != q[i + 1] (or
// i = n - 1). Canonical edits give distinct texts (and so distinct nodes),
// and the texts of different kinds differ in length or, for a replacement,
// from q itself: no node is found twice.
//
// Every edit starts at a node spelling q[0 ... i), on the query's path: a
// replacement or insertion goes on from one of its other children, a
// deletion from itself, and each then follows the rest of the query, one
// child per code point. The first step below each child looks up q[i] and
// q[i + 1] at once, against one read of its labels (below the root, in the
// label sets DerivedIndex keeps for the root's children), and the rest is
// followed for all edits together, a step at a time, so that their reads
// overlap. The found nodes are put in the walk's order (in label order,
// which is the order of their texts) and recorded, up to the limit.
//
// This is neighbourhood generation for one edit: the query's one-edit
// neighbours are spelled out against the trie instead of computing rows
// (cf. the dictionary look-up of Mor and Fraenkel 1982, where each
// neighbour is looked up in turn).
//
// Whether the walk runs on an index: checked, with consecutive children in
// label order and one-byte labels.
inline bool one_edit_applies(const DerivedIndex& derived) {
    return derived.checked() && derived.children_sorted() && derived.children_consecutive() &&
           !derived.edge_labels().empty();
}

// The walk's steps, with the child at an edge read from child_transitions
// or, with edges in node order (kNodeOrder), known from the edge's position:
// a step then waits on two reads (the node's shifts, then its labels), not
// three, and a query that reads a few hundred nodes once each (the index
// does not fit in the cache) spends most of its time waiting on them.
template <class Reporter, bool kNodeOrder>
class OneEditSteps {
public:

    OneEditSteps(const SearchIndex& index, std::u32string_view query, Recorder<Reporter>& recorder,
                 SealedScratch& scratch)
        : recorder_(recorder),
          query_(query.data()),
          n_(query.size()),
          edges_(index.trie()),
          terminal_(index.trie().is_terminal.data()),
          edge_labels_(index.derived().edge_labels().data()),
          root_sets_(index.derived().root_child_sets().empty() ? nullptr : index.derived().root_child_sets().data()),
          on_path_(scratch.on_path),
          cursors_(scratch.edit_cursors),
          found_(scratch.found),
          path_(scratch.path) {}

    // As OneEditWalk::run().
    bool run() {
        if (n_ >= std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        on_path_.clear();
        cursors_.clear();
        found_.clear();
        on_path_.push_back(0);
        // The path, the edits made along it and the edits' cursors go down
        // together, a level a pass, so that their reads are in flight at
        // once instead of the path's first and the cursors' after: pass t
        // takes the path's step from depth t, steps every cursor once,
        // starts the edits at the path's node of depth t - 1 (whose
        // children's labels pass t - 1 asked for) and asks for the labels
        // of the children of the node at depth t.
        bool path_open = true;
        for (std::size_t t = 0;; ++t) {
            if (path_open) {
                path_open = step_path(t);
                if (on_path_.size() > kMaxCursors) {
                    return false;
                }
            }
            follow_once();
            if (t > 0 && !start_at(t - 1)) {
                return false;
            }
            if (t >= on_path_.size()) {
                break;  // every node of the path has started its edits
            }
            ask_children(t);
        }
        const std::size_t m = on_path_.size() - 1;  // the path spells q[0 ... m)
        if (m == n_ && n_ > 0) {
            found(on_path_[m], OneEdit{pos(n_), 0, OneEdit::kSame});
        }
        while (!cursors_.empty()) {
            follow_once();
        }
        record();
        return true;
    }

private:
    static constexpr std::size_t kMaxCursors = kRowBudgetBytes / sizeof(OneEditCursor);

    static std::uint32_t pos(std::size_t j) { return static_cast<std::uint32_t>(j); }

    void step_hook() {
        recorder_.step();
    }

    // The first child of a node whose edges start at `start` (its children
    // are consecutive).
    std::uint32_t first_child(std::size_t start) const {
        if constexpr (kNodeOrder) {
            return pos(start + 1);
        } else {
            return edges_.child(start);
        }
    }

    // Asks memory for what the step from a node whose edges start at
    // `start` reads: its labels and, with edges in node order, its
    // children's own shifts. Those children are the nodes start + 1 on, so
    // their shifts lie side by side and can be asked for before the labels
    // tell which child it is: both arrive together, and a step waits on one
    // read instead of two (the shifts, then the labels). `last`: the step
    // ends the query, and the child's terminal flag is asked for too.
    void ask_step(std::size_t start, bool last) const {
        __builtin_prefetch(edge_labels_ + start);
        if constexpr (kNodeOrder) {
            __builtin_prefetch(edges_.shifts() + start + 1);
            if (last) {
                __builtin_prefetch(terminal_ + start + 1);
            }
        }
    }
    // The same for a node whose own shifts have come (or are asked for).
    void ask_node(std::uint32_t node, std::size_t j) const {
        if constexpr (kNodeOrder) {
            ask_step(edges_.start(node), j + 1 == n_);
        } else {
            __builtin_prefetch(edges_.shifts() + node);
        }
    }

    // The path's step from its node of depth t (spelling q[0 ... t)) to
    // the child labelled q[t], put on the path; false when there is none
    // (or t is the query's end) and the path stops.
    bool step_path(std::size_t t) {
        if (t >= n_) {
            return false;
        }
        step_hook();
        const QuickStep step = quick_child(edges_, edge_labels_, on_path_[t], query_[t]);
        if (!step.found) {
            return false;
        }
        const std::uint32_t u = step.template child<kNodeOrder>(edges_);
        ask_node(u, t + 1);
        on_path_.push_back(u);
        return true;
    }

    // Asks for the labels of the children of the path's node of depth i,
    // which start_below reads (the root's children are looked up in their
    // label sets instead, when it has them).
    void ask_children(std::size_t i) const {
        if (i == 0 && root_sets_ != nullptr && 2 < n_) {
            return;
        }
        const std::uint32_t v = on_path_[i];
        const std::size_t start = edges_.start(v);
        const std::size_t end = edges_.end(v);
        if (start >= end || i >= n_) {
            return;  // no children, or past the query's end (only v's own labels are read)
        }
        const std::uint32_t first = first_child(start);
        for (std::size_t k = start; k < end; ++k) {
            const std::uint32_t c = first + pos(k - start);
            if constexpr (kNodeOrder) {
                ask_step(edges_.start(c), false);
            } else {
                __builtin_prefetch(edges_.shifts() + c);
            }
        }
    }

    // The edits made at the path's node of depth i: taking out q[i], and
    // those below it (start_below). False past the budget.
    bool start_at(std::size_t i) {
        if (i < n_) {
            start_deletion(i);
        }
        return start_below(i);
    }

    // The deletion of q[i] (i < n; the node spelling q[0 ... i) is on the
    // path), followed from that node.
    void start_deletion(std::size_t i) {
        if (i + 1 < n_ && query_[i] == query_[i + 1]) {
            return;  // the same text as taking out q[i + 1]
        }
        const OneEdit edit{pos(i), 0, OneEdit::kDelete};
        if (i + 1 == n_) {
            if (i > 0) {  // the root spells nothing and is never recorded
                found(on_path_[i], edit);
            }
        } else {
            cursors_.push_back(OneEditCursor{on_path_[i], pos(i + 1), edit});
        }
    }

    // The replacements of q[i] and insertions before it made at the path's
    // node spelling q[0 ... i): each child labelled x other than q[i], with
    // its first step (q[i] after an insertion, q[i + 1] after a
    // replacement) taken at once. False past the budget.
    bool start_below(std::size_t i) {
        const std::uint32_t v = on_path_[i];
        const std::size_t start = edges_.start(v);
        const std::size_t end = edges_.end(v);
        if (start >= end) {
            return true;
        }
        if (cursors_.size() + 2 * (end - start) > kMaxCursors) {
            return false;
        }
        const std::uint32_t first = first_child(start);
        if (i == n_) {
            // Past the query's end only insertions remain, and the child is
            // the whole text.
            for (std::size_t k = start; k < end; ++k) {
                const std::uint8_t x = edge_labels_[k];
                if (entered(x)) {
                    found(first + pos(k - start), OneEdit{pos(i), x, OneEdit::kInsert});
                }
            }
            return true;
        }
        if (i == 0 && root_sets_ != nullptr && 2 < n_) {
            start_at_root(start, end);
            return true;
        }
        if (i + 2 < n_) {
            start_within(i, start, end, first);
            return true;
        }
        const auto here = static_cast<std::uint32_t>(query_[i]);
        const auto next = i + 1 < n_ ? static_cast<std::uint32_t>(query_[i + 1]) : 0U;
        for (std::size_t k = start; k < end; ++k) {
            const std::uint8_t x = edge_labels_[k];
            if (!entered(x) || x == here) {
                continue;  // never entered, or the path itself
            }
            step_hook();
            const std::uint32_t c = first + pos(k - start);
            const OneEdit inserted{pos(i), x, OneEdit::kInsert};
            const OneEdit replaced{pos(i), x, OneEdit::kReplace};
            if (i + 1 == n_) {
                found(c, replaced);
            }
            const std::size_t c_start = edges_.start(c);
            const std::size_t c_end = edges_.end(c);
            if (c_start >= c_end) {
                continue;
            }
            ask_step(c_start, false);
            std::uint32_t after_insert = 0;  // the child's edge + 1 labelled q[i], or 0
            std::uint32_t after_replace = 0;  // and q[i + 1]
            const std::size_t width = c_end - c_start;
            if (width <= 64) {
                // Both looked up in the same labels.
                const std::uint64_t ins = label_mask(edge_labels_ + c_start, width, here);
                const std::uint64_t rep = label_mask(edge_labels_ + c_start, width, next);
                if ((ins | rep) == 0) {
                    continue;
                }
                after_insert = ins != 0 ? pos(std::countr_zero(ins)) + 1 : 0;
                after_replace = rep != 0 ? pos(std::countr_zero(rep)) + 1 : 0;
            } else {
                const std::size_t ki = find_label(edge_labels_, c_start, c_end, here);
                const std::size_t kr = find_label(edge_labels_, c_start, c_end, next);
                after_insert = ki < c_end ? pos(ki - c_start) + 1 : 0;
                after_replace = kr < c_end ? pos(kr - c_start) + 1 : 0;
            }
            const std::uint32_t c_first = first_child(c_start);
            if (after_insert != 0) {
                go_on(c_first + after_insert - 1, i + 1, inserted);
            }
            if (after_replace != 0) {
                go_on(c_first + after_replace - 1, i + 2, replaced);
            }
        }
        return true;
    }

    // Where the two edits made with one child go on: its child labelled
    // q[i] after an insertion, and q[i + 1] after a replacement, each kept
    // only if found.
    struct ChildSteps {
        std::uint32_t after_insert;
        std::uint32_t after_replace;
        bool insert;
        bool replace;
    };

    // start_below's cursors for the children of the node spelling q[0 ...
    // i) (edges [start, end)), where both first steps stay short of the
    // query's end (i + 2 < n): without branches on what the children hold,
    // every child writes both cursors and keeps those that found their
    // child. steps(k, x) looks up the child at edge k, labelled x.
    template <class Steps>
    void start_children(std::size_t i, std::size_t start, std::size_t end, Steps&& steps) {
        std::size_t count = cursors_.size();
        cursors_.resize(count + 2 * (end - start));
        OneEditCursor* const out = cursors_.data();
        recorder_.steps(end - start);
        for (std::size_t k = start; k < end; ++k) {
            const std::uint8_t x = edge_labels_[k];
            const ChildSteps s = steps(k, x);
            out[count] = OneEditCursor{s.after_insert, pos(i + 1), OneEdit{pos(i), x, OneEdit::kInsert}};
            count += s.insert ? 1 : 0;
            out[count] = OneEditCursor{s.after_replace, pos(i + 2), OneEdit{pos(i), x, OneEdit::kReplace}};
            count += s.replace ? 1 : 0;
        }
        cursors_.erase(cursors_.begin() + static_cast<std::ptrdiff_t>(count), cursors_.end());
    }

    // The children of the root (edges [start, end)) when the query has
    // three code points or more, looked up in their label sets.
    void start_at_root(std::size_t start, std::size_t end) {
        const auto here = static_cast<std::uint32_t>(query_[0]);
        const auto next = static_cast<std::uint32_t>(query_[1]);
        const bool here_usable = byte_label(here);
        const bool next_usable = byte_label(next);
        const auto here_byte = static_cast<std::uint8_t>(here);
        const auto next_byte = static_cast<std::uint8_t>(next);
        start_children(0, start, end, [&](std::size_t k, std::uint8_t x) {
            const DerivedIndex::LabelSet& set = root_sets_[k - start];
            // Not the path's own child, nor one never entered.
            const bool other = entered(x) && x != here;
            return ChildSteps{set.child(here_byte), set.child(next_byte), other && here_usable && set.has(here_byte),
                              other && next_usable && set.has(next_byte)};
        });
    }

    // The children of any other node on the path (first child `first`),
    // looked up in their own labels.
    void start_within(std::size_t i, std::size_t start, std::size_t end, std::uint32_t first) {
        const auto here = static_cast<std::uint32_t>(query_[i]);
        const auto next = static_cast<std::uint32_t>(query_[i + 1]);
        start_children(i, start, end, [&](std::size_t k, std::uint8_t x) {
            const std::uint32_t c = first + pos(k - start);
            const std::size_t c_start = edges_.start(c);
            const std::size_t c_end = edges_.end(c);
            const std::size_t width = c_start < c_end ? c_end - c_start : 0;
            // Not the path's own child, nor one never entered.
            const bool other = entered(x) && x != here;
            if constexpr (kNodeOrder) {
                __builtin_prefetch(edges_.shifts() + c_start + 1);  // where both edits go next
            }
            if (width > 64) {
                const std::size_t ki = find_label(edge_labels_, c_start, c_end, here);
                const std::size_t kr = find_label(edge_labels_, c_start, c_end, next);
                const std::uint32_t c_first = first_child(c_start);
                return ChildSteps{c_first + pos(ki - c_start), c_first + pos(kr - c_start), other && ki < c_end,
                                  other && kr < c_end};
            }
            // An empty range may start anywhere: read at 0 instead (some
            // node has children: this one's parent).
            const std::size_t at = width != 0 ? c_start : 0;
            const std::uint64_t mask = other ? ~std::uint64_t{0} : 0;
            const std::uint64_t ins = label_mask(edge_labels_ + at, width, here) & mask;
            const std::uint64_t rep = label_mask(edge_labels_ + at, width, next) & mask;
            const std::uint32_t c_first = first_child(at);
            const std::uint32_t after_insert = c_first + pos(std::countr_zero(ins));
            const std::uint32_t after_replace = c_first + pos(std::countr_zero(rep));
            ask_node(ins != 0 ? after_insert : c, i + 1);
            ask_node(rep != 0 ? after_replace : c, i + 2);
            return ChildSteps{after_insert, after_replace, ins != 0, rep != 0};
        });
    }

    // A node within one edit: kept for record(), and its record's reads
    // asked for while the walk goes on.
    void found(std::uint32_t node, OneEdit edit) {
        recorder_.ask(node, 0);
        found_.push_back(OneEditFound{node, edit});
    }

    // The edit reached `node`, having matched the query up to position j.
    void go_on(std::uint32_t node, std::size_t j, OneEdit edit) {
        if (j == n_) {
            found(node, edit);
        } else {
            ask_node(node, j);
            cursors_.push_back(OneEditCursor{node, pos(j), edit});
        }
    }

    // Steps every cursor once along its rest of the query: those that
    // arrive are found, those that find no child end, and the others stay.
    void follow_once() {
        const std::size_t live = cursors_.size();
        {
            OneEditCursor* const cursors = cursors_.data();
            std::size_t kept = 0;
            recorder_.steps(live);
            for (std::size_t i = 0; i < live; ++i) {
                const OneEditCursor cur = cursors[i];
                // Most edits die within a step or two, so unlike the sealed
                // walk's branch-free step (quick_child) a cursor that finds
                // nothing leaves before its child's edge is read: the
                // branch-free form measured some 3,000 more instructions a
                // query at max_dist 1 on the word list.
                const std::size_t start = edges_.start(cur.node);
                const std::size_t end = edges_.end(cur.node);
                const auto want = static_cast<std::uint32_t>(query_[cur.j]);
                const std::size_t width = start < end ? end - start : 0;
                std::uint32_t child = 0;
                if (width <= 16) {
                    // An empty range may start anywhere: read at 0 instead
                    // (some node has children, or there would be no cursor).
                    const std::size_t at = width != 0 ? start : 0;
                    const std::uint64_t found = label_mask(edge_labels_ + at, width, want);
                    if (found == 0) {
                        continue;
                    }
                    child = first_child(at) + pos(std::countr_zero(found));
                } else {
                    const std::size_t k = find_label(edge_labels_, start, end, want);
                    if (k >= end) {
                        continue;
                    }
                    child = first_child(start) + pos(k - start);
                }
                if (cur.j + 1 == n_) {
                    __builtin_prefetch(terminal_ + child);  // the reporter's first question
                    found(child, cur.edit);
                    continue;
                }
                ask_node(child, cur.j + 1);
                cursors[kept++] = OneEditCursor{child, cur.j + 1, cur.edit};
            }
            cursors_.erase(cursors_.begin() + static_cast<std::ptrdiff_t>(kept), cursors_.end());
        }
    }

    // The length of the text an edit spells, and its code point at p.
    std::size_t length(const OneEdit& e) const {
        switch (e.kind) {
            case OneEdit::kInsert: return n_ + 1;
            case OneEdit::kDelete: return n_ - 1;
            default: return n_;
        }
    }
    std::uint32_t code_point(const OneEdit& e, std::size_t p) const {
        if (p < e.at) {
            return query_[p];
        }
        switch (e.kind) {
            case OneEdit::kReplace: return p == e.at ? e.label : query_[p];
            case OneEdit::kInsert: return p == e.at ? e.label : query_[p - 1];
            case OneEdit::kDelete: return query_[p + 1];
            default: return query_[p];
        }
    }

    // Whether a's text comes before b's: by code point, a prefix first. With
    // children in label order this is the walk's (depth-first) order.
    bool before(const OneEdit& a, const OneEdit& b) const {
        const std::size_t la = length(a);
        const std::size_t lb = length(b);
        const std::size_t common = std::min(la, lb);
        for (std::size_t p = std::min(a.at, b.at); p < common; ++p) {
            const std::uint32_t x = code_point(a, p);
            const std::uint32_t y = code_point(b, p);
            if (x != y) {
                return x < y;
            }
        }
        return la < lb;
    }

    // The found nodes the reporter takes, in walk order, up to the limit.
    void record() {
        std::size_t kept = 0;
        for (const OneEditFound& f : found_) {
            if (recorder_.accepts(f.node)) {
                found_[kept++] = f;
            }
        }
        found_.resize(kept);
        for (const OneEditFound& f : found_) {
            recorder_.ask(f.node, 1);  // overlaps the sort
        }
        std::sort(found_.begin(), found_.end(),
                  [this](const OneEditFound& a, const OneEditFound& b) { return before(a.edit, b.edit); });
        for (const OneEditFound& f : found_) {
            recorder_.ask(f.node, 2);
        }
        for (const OneEditFound& f : found_) {
            const OneEdit& e = f.edit;
            const std::uint32_t distance = e.kind == OneEdit::kSame ? 0 : 1;
            std::span<const char32_t> spelled;
            if constexpr (Reporter::kSpellsPath) {
                const std::size_t len = length(e);
                for (std::size_t p = 0; p < len; ++p) {
                    path_.put(p + 1, static_cast<char32_t>(code_point(e, p)));
                }
                spelled = path_.spelled(len);
            }
            if (recorder_.record(f.node, distance, spelled)) {
                return;
            }
        }
    }

    Recorder<Reporter>& recorder_;
    const char32_t* query_;
    std::size_t n_;
    const DirectEdges edges_;
    const std::uint8_t* terminal_;  // is_terminal, for prefetches of the found nodes
    const std::uint8_t* edge_labels_;
    const DerivedIndex::LabelSet* root_sets_;  // DerivedIndex::root_child_sets(), or null
    std::vector<std::uint32_t>& on_path_;  // on_path_[i] spells q[0 ... i)
    std::vector<OneEditCursor>& cursors_;
    std::vector<OneEditFound>& found_;
    LabelPath path_;
};

template <class Reporter>
class OneEditWalk {
public:
    OneEditWalk(const SearchIndex& index, std::u32string_view query, Recorder<Reporter>& recorder,
                SealedScratch& scratch)
        : index_(index), query_(query), recorder_(recorder), scratch_(scratch) {}

    // Records the nodes within one edit, in walk order, until `limit` are
    // recorded. False, having recorded nothing, when the query is too long
    // for 32-bit positions or the edits to follow would pass the budget: the
    // caller then walks it another way.
    bool run() {
        if (index_.derived().edges_in_node_order()) {
            return OneEditSteps<Reporter, true>(index_, query_, recorder_, scratch_).run();
        }
        return OneEditSteps<Reporter, false>(index_, query_, recorder_, scratch_).run();
    }

private:
    const SearchIndex& index_;
    std::u32string_view query_;
    Recorder<Reporter>& recorder_;
    SealedScratch& scratch_;
};

}  // namespace quillmesh::walk
