#include "prefix/build.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "failures.hpp"

namespace quillmesh {

void check_lengths(std::size_t node_shifts_len, std::size_t child_labels_len, std::size_t payloads_len) {
    if (node_shifts_len != child_labels_len) {
        throw BuildError(BuildError::Kind::Value, "node_shifts len " + std::to_string(node_shifts_len) +
                                                      " != child_labels len " + std::to_string(child_labels_len));
    }
    if (payloads_len != child_labels_len) {
        throw BuildError(BuildError::Kind::Value, "payloads len " + std::to_string(payloads_len) +
                                                      " != child_labels len " + std::to_string(child_labels_len));
    }
}

void check_edge_targets(std::span<const std::uint32_t> child_transitions, std::size_t node_count) {
    for (std::size_t j = 0; j < child_transitions.size(); ++j) {
        if (child_transitions[j] >= node_count) {
            throw BuildError(BuildError::Kind::Value,
                             "child_transitions[" + std::to_string(j) + "] = " +
                                 std::to_string(child_transitions[j]) + " out of range [0.." +
                                 std::to_string(node_count) + ")");
        }
    }
}

void check_payload_lists(std::size_t video_ids, std::size_t video_counts) {
    if (video_ids != video_counts) {
        throw BuildError(BuildError::Kind::Value, "video_ids and video_counts length mismatch");
    }
}

Payload make_payload(std::uint32_t total_count, std::vector<std::uint32_t>&& video_ids,
                     std::vector<std::uint32_t>&& video_counts) {
    check_payload_lists(video_ids.size(), video_counts.size());
    return Payload{total_count, std::move(video_ids), std::move(video_counts)};
}

void assign_video_table(Trie& trie, std::span<const std::uint8_t> bytes, std::span<const std::size_t> widths) {
    trie.video_uuids.clear();
    trie.video_int_ids.clear();
    trie.id_mode = IdMode::Uuid;
    const auto all_of_width = [&](std::size_t w) {
        return std::all_of(widths.begin(), widths.end(), [w](std::size_t x) { return x == w; });
    };
    if (all_of_width(16)) {
        if (bytes.size() != 16 * widths.size()) {
            throw std::logic_error("identifier bytes do not match their widths");
        }
        trie.video_uuids.resize(widths.size());
        for (std::size_t i = 0; i < widths.size(); ++i) {
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(16 * i), 16, trie.video_uuids[i].begin());
        }
        return;
    }
    if (all_of_width(4)) {
        if (bytes.size() != 4 * widths.size()) {
            throw std::logic_error("identifier bytes do not match their widths");
        }
        trie.id_mode = IdMode::Int32;
        trie.video_int_ids.resize(widths.size());
        for (std::size_t i = 0; i < widths.size(); ++i) {
            const std::uint8_t* b = bytes.data() + 4 * i;
            trie.video_int_ids[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                    std::uint32_t{b[3]} << 24;
        }
        return;
    }
    throw BuildError(BuildError::Kind::Value,
                     "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)");
}

}  // namespace quillmesh
