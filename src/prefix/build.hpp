// The checks and conversions of building a Trie from the caller's flat arrays
// that need no Python: lengths, edge targets, payload lists, identifier table.
// Each throws BuildError with the message the caller sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "payload.hpp"
#include "prefix/trie.hpp"

namespace quillmesh {

// node_shifts and payloads must have one entry per label.
void check_lengths(std::size_t node_shifts_len, std::size_t child_labels_len, std::size_t payloads_len);

// Every edge must name an existing node; the first that does not is reported.
void check_edge_targets(std::span<const std::uint32_t> child_transitions, std::size_t node_count);

// A payload's two lists must be equally long.
void check_payload_lists(std::size_t video_ids, std::size_t video_counts);

// A payload from its three converted positions.
Payload make_payload(std::uint32_t total_count, std::vector<std::uint32_t>&& video_ids,
                     std::vector<std::uint32_t>&& video_counts);

// Fills id_mode and the video table from the identifier entries, given back to
// back in `bytes` with entry i `widths[i]` bytes long: all 16 bytes -> Uuid, all
// 4 bytes -> Int32 (little-endian), no entries -> Uuid with both tables empty.
void assign_video_table(Trie& trie, std::span<const std::uint8_t> bytes, std::span<const std::size_t> widths);

}  // namespace quillmesh
