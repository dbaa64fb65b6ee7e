// LSD radix sort (least significant digit first): items in the order of an
// unsigned key, kBits of it a pass over kDigits digits, each pass a stable
// scatter by one digit, so that after the last the items are in key order
// and items of one key keep their order. A pass whose digit every item
// shares is skipped. For many items whose keys take few digits, where it
// beats comparisons.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quillmesh {

// Sorts items[0, n) by key(item). `scratch` has room for n items and
// `counts` for kDigits << kBits counters (the caller's, so that a small
// radix can keep them on its stack and a large one off it).
template <unsigned kBits, std::size_t kDigits, class T, class Key>
void radix_sort(T* items, T* scratch, std::size_t n, std::uint32_t* counts, Key key) {
    constexpr std::size_t kRadix = std::size_t{1} << kBits;
    static_assert(kBits * (kDigits - 1) < 64, "every digit starts within the 64-bit key");
    if (n == 0) {
        return;
    }
    std::fill(counts, counts + kDigits * kRadix, 0u);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = key(items[i]);
        for (std::size_t d = 0; d < kDigits; ++d) {
            ++counts[d * kRadix + ((k >> (kBits * d)) & (kRadix - 1))];
        }
    }
    T* from = items;
    T* to = scratch;
    for (std::size_t d = 0; d < kDigits; ++d) {
        std::uint32_t* const c = counts + d * kRadix;
        const unsigned shift = kBits * static_cast<unsigned>(d);
        if (c[(key(from[0]) >> shift) & (kRadix - 1)] == n) {
            continue;
        }
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kRadix; ++b) {
            sum += std::exchange(c[b], sum);
        }
        for (std::size_t i = 0; i < n; ++i) {
            to[c[(key(from[i]) >> shift) & (kRadix - 1)]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != items) {
        std::copy(from, from + n, items);
    }
}

}  // namespace quillmesh
