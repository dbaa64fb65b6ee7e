// Large blocks: a PodBuffer or a vector keeps its values whichever way its
// storage moves between the C library's blocks and mappings of their own
// (growing across the threshold, remapped growth, shrinking in place, and
// back below the threshold).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "large_pages.hpp"
#include "pod_buffer.hpp"

namespace quillmesh {
namespace {

constexpr std::size_t kWords = large_block::kOwnMapping / sizeof(std::uint32_t);

std::uint32_t value_at(std::size_t i) { return static_cast<std::uint32_t>(i * 2654435761u); }

bool holds_values(const PodBuffer<std::uint32_t>& b, std::size_t n) {
    if (b.size() != n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (b[i] != value_at(i)) {
            return false;
        }
    }
    return true;
}

TEST(LargePages, PodBufferKeepsItsValuesAcrossEveryMove) {
    struct Case {
        const char* name;
        std::size_t reserve_first;  // room asked for before filling (0: grow by push_back)
        std::size_t fill;
        std::size_t keep;  // then cut to this many and shrunk to fit
    };
    const Case cases[] = {
        {"small throughout", 0, 1000, 10},
        {"grows across the threshold", 0, 3 * kWords + 7, 3 * kWords + 7},
        {"remapped growth, then in-place shrink", kWords, 5 * kWords, 2 * kWords + 1},
        {"mapped, shrunk below the threshold", 4 * kWords, 4 * kWords, kWords / 3},
        {"mapped, shrunk to nothing", 2 * kWords, kWords + 5, 0},
    };
    for (const Case& c : cases) {
        PodBuffer<std::uint32_t> b;
        b.reserve(c.reserve_first);
        for (std::size_t i = 0; i < c.fill; ++i) {
            b.push_back(value_at(i));
        }
        EXPECT_TRUE(holds_values(b, c.fill)) << c.name;
        PodBuffer<std::uint32_t> copy = b;
        EXPECT_TRUE(holds_values(copy, c.fill)) << c.name << " (copy)";
        while (b.size() > c.keep) {
            b.pop_back();
        }
        b.shrink_to_fit();
        EXPECT_TRUE(holds_values(b, c.keep)) << c.name << " (shrunk)";
        for (std::size_t i = c.keep; i < c.keep + 3; ++i) {
            b.push_back(value_at(i));
        }
        EXPECT_TRUE(holds_values(b, c.keep + 3)) << c.name << " (grown again)";
    }
}

TEST(LargePages, OwnMappingsAreLargePageAligned) {
    if (!large_block::kMapped) {
        GTEST_SKIP() << "no mappings of their own here";
    }
    for (const std::size_t bytes : {large_block::kOwnMapping, large_block::kPage + 1, 3 * large_block::kPage}) {
        void* const p = large_block::allocate(bytes);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % large_block::kPage, 0u) << bytes;
        static_cast<char*>(p)[bytes - 1] = 1;  // the whole block is writable
        large_block::deallocate(p, bytes);
    }
}

// A block's mapping ends at a large page only where that adds at most a
// quarter of one (a large page is backed whole once written); otherwise it
// ends at the next small page.
TEST(LargePages, MappingsCostAtMostAQuarterOfALargePageMore) {
    constexpr std::size_t kLarge = large_block::kPage;
    const std::size_t small = large_block::small_page();
    struct Case {
        std::size_t bytes;
        std::size_t length;
    };
    const Case cases[] = {
        {kLarge, kLarge},
        {kLarge - kLarge / 4, kLarge},
        {kLarge - kLarge / 4 - 1, kLarge - kLarge / 4},  // a multiple of any small page up to 512 KiB
        {kLarge + 1, kLarge + small},
        {3 * kLarge - kLarge / 4 + 1, 3 * kLarge},
        {3 * kLarge - kLarge / 2, 3 * kLarge - kLarge / 2},
        {large_block::kOwnMapping, large_block::kOwnMapping},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(large_block::mapping_length(c.bytes), c.length) << c.bytes;
    }
    for (std::size_t bytes = kLarge / 2; bytes < 4 * kLarge; bytes += 12345) {
        const std::size_t length = large_block::mapping_length(bytes);
        EXPECT_GE(length, bytes);
        EXPECT_LE(length - bytes, kLarge / 4) << bytes;
        EXPECT_EQ(length % small, 0u) << bytes;
    }
}

TEST(LargePages, VectorsOnEitherSideOfTheThreshold) {
    for (const std::size_t n : {std::size_t{10}, kWords - 1, kWords, 3 * kWords}) {
        LargeVector<std::uint32_t> v;
        for (std::size_t i = 0; i < n; ++i) {
            v.push_back(value_at(i));
        }
        LargeVector<std::uint32_t> moved = std::move(v);
        moved.shrink_to_fit();
        bool same = moved.size() == n;
        for (std::size_t i = 0; same && i < n; ++i) {
            same = moved[i] == value_at(i);
        }
        EXPECT_TRUE(same) << n;
    }
}

}  // namespace
}  // namespace quillmesh
