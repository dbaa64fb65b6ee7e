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
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "failures.hpp"
#include "payload.hpp"

namespace quillmesh {

enum class IdMode : std::uint32_t { Uuid = 0, Int32 = 1 };

using Uuid = std::array<std::uint8_t, 16>;

// Positions [start, end) of child_transitions holding one node's children.
struct EdgeRange {
    std::size_t start = 0;
    std::size_t end = 0;
    bool empty() const { return start >= end; }
};

struct Trie {
    std::vector<std::uint32_t> node_shifts;
    std::vector<char32_t> child_labels;  // U+0000: the node has no label
    std::vector<std::uint32_t> child_transitions;
    std::vector<std::optional<Payload>> payloads;
    std::vector<Uuid> video_uuids;
    std::vector<std::uint32_t> video_int_ids;
    IdMode id_mode = IdMode::Uuid;
    std::vector<std::uint8_t> is_terminal;  // 0 or 1 per node

    std::size_t node_count() const { return child_labels.size(); }

    // The children rule, written once: start = node_shifts[n]; end =
    // node_shifts[n + 1] for all but the last entry of node_shifts, else the
    // length of child_transitions. start >= end means a leaf. Reading
    // node_shifts[n] is checked; the children themselves are read by the
    // caller through at(child_transitions, k).
    EdgeRange children(std::size_t n) const {
        EdgeRange r;
        r.start = at(node_shifts, n);
        r.end = n + 1 < node_shifts.size() ? node_shifts[n + 1] : child_transitions.size();
        return r;
    }

    // Merges every node's children's payloads into it, bottom-up by descending
    // node index, and cuts each node's lists to video_top_n. Fills absent
    // payloads with empty ones first.
    void propagate(std::uint32_t video_top_n);

    bool operator==(const Trie&) const = default;
};

}  // namespace quillmesh
