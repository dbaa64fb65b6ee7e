// Payload: the video statistics attached to one trie node.
#pragma once

#include <cstdint>
#include <vector>

namespace quillmesh {

struct Payload {
    // A count for the node as a whole; merging saturates at 4294967295.
    std::uint32_t total_count = 0;
    // Video numbers: positions in the index's identifier table.
    std::vector<std::uint32_t> video_ids;
    // Parallel to video_ids: the count of each listed video at this node.
    std::vector<std::uint32_t> video_counts;

    // Absorbs `other`: total_count summed (saturating), counts summed per video
    // in 64 bits, ordered by that sum, largest first, equal sums by ascending
    // video number, and stored saturated at 4294967295.
    void merge_from(const Payload& other);

    bool operator==(const Payload&) const = default;
};

}  // namespace quillmesh
