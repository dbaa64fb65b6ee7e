// Looking a label up among a node's children by the one-byte edge labels of a
// sealed trie (Trie::edge_labels), sixteen labels at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmesh::walk {

// Whether `want` can be the label of an entered child in one byte: U+0000 is
// never entered, and no one byte holds a code point past U+00FF.
inline bool byte_label(std::uint32_t want) { return want - 1 < 0xFF; }

// Among the edges [start, end) of one node, whose labels are distinct: the
// position of the one labelled `want`, or end. The labels are followed by
// Trie::kEdgeLabelPadding bytes, so a search may read past `end`.
inline std::size_t find_label(const std::uint8_t* edge_labels, std::size_t start, std::size_t end,
                              std::uint32_t want) {
    if (want > 0xFF) {
        return end;
    }
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(want));
    for (std::size_t k = start; k < end; k += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(edge_labels + k));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, wanted)));
        if (hits != 0) {
            const std::size_t at = k + static_cast<std::size_t>(std::countr_zero(hits));
            return at < end ? at : end;
        }
    }
    return end;
#else
    if (start >= end) {
        return end;
    }
    const void* at = std::memchr(edge_labels + start, static_cast<int>(want), end - start);
    return at == nullptr ? end : static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - edge_labels);
#endif
}

}  // namespace quillmesh::walk
