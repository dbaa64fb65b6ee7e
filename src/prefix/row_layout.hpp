// RowLayout: (term, video, count) rows laid out as the arrays of a trie, in
// the package's layout (quillmesh.builder, which states it): nodes
// breadth-first from the root, each node's children consecutive and in
// ascending code point order, child_transitions = 1 .. N-1, a payload at each
// term's node with its videos in the order the rows first named them (counts
// summed), and the video table in the order the rows first named each video.
//
// Rows come one at a time and are kept compactly (three numbers each, terms
// and videos interned), so that a list of millions costs tens of bytes a row.
// The checks whose answer depends on the rows before (one kind of id per
// index, a new term's text, a (term, video) sum above 4294967295) are made
// here, in the order the package makes them, and reported as RowFault; the
// caller words them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh {

enum class IdKind : std::uint8_t { None, Uuid, Int32 };

// One video identifier: 16 bytes (Uuid) or a number (Int32).
struct VideoKey {
    IdKind kind = IdKind::None;
    Uuid uuid{};
    std::uint32_t number = 0;
};

class RowFault : public std::exception {
public:
    enum class Kind {
        MixedIds,      // row's id kind differs from that of row `first_row`
        BadNewTerm,    // `term`, met first at `row`, is empty or holds U+0000
        PairOverflow,  // the row's (term, video) counts sum to `total`
        TermOverflow,  // term `term`'s counts sum to `total` (no row)
    };
    Kind kind;
    std::size_t row = 0;
    std::size_t first_row = 0;
    IdKind row_kind = IdKind::None;
    IdKind index_kind = IdKind::None;
    std::string term;
    std::uint64_t total = 0;

    explicit RowFault(Kind k) : kind(k) {}
    const char* what() const noexcept override { return "row refused"; }
};

// The laid-out index, payloads not yet merged, and each term's summed count
// in ascending term order (the terms in UTF-8, separated by U+0000).
struct LaidOutRows {
    Trie trie;
    std::vector<std::uint32_t> term_totals;
    std::string terms;
    std::size_t term_count = 0;
};

class RowLayout {
public:
    RowLayout();

    // The rows added so far.
    std::size_t rows() const { return rows_.size(); }

    // The kind of `key` must be that of every row before: else MixedIds.
    void check_kind(IdKind kind, std::size_t row) const;

    // Adds row `row` (its kind checked, its count converted). `term` is
    // well-formed UTF-8. Throws BadNewTerm or PairOverflow, adding nothing.
    void add(std::string_view term, const VideoKey& key, std::uint32_t count, std::size_t row);

    // Lays the rows out and releases them; TermOverflow names the first
    // term, in ascending order, whose counts sum above 4294967295.
    LaidOutRows finish();

private:
    struct Row {
        std::uint32_t term;
        std::uint32_t video;
        std::uint32_t count;
        std::uint32_t next;  // the term's next row, or kNone
    };
    struct TermRows {
        std::uint32_t head;
        std::uint32_t tail;
        std::uint64_t total;
    };
    // Open addressing, linear probing, at most half full: each slot holds an
    // entry number + 1 (0: empty) and 32 bits of the key's hash, so that a
    // probe reads the entry itself only when the hashes agree.
    struct Slot {
        std::uint32_t entry;
        std::uint32_t tag;
    };
    class ProbeTable {
    public:
        ProbeTable() : slots_(1024, Slot{0, 0}) {}
        // The entry whose key `same(entry)` says is the one hashed to
        // `hash`, or `make()` as a new entry (`count` entries so far).
        template <class Same, class Make>
        std::uint32_t find_or_add(std::uint64_t hash, std::size_t count, Same&& same, Make&& make);
        template <class Same>
        std::uint32_t find(std::uint64_t hash, Same&& same) const;

    private:
        void grow();
        std::vector<Slot> slots_;
        std::vector<std::uint32_t> tags_;  // per entry: its tag, for growing
    };
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    std::string_view term_text(std::uint32_t t) const {
        return std::string_view(arena_).substr(term_ends_[t] - term_length(t), term_length(t));
    }
    std::size_t term_length(std::uint32_t t) const { return term_ends_[t] - (t == 0 ? 0 : term_ends_[t - 1]); }
    std::uint32_t intern_video(const VideoKey& key);
    std::uint32_t add_term(std::string_view term);
    // Sum of the counts of (term, video) so far, once the term's total can
    // exceed 4294967295 (rare: such terms keep their sums in heavy_).
    std::uint64_t pair_sum(std::uint32_t term, std::uint32_t video);

    IdKind kind_ = IdKind::None;
    std::size_t kind_row_ = 0;
    std::vector<Row> rows_;
    std::vector<TermRows> terms_;
    std::string arena_;                     // every term's UTF-8, back to back
    std::vector<std::uint32_t> term_ends_;  // per term: end of its text in arena_
    ProbeTable term_table_;
    ProbeTable video_table_;
    std::vector<std::uint32_t> int_ids_;
    std::vector<Uuid> uuids_;
    // (term << 32 | video) -> sum, for the terms whose total passed 2^32 - 1.
    std::unordered_map<std::uint64_t, std::uint64_t> heavy_;
    std::vector<std::uint8_t> heavy_terms_;
};

}  // namespace quillmesh
