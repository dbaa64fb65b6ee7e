// A bit per position with a rank directory: which positions are set, and how
// many set positions come before a given one, in constant time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillmesh {

// The set bits of x, in line: baseline x86-64 has no popcount instruction,
// and std::popcount then calls a library routine.
inline std::size_t count_bits(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

// Filled once, position by position (set() in any order, then seal()), and
// read-only afterwards. Costs 1.5 bits per position.
class BitRank {
public:
    void resize(std::size_t positions) {
        words_.assign((positions + 63) / 64, 0);
        before_.clear();
    }
    // Drops the positions from `positions` on (none of them set).
    void shrink(std::size_t positions) {
        words_.resize((positions + 63) / 64);
        words_.shrink_to_fit();
    }
    void set(std::size_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
    // Counts the set bits before every word; call once all are set.
    void seal() {
        before_.resize(words_.size());
        std::uint32_t total = 0;
        for (std::size_t w = 0; w < words_.size(); ++w) {
            before_[w] = total;
            total += static_cast<std::uint32_t>(count_bits(words_[w]));
        }
        count_ = total;
    }

    void prefetch(std::size_t i) const {
        __builtin_prefetch(words_.data() + i / 64);
        __builtin_prefetch(before_.data() + i / 64);
    }
    bool test(std::size_t i) const { return (words_[i / 64] >> (i % 64)) & 1u; }
    // Set positions before i.
    std::size_t rank(std::size_t i) const {
        const std::uint64_t below = words_[i / 64] & ((std::uint64_t{1} << (i % 64)) - 1);
        return before_[i / 64] + count_bits(below);
    }
    std::size_t count() const { return count_; }
    std::size_t bytes() const { return words_.capacity() * 8 + before_.capacity() * 4; }

private:
    std::vector<std::uint64_t> words_;
    std::vector<std::uint32_t> before_;
    std::size_t count_ = 0;
};

}  // namespace quillmesh
