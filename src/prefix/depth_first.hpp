// The depth-first follower: the walk order that every engine's records
// follow, written once. It goes from the root, children in edge order, never
// into an unlabelled child, keeps the label path, and hands what it finds to
// the recorder, which counts the limit. How a row steps along an edge and
// whether a subtree is cut is the row strategy's; how edges are read is the
// edge reader's (edges.hpp).
//
// The engines that read a checked index in batches (sealed_walk.hpp,
// one_edit_walk.hpp) keep loops of their own, since trying a node's children
// all at once is what lets their reads overlap; they share these rules
// (edges.hpp, label_search.hpp, recorder.hpp) and give the records of this
// walk, in its order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "prefix/edges.hpp"
#include "prefix/recorder.hpp"

namespace quillmesh::walk {

// Walks the index from the root with `rows` as the row strategy and `edges`
// as the edge reader, recording each node within `bound` that the reporter
// takes, until the recorder's limit is reached.
//
// Edges (CheckedEdges, DirectEdges): children(v) -> EdgeRange, child(k),
// label(c). With CheckedEdges the reads come in the order node_shifts[v],
// then for each edge k child_transitions[k], child_labels[c], is_terminal[c]
// (only when c's whole path is within the bound of the whole query, and only
// if the reporter asks), then node_shifts[c] on entering c.
//
// Rows (BandedRows), rows held in slots, one per frame of the stack:
//   step(slot, depth, label)  the row of a child labelled `label` at depth + 1,
//                             into slot + 1; returns its minimum (a child whose
//                             minimum exceeds the bound is cut, with its
//                             subtree: minima never shrink with depth)
//   last()                    that child's distance to the whole query
//   replace(slot)             the row in slot + 1 takes the place of slot's
//   collect(slot, depth)      for a row whose minimum is the bound (spent),
//   admits(slot, label)       the labels a child needs to stay within it
//
// The stack is the walk's own (the depth is bounded by the term length plus
// the bound, both in the caller's hands). A node entered through its
// parent's last edge takes the parent's frame and row slot, since nothing is
// left to come back to: a long chain costs two rows, not one per level. A
// limit of 0 and a trie without nodes are the callers' business. The reporter
// may also have on_edges(count), told of every examined edge (a child
// entered by the rule): a statistics hook that costs nothing when absent.
template <class Edges, class Rows, class Reporter>
void follow_depth_first(const Edges& edges, Rows& rows, std::uint32_t bound, Recorder<Reporter>& recorder) {
    struct Frame {
        std::size_t next;   // next edge position to try
        std::size_t end;
        std::size_t depth;  // of the node whose edges these are
        bool spent;         // its row's minimum is the bound
    };
    std::vector<Frame> stack;
    stack.reserve(64);
    std::vector<char32_t> path_room;
    LabelPath path(path_room);

    const EdgeRange root = edges.children(0);
    stack.push_back(Frame{root.start, root.end, 0, bound == 0});
    while (!stack.empty()) {
        const std::size_t slot = stack.size() - 1;
        Frame& top = stack.back();
        if (top.next >= top.end) {
            stack.pop_back();
            continue;
        }
        const std::size_t depth = top.depth;
        const std::size_t k = top.next++;
        const std::uint32_t child = edges.child(k);
        const char32_t label = edges.label(child);
        if (!entered(label)) {
            continue;
        }
        if constexpr (requires { recorder.reporter().on_edges(std::size_t{}); }) {
            recorder.reporter().on_edges(1);
        }
        if (top.spent && !rows.admits(slot, label)) {
            continue;
        }
        recorder.step();
        const std::uint32_t low = rows.step(slot, depth, label);
        if (low > bound) {
            continue;
        }
        if constexpr (Reporter::kSpellsPath) {
            path.put(depth + 1, label);
        }
        const std::uint32_t distance = rows.last();
        if (distance <= bound &&
            recorder.note(child, distance,
                          Reporter::kSpellsPath ? path.spelled(depth + 1) : std::span<const char32_t>())) {
            return;
        }
        const EdgeRange range = edges.children(child);
        std::size_t child_slot = slot + 1;
        if (top.next >= top.end) {
            rows.replace(slot);
            child_slot = slot;
            top = Frame{range.start, range.end, depth + 1, low == bound};
        } else {
            stack.push_back(Frame{range.start, range.end, depth + 1, low == bound});
        }
        if (low == bound && !range.empty()) {
            rows.collect(child_slot, depth + 1);
        }
    }
}

}  // namespace quillmesh::walk
