// Looking a label up among a node's children by the one-byte edge labels of a
// checked index (DerivedIndex::edge_labels): the one home of the lookup, with
// its vector variants behind the same two functions.
//
// The variant is chosen when the core is compiled: SSE2 on x86-64, NEON on
// aarch64, else the portable loop; QUILLMESH_SIMD_NONE (meson -Dsimd=none)
// forces the portable loop everywhere. Every variant gives the same answer
// for every input; the portable one is also compiled in always, under its
// own name, so that a test can hold each variant against it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(QUILLMESH_SIMD_NONE) && defined(__SSE2__)
#define QUILLMESH_SIMD_SSE2 1
#include <emmintrin.h>
#elif !defined(QUILLMESH_SIMD_NONE) && defined(__ARM_NEON) && defined(__aarch64__)
#define QUILLMESH_SIMD_NEON 1
#include <arm_neon.h>
#endif

namespace quillmesh::walk {

// Whether `want` can be the label of an entered child in one byte: U+0000 is
// never entered, and no one byte holds a code point past U+00FF.
inline bool byte_label(std::uint32_t want) { return want - 1 < 0xFF; }

// The name of the variant compiled in, for tests and benchmarks.
inline const char* label_search_variant() {
#if defined(QUILLMESH_SIMD_SSE2)
    return "sse2";
#elif defined(QUILLMESH_SIMD_NEON)
    return "neon";
#else
    return "scalar";
#endif
}

// The portable form of label_mask() (below).
inline std::uint64_t label_mask_scalar(const std::uint8_t* labels, std::size_t width, std::uint32_t want) {
    if (!byte_label(want)) {
        return 0;
    }
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < width; ++k) {
        mask |= std::uint64_t{labels[k] == want} << k;
    }
    return mask;
}

// The labels equal to `want` among the `width` (at most 64) labels from
// `labels` on: bit k for labels[k]. None for a `want` that is not a byte
// label. The vector variants read whole groups of sixteen, at least one, so
// the labels must be followed by DerivedIndex::kEdgeLabelPadding readable
// bytes (a caller with width 0 may pass any readable edge label).
inline std::uint64_t label_mask(const std::uint8_t* labels, std::size_t width, std::uint32_t want) {
#if defined(QUILLMESH_SIMD_SSE2)
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(want));
    std::uint64_t mask = 0;
    std::size_t at = 0;
    do {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(labels + at));
        mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, wanted)))} << at;
        at += 16;
    } while (at < width);
    const std::uint64_t usable = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    return byte_label(want) ? mask & usable : 0;
#elif defined(QUILLMESH_SIMD_NEON)
    // Each equal byte keeps its own bit of a byte, and the eight bytes of
    // each half are summed into one.
    static constexpr std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bits = vld1q_u8(kBits);
    const uint8x16_t wanted = vdupq_n_u8(static_cast<std::uint8_t>(want));
    std::uint64_t mask = 0;
    std::size_t at = 0;
    do {
        const uint8x16_t eq = vandq_u8(vceqq_u8(vld1q_u8(labels + at), wanted), bits);
        const std::uint64_t low = vaddv_u8(vget_low_u8(eq));
        const std::uint64_t high = vaddv_u8(vget_high_u8(eq));
        mask |= (low | (high << 8)) << at;
        at += 16;
    } while (at < width);
    const std::uint64_t usable = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    return byte_label(want) ? mask & usable : 0;
#else
    return label_mask_scalar(labels, width, want);
#endif
}

// The portable form of find_label() (below).
inline std::size_t find_label_scalar(const std::uint8_t* edge_labels, std::size_t start, std::size_t end,
                                     std::uint32_t want) {
    if (!byte_label(want) || start >= end) {
        return end;
    }
    const void* at = std::memchr(edge_labels + start, static_cast<int>(want), end - start);
    return at == nullptr ? end : static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - edge_labels);
}

// Among the edges [start, end) of one node, whose labels are distinct: the
// position of the one labelled `want`, or end (always end for a `want` that
// is not a byte label, U+0000 included). The labels are followed by
// DerivedIndex::kEdgeLabelPadding bytes, so a search may read past `end`.
inline std::size_t find_label(const std::uint8_t* edge_labels, std::size_t start, std::size_t end,
                              std::uint32_t want) {
#if defined(QUILLMESH_SIMD_SSE2) || defined(QUILLMESH_SIMD_NEON)
    if (!byte_label(want)) {
        return end;
    }
    for (std::size_t k = start; k < end; k += 16) {
        const std::uint64_t hits = label_mask(edge_labels + k, std::min<std::size_t>(end - k, 16), want);
        if (hits != 0) {
            return k + static_cast<std::size_t>(std::countr_zero(hits));
        }
    }
    return end;
#else
    return find_label_scalar(edge_labels, start, end, want);
#endif
}

}  // namespace quillmesh::walk
