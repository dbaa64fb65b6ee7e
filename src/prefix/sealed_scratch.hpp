// The sealed walk's working storage (sealed_walk.hpp): what waits, what is
// followed, what is found, and the per-thread store that keeps it between
// walks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kept_room.hpp"

namespace quillmesh::walk {

// What one waiting child and one frame of the sealed walk hold (see SealedWalk).
struct SealedWaiting {
    // Left unset: the walk makes room for a node's children with resize()
    // and writes each entry before it reads it.
    SealedWaiting() {}  // NOLINT(modernize-use-equals-default): = default would zero them in resize()
    SealedWaiting(std::uint32_t node_, char32_t label_, std::uint32_t low_, std::uint32_t last_, std::size_t row_,
                  std::uint64_t alive_)
        : node(node_), label(label_), low(low_), last(last_), row(row_), alive(alive_) {}

    std::uint32_t node;
    char32_t label;
    std::uint32_t low;    // its row's minimum
    std::uint32_t last;   // its distance to the whole query, or bound + 1
    // Offset of its row in the cells (or levels); for a masked entry of a
    // trie with sorted children, its first record in the arrivals instead.
    std::size_t row;
    // A masked spent node's cells (see SealedWalk); with sorted children, once
    // the frame is resolved, the number of its records in the arrivals.
    std::uint64_t alive;
};
struct SealedFrame {
    std::size_t first;  // its waiting children: waiting[first, end)
    std::size_t next;
    std::size_t end;
    std::size_t depth;  // of those children
    std::size_t mark;   // cells in use before its rows
    std::size_t arrivals;  // records below its masked children: arrivals from here on
};

// A record found below a spent node by following query code points j ... n - 1
// (see resolve_spent): its node, the waiting entry it lies below (by its
// place in the frame), j, and where the edge positions of its path begin
// (only when they are needed).
struct SealedArrival {
    std::uint32_t node;
    std::uint32_t entry;
    std::size_t j;
    std::size_t first_turn;
};
// One cell of a spent node being followed along the query.
// (Query positions fit in 32 bits: longer queries take the checked walk.)
struct SealedCursor {
    std::uint32_t node;   // reached so far
    std::uint32_t entry;  // the waiting entry it started from, by its place in the frame
    std::uint32_t j;      // the next query code point to match
    std::uint32_t j0;     // the cell it started as
    std::uint32_t start;  // node's edges
    std::uint32_t end;
};

// One edit of the query, as the one-edit walk (one_edit_walk.hpp) finds the
// nodes it leads to: the node spells the query with the code point at `at`
// replaced by `label` (kReplace), with `label` put before it (kInsert; at the
// query's length, after its end), or without it (kDelete); kSame is the
// query itself (`at` is then its length).
struct OneEdit {
    enum Kind : std::uint8_t { kSame, kReplace, kInsert, kDelete };
    std::uint32_t at;
    std::uint8_t label;  // one byte: the walk runs on one-byte labels only
    Kind kind;
};
// A node reached by an edit whose rest of the query is being followed from
// position j on; and a node found at the query's end.
struct OneEditCursor {
    // Left unset, as SealedWaiting: the walk makes room with resize().
    OneEditCursor() {}  // NOLINT(modernize-use-equals-default)
    OneEditCursor(std::uint32_t node_, std::uint32_t j_, OneEdit edit_) : node(node_), j(j_), edit(edit_) {}

    std::uint32_t node;
    std::uint32_t j;
    OneEdit edit;
};
struct OneEditFound {
    std::uint32_t node;
    OneEdit edit;
};

// The sealed walk's working storage. A query of a few microseconds would
// otherwise spend a good part of them allocating it, so each thread keeps one
// for its walks (ScratchLease), holding at most kKeptBytes per list between
// them: a walk that needed more gives the rest back when it ends.
struct SealedScratch {
    std::vector<std::uint64_t> levels;
    std::vector<SealedWaiting> waiting;
    std::vector<SealedFrame> frames;
    std::vector<char32_t> path;
    std::vector<SealedArrival> arrivals;
    std::vector<SealedCursor> cursors;
    std::vector<std::uint32_t> turns;
    std::vector<std::uint32_t> on_path;  // the one-edit walk's: nodes spelling the query's prefixes
    std::vector<OneEditCursor> edit_cursors;
    std::vector<OneEditFound> found;

    void trim() {
        waiting.clear();
        frames.clear();
        arrivals.clear();
        give_back_room(levels);
        give_back_room(waiting);
        give_back_room(frames);
        give_back_room(path);
        give_back_room(arrivals);
        give_back_room(cursors);
        give_back_room(turns);
        give_back_room(on_path);
        give_back_room(edit_cursors);
        give_back_room(found);
    }
};

// Lends the thread's scratch for one walk (or a fresh one if it is lent).
using ScratchLease = RoomLease<SealedScratch>;

}  // namespace quillmesh::walk
