// The band of a row held as bit masks, one per distance: the form the banded
// walk computes rows in while the band fits in 64 bits.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "prefix/label_search.hpp"  // the vector variant compiled in

namespace quillmesh::walk {

// For a row at depth d (cells (d, j), see Band), level e is the set of cells
// whose value is at most e, for e = 0 ... bound, with bit i standing for
// cell j = d - bound + i (the same bits as a spent node's mask). A row is
// bound + 1 words; the levels grow with e, so the row minimum is the number
// of empty levels, and the child's levels follow from the parent's with a
// few word operations and no loop over the cells:
//
//   cell (d + 1, j) <= e  when  (d, j - 1) <= e and label = q[j - 1]   same bit
//                           or  (d, j - 1) <= e - 1  (substitution)    same bit
//                           or  (d, j)     <= e - 1  (deletion)        one bit down
//                           or  (d + 1, j - 1) <= e - 1  (insertion)   one bit up
//
// These are the bit-parallel rows of Wu and Manber 1992 (one word per number
// of errors, "Fast text searching allowing errors"), laid over the band.
// Needs 2 * bound + 1 <= 64.
class Levels {
public:
    static constexpr std::size_t kMaxWidth = 64;
    // Whether the band of `bound` fits the levels' words.
    static constexpr bool fits(std::uint32_t bound) { return 2 * std::size_t{bound} + 1 <= kMaxWidth; }

    Levels(std::u32string_view query, std::uint32_t bound) : query_(query), n_(query.size()), bound_(bound) {}

    std::size_t stride() const { return std::size_t{bound_} + 1; }

    // Writes the root's levels (depth 0: cell j is j).
    void root(std::uint64_t* out) const {
        for (std::size_t e = 0; e <= bound_; ++e) {
            const std::size_t top = std::min(n_, e);  // cells 0 ... top
            out[e] = (top + 1 >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (top + 1)) - 1) << bound_;
        }
    }

    // What the children of a node at `depth` share: the query code points
    // under their band, which cells exist, and which one is cell n.
    struct Step {
        alignas(16) std::uint32_t window[kMaxWidth];  // q[j - 1] for bit i, or kNone
        std::size_t groups;                            // of four window entries
        std::uint64_t valid;                           // cells 0 ... n
        std::uint32_t end_bit;                         // bit of cell n, if end_in_band
        bool end_in_band;
    };

    void geometry(std::size_t depth, Step& g) const {
        const std::size_t width = 2 * std::size_t{bound_} + 1;
        g.groups = (width + 3) / 4;
        const std::size_t e = depth + 1;
        // Bit i of the child is cell j = e - bound + i, matched against
        // q[j - 1] = q[depth - bound + i].
        const auto code_point = [&](std::size_t i) {
            const std::size_t p = depth + i;  // depth - bound + i, offset by bound
            return i < width && p >= bound_ && p - bound_ < n_ ? static_cast<std::uint32_t>(query_[p - bound_]) : kNone;
        };
        for (std::size_t i = 0; i < 4 * g.groups; i += 4) {
#if defined(QUILLMESH_SIMD_SSE2)
            // Whole groups: matches() reads them sixteen bytes at a time,
            // which narrower stores just before would hold up.
            _mm_store_si128(reinterpret_cast<__m128i*>(g.window + i),
                            _mm_set_epi32(static_cast<int>(code_point(i + 3)), static_cast<int>(code_point(i + 2)),
                                          static_cast<int>(code_point(i + 1)), static_cast<int>(code_point(i))));
#else
            for (std::size_t k = i; k < i + 4; ++k) {
                g.window[k] = code_point(k);
            }
#endif
        }
        // Cells 0 ... n of depth e: bits bound - e ... n + bound - e.
        const std::size_t lo = e >= bound_ ? 0 : bound_ - e;
        if (n_ + bound_ < e) {
            g.valid = 0;
            g.end_in_band = false;
            g.end_bit = 0;
            return;
        }
        const std::size_t hi = std::min(width - 1, n_ + bound_ - e);
        const std::size_t span = hi - lo + 1;
        g.valid = (span >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << span) - 1) << lo;
        g.end_in_band = n_ + bound_ - e < width;
        g.end_bit = static_cast<std::uint32_t>(g.end_in_band ? n_ + bound_ - e : 0);
    }

    // Computes into `cur` the levels of a child labelled `label` from its
    // parent's levels `prev` (g = geometry(parent's depth)). Returns the row
    // minimum (bound + 1 when nothing is within the bound) and sets `last` to
    // the distance to the whole query, or bound + 1 if that exceeds the bound.
    std::uint32_t step(const std::uint64_t* prev, std::uint64_t* cur, const Step& g, char32_t label,
                       std::uint32_t& last) const {
        switch (bound_) {
            case 1:
                return step_to<1>(prev, cur, g, label, last);
            case 2:
                return step_to<2>(prev, cur, g, label, last);
            default:
                return step_to<0>(prev, cur, g, label, last);
        }
    }

private:
    // step() with the bound known when it is not 0 (the loop unrolled), else
    // read from bound_.
    template <std::uint32_t kBound>
    std::uint32_t step_to(const std::uint64_t* prev, std::uint64_t* cur, const Step& g, char32_t label,
                          std::uint32_t& last) const {
        const std::uint32_t bound = kBound != 0 ? kBound : bound_;
        const std::uint64_t eq = matches(g, label);
        const std::uint64_t valid = g.valid;
        const std::uint32_t shift = g.end_bit;
        std::uint64_t below = 0;      // the parent's level e - 1
        std::uint64_t below_new = 0;  // the child's level e - 1
        std::uint32_t empty = 0;
        std::uint32_t misses = 0;
        for (std::size_t e = 0; e <= bound; ++e) {
            const std::uint64_t up = prev[e];
            const std::uint64_t x = ((up & eq) | below | (below >> 1) | (below_new << 1)) & valid;
            cur[e] = x;
            below = up;
            below_new = x;
            empty += x == 0 ? 1u : 0u;
            misses += static_cast<std::uint32_t>(((x >> shift) & 1u) ^ 1u);
        }
        last = g.end_in_band ? misses : bound + 1;
        return empty;
    }

    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;  // no code point is this

    // The bits whose query code point is `label`.
    static std::uint64_t matches(const Step& g, char32_t label) {
#if defined(QUILLMESH_SIMD_SSE2)
        const __m128i wanted = _mm_set1_epi32(static_cast<int>(label));
        std::uint64_t eq = 0;
        for (std::size_t k = 0; k < g.groups; ++k) {
            const __m128i chunk = _mm_load_si128(reinterpret_cast<const __m128i*>(g.window + 4 * k));
            const auto hits = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(chunk, wanted))));
            eq |= std::uint64_t{hits} << (4 * k);
        }
        return eq;
#else
        std::uint64_t eq = 0;
        for (std::size_t i = 0; i < 4 * g.groups; ++i) {
            eq |= std::uint64_t{g.window[i] == static_cast<std::uint32_t>(label)} << i;
        }
        return eq;
#endif
    }

    std::u32string_view query_;
    std::size_t n_;
    std::uint32_t bound_;
};

}  // namespace quillmesh::walk
