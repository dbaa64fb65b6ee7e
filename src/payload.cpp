#include "payload.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "failures.hpp"

namespace quillmesh {

namespace {

constexpr std::uint64_t kCountMax = std::numeric_limits<std::uint32_t>::max();

// Appends (video, count) pairs of one payload; a counts list shorter than its
// ids list is an inconsistent payload and fails like any out-of-range read.
void append_pairs(const Payload& p, std::vector<std::pair<std::uint32_t, std::uint64_t>>& out) {
    if (p.video_counts.size() < p.video_ids.size()) {
        throw IndexOutOfBounds(p.video_counts.size(), p.video_counts.size());
    }
    for (std::size_t i = 0; i < p.video_ids.size(); ++i) {
        out.emplace_back(p.video_ids[i], p.video_counts[i]);
    }
}

}  // namespace

// Sort-based on purpose: propagation has its own accumulator, and this plain
// version is the one the two are checked against.
void Payload::merge_from(const Payload& other) {
    total_count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{total_count} + other.total_count, kCountMax));

    std::vector<std::pair<std::uint32_t, std::uint64_t>> pairs;
    pairs.reserve(video_ids.size() + other.video_ids.size());
    append_pairs(*this, pairs);
    append_pairs(other, pairs);

    // Sum per video, in 64 bits.
    std::sort(pairs.begin(), pairs.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (distinct > 0 && pairs[distinct - 1].first == pairs[i].first) {
            pairs[distinct - 1].second += pairs[i].second;
        } else {
            pairs[distinct++] = pairs[i];
        }
    }
    pairs.resize(distinct);

    // Largest merged count first, by the 64-bit sum even where the stored
    // count saturates; equal sums by ascending video number, so the result
    // does not depend on the order of either input. A later merge starts
    // from the stored (saturated) counts, so merging in steps is not the
    // same as summing once.
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });

    std::vector<std::uint32_t> ids(pairs.size());
    std::vector<std::uint32_t> counts(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        ids[i] = pairs[i].first;
        counts[i] = static_cast<std::uint32_t>(std::min(pairs[i].second, kCountMax));
    }
    video_ids = std::move(ids);
    video_counts = std::move(counts);
}

}  // namespace quillmesh
