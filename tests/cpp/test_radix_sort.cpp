// The radix sort against a stable sort by the same key.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "radix_sort.hpp"

namespace quillmesh {
namespace {

struct Item {
    std::uint64_t key;
    std::uint32_t tag;  // its place before sorting: equal keys keep their order
    bool operator==(const Item&) const = default;
};

template <unsigned kBits, std::size_t kDigits>
void expect_as_stable_sort(std::vector<Item> items, const char* what) {
    std::vector<Item> want = items;
    std::stable_sort(want.begin(), want.end(), [](const Item& a, const Item& b) { return a.key < b.key; });
    std::vector<Item> scratch(items.size());
    std::vector<std::uint32_t> counts(kDigits << kBits, 7);  // not zeroed: the sort must clear them
    radix_sort<kBits, kDigits>(items.data(), scratch.data(), items.size(), counts.data(),
                               [](const Item& e) { return e.key; });
    EXPECT_EQ(items, want) << what;
}

TEST(RadixSort, AsAStableSortByTheKey) {
    std::mt19937_64 rng(31);
    // Key ranges: all keys equal (every pass skipped), one digit wide, a
    // few digits, the full 64 bits; and many ties within each.
    const std::uint64_t masks[] = {0, 0xFF, 0xFFFFF, 0xFFFFFFFF, ~std::uint64_t{0}};
    const std::size_t sizes[] = {0, 1, 2, 95, 96, 1000};
    for (const std::uint64_t mask : masks) {
        for (const std::size_t n : sizes) {
            std::vector<Item> items;
            for (std::uint32_t i = 0; i < n; ++i) {
                std::uint64_t k = rng() & mask;
                if (i % 3 == 0 && !items.empty()) {
                    k = items[rng() % items.size()].key;  // a tie
                }
                items.push_back(Item{k, i});
            }
            expect_as_stable_sort<8, 4>(
                [&] {
                    std::vector<Item> low = items;
                    for (Item& e : low) {
                        e.key &= 0xFFFFFFFF;  // four 8-bit digits cover 32 bits
                    }
                    return low;
                }(),
                "8 x 4");
            expect_as_stable_sort<11, 6>(items, "11 x 6");
        }
    }
}

}  // namespace
}  // namespace quillmesh
