// The search-scheme engine: the terms within the bound of a query, found
// through two narrow searches instead of one broad walk.
//
// The forward-backward method (Mihov & Schulz 2004, "Fast approximate search
// in large dictionaries"), as a pair of search schemes (Kucherov, Salikhov &
// Tsur 2016, "Approximate string matching using a bidirectional index"): the
// query is split into a head and a tail. Along an alignment of a term with
// the query, let the head's cost be what the alignment has spent by the time
// it leaves the head's last column (gaps right after the head included).
// Either the head costs at most U, or the tail costs at most V, whenever
// U + V >= bound - 1 (the step between the two costs at most 1). So:
//   - the forward search walks the trie with the head's columns capped at U,
//     then the tail's at the bound;
//   - the backward search walks the trie of reversed terms (ReversedIndex)
//     with the reversed tail's columns capped at V (and the step into the
//     head too), then the head's at the bound.
// Each search spends its first steps where the trie is narrow, on paths that
// are (almost) exact. A capped cell is never below the true distance, and
// the best alignment of every term within the bound passes the caps of one
// search, so the least of the distances found for a term is its distance.
//
// The terms of both searches are put in walk order by their pre-order rank
// and only then recorded, so the limit keeps the forward walk's first L: the
// answer is the forward walk's, record for record. That needs an index whose
// every node has one path from the root (DerivedIndex::reversed() exists only
// for such), and a reporter that takes exactly the terminal nodes
// (records_terminals_only): prefix nodes are not found by the backward
// search, so node matches with prefixes keep the forward walks.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kept_room.hpp"
#include "prefix/derived.hpp"
#include "prefix/edges.hpp"
#include "prefix/label_search.hpp"
#include "prefix/recorder.hpp"
#include "prefix/reversed_index.hpp"
#include "prefix/trie.hpp"
#include "radix_sort.hpp"

namespace quillmesh::walk {

// Bounds the engine takes (its cells are one byte; the band 2 * bound + 1).
// At bound 1 both caps are 0: the head is followed exactly, then the tail
// with the one edit, and the other way round in the reversed terms, so no
// edit is tried near the root, where nodes have the most children.
inline constexpr std::uint32_t kMinSchemeBound = 1;
inline constexpr std::uint32_t kMaxSchemeBound = 7;
// Shortest and longest query it takes, in code points. Below 4 the head is
// too short to narrow anything: on the word list the forward walk is faster.
inline constexpr std::size_t kMinSchemeQuery = 4;
inline constexpr std::size_t kMaxSchemeQuery = 4096;

// Whether the engine can answer a query of `n` code points at `bound` on the
// index (choose_engine asks this, and run_engine again before it runs it).
inline bool scheme_applies(const DerivedIndex& derived, std::size_t n, std::uint32_t bound) {
    return derived.reversed() != nullptr && bound >= kMinSchemeBound && bound <= kMaxSchemeBound &&
           n >= kMinSchemeQuery && n <= kMaxSchemeQuery;
}

// Whether the reporter takes exactly the terminal nodes; one that does not
// say so is taken not to.
template <class Reporter>
bool records_terminals_only(const Reporter& reporter) {
    if constexpr (requires { reporter.terminals_only(); }) {
        return reporter.terminals_only();
    } else {
        return false;
    }
}

namespace scheme {

// Columns are addressed with this offset, so that the band may reach past
// both ends of the query (cells there are dead).
inline constexpr std::ptrdiff_t kPad = 2 * kMaxSchemeBound + 2;
inline constexpr std::uint32_t kNoCodePoint = 0xFFFFFFFFu;

// The Levenshtein band (see Band in band.hpp: the same cells, saturated at
// bound + 1) of one search, with a cap per column. Cell (d, j) of a row at
// depth d is stored at j - d + K; a cell above its column's cap is dead
// (K + 1). `lim` holds cap + 1 per column and `entry` the same for a cell's
// value reached from its left or diagonal neighbour (the step into a column,
// which the backward search caps apart from the gaps that follow it);
// columns outside the query have 0 for both.
//
// The vector step reads the same columns as bytes: `byte_q` holds each
// column's code point when it can be a label (else 0, which no entered
// child has) and `gate` the lesser of `lim` and `entry`; both run sixteen
// bytes past the last column the band reaches.
//
// The per-column arrays live in BandCells, which the thread keeps between
// queries (SchemeRoom), so that a query allocates none of them.
struct BandCells {
    std::vector<std::uint32_t> q;
    std::vector<std::uint8_t> lim;
    std::vector<std::uint8_t> entry;
    std::vector<std::uint8_t> byte_q;
    std::vector<std::uint8_t> gate;
    void trim() {
        give_back_room(q);
        give_back_room(lim);
        give_back_room(entry);
        give_back_room(byte_q);
        give_back_room(gate);
    }
};

template <std::uint32_t K>
class CappedBand {
public:
    static constexpr std::size_t kWidth = 2 * K + 1;
    static constexpr std::uint8_t kDead = K + 1;
    // The band, one dead cell past it, and dead cells up to a whole load
    // of the vector step (8 bytes to bound 3, 16 above).
    static constexpr std::size_t kRowBytes = kWidth + 1 <= 8 ? 8 : 16;
    using Row = std::array<std::uint8_t, kRowBytes>;
#if defined(QUILLMESH_SIMD_SSE2)
    static constexpr bool kVectorStep = true;
#else
    static constexpr bool kVectorStep = false;
#endif

    // `query` in the order of the walk; the first `head` columns (1 ... head
    // for the forward search, whose column 0 goes with them too; 0 ... head
    // - 1 for the backward one) capped at `head_cap`, the rest at K.
    CappedBand(std::u32string_view query, std::size_t head, std::uint8_t head_cap, bool forward, BandCells& cells)
        : n_(query.size()) {
        cells.q.assign(n_ + 2 * kPad, kNoCodePoint);
        cells.lim.assign(n_ + 2 * kPad + 16, 0);
        cells.entry.assign(n_ + 2 * kPad + 16, 0);
        cells.byte_q.assign(n_ + 2 * kPad + 16, 0);
        cells.gate.assign(n_ + 2 * kPad + 16, 0);
        // The steps read the cells through plain pointers: a pointer held in
        // a vector would be read again after every byte stored.
        q_ = cells.q.data();
        lim_ = cells.lim.data();
        entry_ = cells.entry.data();
        byte_q_ = cells.byte_q.data();
        gate_ = cells.gate.data();
        for (std::size_t i = 0; i < n_; ++i) {
            cells.q[kPad + i] = static_cast<std::uint32_t>(query[i]);
        }
        for (std::size_t j = 0; j <= n_; ++j) {
            const bool in_head = forward ? j <= head : j < head;
            cells.lim[kPad + j] = static_cast<std::uint8_t>((in_head ? head_cap : K) + 1);
            cells.entry[kPad + j] = cells.lim[kPad + j];
        }
        if (!forward) {
            cells.entry[kPad + head] = static_cast<std::uint8_t>(head_cap + 1);
        }
        for (std::size_t i = 0; i < n_ + 2 * kPad; ++i) {
            cells.byte_q[i] = byte_label(cells.q[i]) ? static_cast<std::uint8_t>(cells.q[i]) : 0;
            cells.gate[i] = std::min(cells.lim[i], cells.entry[i]);
        }
    }

    void root(Row& row) const {
        std::uint8_t left = kDead;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(K);
            std::uint8_t v = kDead;
            if (j == 0) {
                v = 0;
            } else if (j > 0) {
                const std::uint8_t h = static_cast<std::uint8_t>(left + 1);
                v = h >= entry_[kPad + j] || h >= lim_[kPad + j] ? kDead : h;
            }
            row[i] = v;
            left = v;
        }
        for (std::size_t i = kWidth; i < kRowBytes; ++i) {
            row[i] = kDead;
        }
    }

    // The row of a child labelled `label` at depth + 1 into `cur`, from its
    // parent's `prev`. Returns whether some cell is alive; `last` is the
    // distance to the whole query (kDead above the bound).
    // `label` is that of an entered child (1 ... 255).
    [[gnu::always_inline]] bool step(const Row& prev, Row& cur, std::size_t depth, std::uint32_t label,
                                     std::uint8_t& last) const {
#if defined(QUILLMESH_SIMD_SSE2)
        return step_sse2<true>(prev, cur, depth, label, last);
#else
        return step_portable<true>(prev, cur, depth, label, last);
#endif
    }
    // The same for every label outside window(depth): all of them give one
    // row, since none matches a column of the band.
    [[gnu::always_inline]] bool step_unmatched(const Row& prev, Row& cur, std::size_t depth,
                                               std::uint8_t& last) const {
#if defined(QUILLMESH_SIMD_SSE2)
        return step_sse2<false>(prev, cur, depth, 0, last);
#else
        return step_portable<false>(prev, cur, depth, 0, last);
#endif
    }

    // The cell by cell form of the step, which the vector form must match
    // cell for cell (the cells of the band and the one past it).
    template <bool kMatch>
    bool step_portable(const Row& prev, Row& cur, std::size_t depth, std::uint32_t label,
                       std::uint8_t& last) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth + 1) - static_cast<std::ptrdiff_t>(K);
        const std::uint8_t* lim = lim_ + kPad + base;
        const std::uint8_t* entry = entry_ + kPad + base;
        const std::uint32_t* q = q_ + kPad + base - 1;  // q[i]: the code point before column base + i
        std::uint8_t left = kDead;
        std::uint8_t low = kDead;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::uint8_t up = static_cast<std::uint8_t>(prev[i + 1] + 1);
            const std::uint8_t diag = static_cast<std::uint8_t>(prev[i] + (!kMatch || q[i] != label ? 1 : 0));
            std::uint8_t h = std::min<std::uint8_t>(diag, static_cast<std::uint8_t>(left + 1));
            h = h >= entry[i] ? kDead : h;
            std::uint8_t v = std::min(h, up);
            v = v >= lim[i] ? kDead : v;
            cur[i] = v;
            left = v;
            low = std::min(low, v);
        }
        for (std::size_t i = kWidth; i < kRowBytes; ++i) {
            cur[i] = kDead;
        }
        last = last_cell(cur, base);
        return low < kDead;
    }

    // The byte labels that match some column of the band on the step from
    // `depth` to depth + 1 (other labels can only mismatch there).
    struct Window {
        std::array<std::uint64_t, 4> bits{};
        bool has(std::uint8_t label) const { return (bits[label / 64] >> (label % 64) & 1) != 0; }
    };
    Window window(std::size_t depth) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth + 1) - static_cast<std::ptrdiff_t>(K);
        const std::uint32_t* q = q_ + kPad + base - 1;
        Window w;
        for (std::size_t i = 0; i < kWidth; ++i) {
            if (q[i] < 0x100) {
                w.bits[q[i] / 64] |= std::uint64_t{1} << (q[i] % 64);
            }
        }
        return w;
    }

    // For the row of a node at `depth`: when no child can keep a cell alive
    // but by matching a query code point on the diagonal, writes those code
    // points (distinct, byte labels only: no other is a child's label) to
    // `out` and returns how many; else returns -1.
    int exact_labels(const Row& row, std::size_t depth, std::array<std::uint8_t, kWidth>& out) const {
#if defined(QUILLMESH_SIMD_SSE2)
        // Lane i is cell i, of column base + i. It grows past a mismatch
        // where cell + 1 is below its column's cap or the next column's gate
        // (a dead cell + 1 is above every one); else a live cell can go on
        // only by matching its column's code point, if that is a byte.
        const std::ptrdiff_t base = kPad + static_cast<std::ptrdiff_t>(depth) - static_cast<std::ptrdiff_t>(K);
        const __m128i r = load_row(row);
        const __m128i room = _mm_max_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lim_ + base)),
                                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(gate_ + base + 1)));
        constexpr int kLanes = (1 << kWidth) - 1;
        if ((_mm_movemask_epi8(_mm_cmpgt_epi8(room, _mm_add_epi8(r, _mm_set1_epi8(1)))) & kLanes) != 0) {
            return -1;
        }
        const __m128i code = _mm_loadu_si128(reinterpret_cast<const __m128i*>(byte_q_ + base));
        const __m128i live = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(kDead)), r);
        unsigned lanes = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(code, _mm_setzero_si128()), live)) & kLanes);
        int count = 0;
        for (; lanes != 0; lanes &= lanes - 1) {
            const std::uint8_t c = byte_q_[base + std::countr_zero(lanes)];
            bool seen = false;
            for (int m = 0; m < count; ++m) {
                seen = seen || out[static_cast<std::size_t>(m)] == c;
            }
            if (!seen) {
                out[static_cast<std::size_t>(count++)] = c;
            }
        }
        return count;
#else
        return exact_labels_portable(row, depth, out);
#endif
    }
    // The cell by cell form of exact_labels(), which the vector form must
    // match (the same count, the same labels in the same order).
    int exact_labels_portable(const Row& row, std::size_t depth, std::array<std::uint8_t, kWidth>& out) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth) - static_cast<std::ptrdiff_t>(K);
        int count = 0;
        for (std::size_t i = 0; i < kWidth; ++i) {
            const std::uint8_t v = row[i];
            if (v >= kDead) {
                continue;
            }
            const std::ptrdiff_t at = kPad + base + static_cast<std::ptrdiff_t>(i);
            const std::uint8_t after = static_cast<std::uint8_t>(v + 1);
            if (after < lim_[at] || after < std::min(lim_[at + 1], entry_[at + 1])) {
                return -1;
            }
            const std::uint32_t c = q_[at];
            bool seen = !byte_label(c);
            for (int m = 0; m < count; ++m) {
                seen = seen || out[static_cast<std::size_t>(m)] == c;
            }
            if (!seen) {
                out[count++] = static_cast<std::uint8_t>(c);
            }
        }
        return count;
    }

private:
    std::uint8_t last_cell(const Row& cur, std::ptrdiff_t base) const {
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(n_) - base;
        return end >= 0 && end < static_cast<std::ptrdiff_t>(kWidth) ? cur[static_cast<std::size_t>(end)] : kDead;
    }

#if defined(QUILLMESH_SIMD_SSE2)
    // The row in one register, a cell a byte. The cell is
    //   min(gated(diag, lim & entry), gated(up, lim), gated(left + 1, lim & entry))
    // (gated(x, c): x below c, else dead), which is the portable step's
    // min and caps in another order: a gate is monotone, so it passes
    // through min. The vertical and diagonal terms are whole-row
    // operations; the left-to-right chain is found by relaxation, each
    // round letting every cell take its left neighbour's value + 1: a
    // value within the bound grows by one a column, so no chain is longer
    // than K cells and K rounds find every one.
    static __m128i load_row(const Row& row) {
        if constexpr (kRowBytes == 8) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row.data()));
        } else {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.data()));
        }
    }
    static void store_row(Row& row, __m128i v) {
        if constexpr (kRowBytes == 8) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(row.data()), v);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row.data()), v);
        }
    }
    // x where x < c, else at least dead (every operand is at most dead + 2
    // and every gate at most dead, so the signed comparison is exact).
    static __m128i gated(__m128i x, __m128i c, __m128i dead) {
        return _mm_max_epu8(x, _mm_andnot_si128(_mm_cmpgt_epi8(c, x), dead));
    }

    template <bool kMatch>
    [[gnu::always_inline]] bool step_sse2(const Row& prev, Row& cur, std::size_t depth, std::uint32_t label,
                                          std::uint8_t& last) const {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(depth + 1) - static_cast<std::ptrdiff_t>(K);
        const std::uint8_t* at = gate_ + kPad + base;
        const __m128i gate = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        const __m128i lim = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lim_ + kPad + base));
        const __m128i dead = _mm_set1_epi8(static_cast<char>(kDead));
        const __m128i one = _mm_set1_epi8(1);
        const __m128i p = load_row(prev);
        __m128i diag = _mm_add_epi8(p, one);
        if constexpr (kMatch) {
            // byte_q[i - 1]: the code point before lane i's column
            const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(byte_q_ + kPad + base - 1));
            diag = _mm_add_epi8(diag, _mm_cmpeq_epi8(q, _mm_set1_epi8(static_cast<char>(label))));
        }
        const __m128i up = _mm_add_epi8(_mm_srli_si128(p, 1), one);
        const __m128i own = _mm_min_epu8(gated(diag, gate, dead), gated(up, lim, dead));
        const __m128i edge = _mm_cvtsi32_si128(kDead);  // left of lane 0
        __m128i v = own;
        for (std::uint32_t round = 0; round < K; ++round) {
            const __m128i left = _mm_add_epi8(_mm_or_si128(_mm_slli_si128(v, 1), edge), one);
            v = _mm_min_epu8(own, gated(left, gate, dead));
        }
        // Cells at most dead; from the cell past the band on, dead.
        const __m128i band = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kBandMask.data()));
        v = _mm_or_si128(_mm_and_si128(_mm_min_epu8(v, dead), band), _mm_andnot_si128(band, dead));
        store_row(cur, v);
        last = last_cell(cur, base);
        return (~_mm_movemask_epi8(_mm_cmpeq_epi8(v, dead)) & ((1 << kWidth) - 1)) != 0;
    }
    static constexpr std::array<std::uint8_t, 16> kBandMask = [] {
        std::array<std::uint8_t, 16> m{};
        for (std::size_t i = 0; i < kWidth; ++i) {
            m[i] = 0xFF;
        }
        return m;
    }();
#endif

    std::size_t n_;
    const std::uint32_t* q_;
    const std::uint8_t* lim_;
    const std::uint8_t* entry_;
    const std::uint8_t* byte_q_;
    const std::uint8_t* gate_;
};

// The forward trie as the searches read it: direct reads (the index is
// checked), with the children rule of DirectEdges.
struct ForwardView {
    const Trie& trie;
    DirectEdges edges;
    const std::uint8_t* labels;  // per edge (DerivedIndex::edge_labels)
    // With consecutive children (DerivedIndex::children_consecutive) the
    // child at edge k follows from the node's first child: one read per
    // node instead of one per edge; with edges in node order
    // (DerivedIndex::edges_in_node_order) it is k + 1, and no edge is read.
    bool consecutive;
    bool node_order;

    void prefetch_node(std::uint32_t v) const { __builtin_prefetch(edges.shifts() + v); }
    std::size_t begin(std::uint32_t v) const { return edges.start(v); }
    std::size_t end(std::uint32_t v) const { return edges.end(v); }
    // A node's labels from edge k on, and what its children's step reads
    // first: their edges, or with edges in node order their own shifts
    // (the children are the nodes k + 1 on, side by side), so that a level
    // waits on one read instead of two.
    void prefetch_edges(std::size_t k) const {
        __builtin_prefetch(labels + k);
        __builtin_prefetch(node_order ? edges.shifts() + k + 1 : edges.targets() + k);
    }
    std::uint32_t first_child(std::size_t start) const {
        return node_order ? static_cast<std::uint32_t>(start + 1) : edges.child(start);
    }
    std::uint32_t child(std::uint32_t first, std::size_t start, std::size_t k) const {
        return consecutive ? first + static_cast<std::uint32_t>(k - start) : edges.child(k);
    }
    void prefetch_term(std::uint32_t c) const { __builtin_prefetch(trie.is_terminal.data() + c); }
    bool term_ends(std::uint32_t c) const { return trie.is_terminal[c] != 0; }
};

// The trie of reversed terms: children are consecutive, an edge is its child.
struct BackwardView {
    const ReversedIndex& index;
    const std::uint8_t* labels;  // per node, so per edge

    void prefetch_node(std::uint32_t v) const { index.prefetch_children(v); }
    std::size_t begin(std::uint32_t v) const { return index.children_begin(v); }
    std::size_t end(std::uint32_t v) const { return index.children_end(v); }
    // The children's labels and their own children's range (the nodes k on).
    void prefetch_edges(std::size_t k) const {
        __builtin_prefetch(labels + k);
        index.prefetch_children(static_cast<std::uint32_t>(k));
    }
    std::uint32_t first_child(std::size_t start) const { return static_cast<std::uint32_t>(start); }
    std::uint32_t child(std::uint32_t, std::size_t, std::size_t k) const { return static_cast<std::uint32_t>(k); }
    void prefetch_term(std::uint32_t c) const { index.prefetch_end(c); }
    bool term_ends(std::uint32_t c) const { return index.term_ends(c); }
};

// A list of trivially copyable records that a search fills into room made
// once for a whole level (make_room), so that a child costs a store and no
// test of the room left (a std::vector's push_back is a call here, and the
// test runs for every child). The room is not value-initialised.
template <class T>
class FillRoom {
public:
    using value_type = T;

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }
    const T* begin() const { return data_.get(); }
    const T* end() const { return data_.get() + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    void clear() { size_ = 0; }
    // Keeps the first n (n <= size()).
    void truncate(std::size_t n) { size_ = n; }
    // Room for `extra` more records, at least doubling when it grows.
    void make_room(std::size_t extra) {
        if (capacity_ - size_ < extra) {
            grow(size_ + extra);
        }
    }
    // Appends into room made before.
    void put(const T& x) { data_[size_++] = x; }
    // The record past the last, in room made before, to be filled field by
    // field and kept by keep_next() (a whole record built aside and copied
    // in would be read back wider than it was written, and wait for the
    // stores to land).
    T& next_slot() { return data_[size_]; }
    void keep_next() { ++size_; }
    void push_back(const T& x) {
        make_room(1);
        put(x);
    }
    void swap(FillRoom& other) noexcept {
        data_.swap(other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    void grow(std::size_t wanted) {
        const std::size_t capacity = std::max({wanted, 2 * capacity_, std::size_t{16}});
        std::unique_ptr<T[]> fresh = std::make_unique_for_overwrite<T[]>(capacity);
        std::copy(begin(), end(), fresh.get());
        data_ = std::move(fresh);
        capacity_ = capacity;
    }

    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A node within the bound where a term may end, before the rank is known.
struct Candidate {
    std::uint32_t node;  // forward node, or reversed node until resolved
    std::uint32_t distance;
    std::uint32_t trail;  // its record in Finds::trail
    bool forward;
};

struct Found {
    std::uint32_t rank;
    std::uint32_t node;
    std::uint32_t distance;
    std::uint32_t trail;
    bool forward;
};

// The labels of the paths walked: each record names its parent's record.
struct TrailStep {
    std::uint32_t parent;
    std::uint8_t label;
};

// What one query's searches find, in room the thread keeps between
// queries (RoomLease<Finds>).
struct Finds {
    FillRoom<Candidate> candidates;
    std::vector<Found> found;
    FillRoom<Found> sorting;  // in_walk_order's room
    FillRoom<TrailStep> trail;  // record 0: the root
    std::vector<char32_t> path;    // a found term's labels, as it is recorded
    void trim() {
        candidates.clear();
        found.clear();
        trail.clear();
        give_back_room(candidates);
        give_back_room(found);
        give_back_room(sorting);
        give_back_room(trail);
        give_back_room(path);
    }
};

// A node a search has reached, with its row.
template <std::uint32_t K>
struct Pending {
    std::uint32_t node;
    std::uint32_t trail;
    std::uint32_t start;
    std::uint32_t end;
    typename CappedBand<K>::Row row;
};

// The room of one query's two searches at bound K (RoomLease<SchemeRoom<K>>):
// the nodes of each one's current and next level, its band's cells, and the
// reversed query.
template <std::uint32_t K>
struct SchemeRoom {
    FillRoom<Pending<K>> levels[4];
    BandCells cells[2];
    std::u32string backwards;
    void trim() {
        for (FillRoom<Pending<K>>& level : levels) {
            level.clear();
            give_back_room(level);
        }
        for (BandCells& c : cells) {
            c.trim();
        }
        give_back_room(backwards);
    }
};

// One search over `view` with the capped band, noting every node within the
// bound (terms are told apart afterwards, see resolve). The order of the
// notes does not matter (they are put in walk order at the end), so the
// search goes level by level, and each level asks memory for all of its
// nodes' edges before it reads any: the misses of one level overlap instead
// of queueing. It goes a level per advance(), so that the forward and the
// backward search can take turns (search_both) and the misses of both are in
// flight together. A node's children are tried in whatever order is
// cheapest: by looking up the only labels that can survive, when there are
// such.
template <std::uint32_t K, class View, bool kForward>
class LevelSearch {
public:
    using Band = CappedBand<K>;
    using Row = typename Band::Row;

    LevelSearch(const View& view, const Band& band, Finds& finds, FillRoom<Pending<K>>& level,
                FillRoom<Pending<K>>& next)
        : view_(view), band_(band), finds_(finds), level_(level), next_(next) {
        level_.clear();
        next_.clear();
        Pending<K> root{0, 0, 0, 0, {}};
        band_.root(root.row);
        level_.push_back(root);
        ask();
    }

    bool done() const { return level_.empty(); }

    // Tries the children of the level's nodes, and asks memory for the next
    // level's edges. A function of its own, with the band's step and the
    // child's record forced into it: left to itself, the compiler put the
    // level into search_both and called the step once per child.
    template <class Steps>
    [[gnu::noinline]] void advance(Steps& steps) {
        if (level_.empty()) {
            return;
        }
        next_.clear();
        // Room for every child the level can add, made once.
        next_.make_room(edges_);
        finds_.trail.make_room(edges_);
        finds_.candidates.make_room(edges_);
        const typename Band::Window window = band_.window(depth_);
        for (const Pending<K>& p : level_) {
            if (p.start >= p.end) {
                continue;
            }
            const std::uint32_t first = view_.first_child(p.start);
            // A node of one or two children is cheaper to scan than to ask
            // which labels it needs.
            std::array<std::uint8_t, Band::kWidth> wanted;
            const int count = p.end - p.start <= 2 ? -1 : band_.exact_labels(p.row, depth_, wanted);
            if (count >= 0 && static_cast<std::size_t>(count) < p.end - p.start) {
                for (int i = 0; i < count; ++i) {
                    const std::uint8_t label = wanted[static_cast<std::size_t>(i)];
                    const std::size_t k = find_label(view_.labels, p.start, p.end, label);
                    if (k < p.end) {
                        try_child(steps, p, first, k, label);
                    }
                }
                continue;
            }
            // Every child whose label matches no column of the band gets the
            // same row: computed once for the node, on its first such child.
            Row unmatched;
            std::uint8_t unmatched_last = Band::kDead;
            int unmatched_alive = -1;  // not computed yet
            for (std::size_t k = p.start; k < p.end; ++k) {
                const std::uint8_t label = view_.labels[k];
                if (!entered(label)) {
                    continue;
                }
                if (window.has(label)) {
                    try_child(steps, p, first, k, label);
                    continue;
                }
                steps.step();
                if (unmatched_alive < 0) {
                    unmatched_alive = band_.step_unmatched(p.row, unmatched, depth_, unmatched_last) ? 1 : 0;
                }
                if (unmatched_alive != 0) {
                    next_.next_slot().row = unmatched;
                    keep_child(p, first, k, label, unmatched_last);
                }
            }
        }
        level_.swap(next_);
        ++depth_;
        ask();
    }

private:
    // Reads the ranges of the level's nodes (asked for as each was found)
    // and asks for their edges.
    void ask() {
        edges_ = 0;
        for (Pending<K>& p : level_) {
            const std::size_t start = view_.begin(p.node);
            const std::size_t end = view_.end(p.node);
            p.start = static_cast<std::uint32_t>(start);
            p.end = static_cast<std::uint32_t>(start < end ? end : start);
            if (start < end) {
                view_.prefetch_edges(start);
                edges_ += end - start;
            }
        }
    }

    // The child at edge k, alive with its row in next_.next_slot(); `last`
    // its distance to the whole query.
    [[gnu::always_inline]] void keep_child(const Pending<K>& parent, std::uint32_t first, std::size_t k,
                                           std::uint8_t label, std::uint8_t last) {
        Pending<K>& child = next_.next_slot();
        const std::uint32_t node = view_.child(first, parent.start, k);
        const auto trail = static_cast<std::uint32_t>(finds_.trail.size());
        child.node = node;
        child.trail = trail;
        next_.keep_next();
        finds_.trail.put(TrailStep{parent.trail, label});
        if (last <= K) {
            finds_.candidates.put(Candidate{node, last, trail, kForward});
            view_.prefetch_term(node);  // resolve's first question
        }
        view_.prefetch_node(node);  // in flight while the level goes on
    }

    template <class Steps>
    [[gnu::always_inline]] void try_child(Steps& steps, const Pending<K>& parent, std::uint32_t first, std::size_t k,
                                          std::uint8_t label) {
        steps.step();
        std::uint8_t last = Band::kDead;
        if (band_.step(parent.row, next_.next_slot().row, depth_, label, last)) {
            keep_child(parent, first, k, label, last);
        }
    }

    const View& view_;
    const Band& band_;
    Finds& finds_;
    FillRoom<Pending<K>>& level_;
    FillRoom<Pending<K>>& next_;
    std::size_t edges_ = 0;  // of the level's nodes: no more children can be added
    std::size_t depth_ = 0;
};

// Keeps the candidates where a term ends, with the forward node and walk
// rank of each. Each takes a chain of reads (forward: its terminal flag, its
// place among the terminals, the rank at that place; reversed: its end flag,
// its place among the ends, the term end there, which holds the forward node
// and the rank), so the candidates go through in passes, each asking for the
// reads the next one makes: the reads of one pass are all in flight at once.
// (The first reads of each were asked for as the candidate was found.)
inline void resolve(const ForwardView& forward, const BackwardView& backward, Finds& finds) {
    const ReversedIndex& index = backward.index;
    FillRoom<Candidate>& c = finds.candidates;
    std::size_t kept = 0;
    for (Candidate& x : c) {
        if (x.forward) {
            if (forward.term_ends(x.node)) {
                index.prefetch_walk_rank(x.node);
                c[kept++] = x;
            }
        } else if (backward.term_ends(x.node)) {
            x.node = index.end_place(x.node);  // the reversed node is not needed again
            index.prefetch_term_end_at(x.node);
            c[kept++] = x;
        }
    }
    c.truncate(kept);
    finds.found.resize(c.size());
    Found* out = finds.found.data();
    for (const Candidate& x : c) {
        if (x.forward) {
            // Its place for now; the rank at it is read in the next pass.
            const std::uint32_t place = index.terminal_place(x.node);
            index.prefetch_walk_rank_at(place);
            *out++ = Found{place, x.node, x.distance, x.trail, true};
        } else {
            const ReversedIndex::TermEnd end = index.term_end_at(x.node);
            *out++ = Found{end.rank, end.node, x.distance, x.trail, false};
        }
    }
    for (Found& f : finds.found) {
        if (f.forward) {
            f.rank = index.walk_rank_at(f.rank);
        }
    }
}

// The finds in walk order (by rank), each term once at the least distance
// found for it. Many finds are put in rank order by a radix sort of eight
// bits a pass (radix_sort.hpp); a few by comparisons. `room` holds the
// passes' copies.
inline constexpr std::size_t kRadixFinds = 96;
inline void in_walk_order(std::vector<Found>& found, FillRoom<Found>& room) {
    const std::size_t n = found.size();
    if (n < kRadixFinds) {
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return a.rank != b.rank ? a.rank < b.rank : a.distance < b.distance;
        });
    } else {
        room.clear();
        room.make_room(n);
        std::array<std::uint32_t, 4 << 8> counts;
        radix_sort<8, 4>(found.data(), room.begin(), n, counts.data(), [](const Found& f) { return f.rank; });
    }
    // Each run of one rank keeps its least distance (the first such).
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t best = i;
        std::size_t j = i + 1;
        for (; j < n && found[j].rank == found[i].rank; ++j) {
            best = found[j].distance < found[best].distance ? j : best;
        }
        found[kept++] = found[best];
        i = j;
    }
    found.resize(kept);
}

// Where the query splits into head and tail, and the forward search's cap
// on the head (the backward one's on the tail is what is left of bound - 1).
struct Split {
    std::size_t head;
    std::uint8_t head_cap;
};

// At bound 2 a head of (n + 1) / 2 code points up to 12 makes a third fewer
// steps than n / 2 at odd lengths on the word list (the forward search's one
// early error then ends a column later, and the backward search is hardly
// wider); past 12 the halves are as good. The forward search takes the
// larger cap (it spends it more cheaply than the backward one), except on
// the shortest queries at bound 2: there a head of n / 2 - 1 code points
// followed exactly, and the one error in the tail, take a tenth fewer
// instructions on the word list (4 and 6 code points; at 5 the usual split
// stays ahead).
template <std::uint32_t K>
Split split_query(std::size_t n) {
    if (K == 2 && (n == 4 || n == 6)) {
        return Split{n / 2 - 1, 0};
    }
    constexpr std::uint8_t kTailCap = (K - 1) / 2;
    return Split{K == 2 && n <= 12 ? (n + 1) / 2 : n / 2, static_cast<std::uint8_t>(K - 1 - kTailCap)};
}

// Both searches of the scheme, then the terms in walk order, each once at
// its least distance.
template <std::uint32_t K, class Steps>
void search_both(const SearchIndex& index, std::u32string_view query, Finds& finds, Steps& steps) {
    // Head and tail caps: U + V = K - 1 (see split_query).
    const std::size_t n = query.size();
    const Split split = split_query<K>(n);
    const std::size_t head = split.head;
    const std::uint8_t head_cap = split.head_cap;
    const auto tail_cap = static_cast<std::uint8_t>(K - 1 - head_cap);
    const DerivedIndex& derived = index.derived();
    const ForwardView forward{index.trie(), DirectEdges(index.trie()), derived.edge_labels().data(),
                              derived.children_consecutive(), derived.edges_in_node_order()};
    const ReversedIndex& reversed = *derived.reversed();
    const BackwardView backward{reversed, reversed.labels()};
    const RoomLease<SchemeRoom<K>> room;
    room->backwards.assign(query.rbegin(), query.rend());
    const CappedBand<K> forward_band(query, head, head_cap, true, room->cells[0]);
    const CappedBand<K> backward_band(room->backwards, n - head, tail_cap, false, room->cells[1]);
    finds.trail.push_back(TrailStep{0, 0});
    // The two searches take turns a level at a time: each level's reads are
    // asked for at the end of its turn and read at the start of the next, so
    // one search's misses are in flight while the other works.
    LevelSearch<K, ForwardView, true> ahead(forward, forward_band, finds, room->levels[0], room->levels[1]);
    LevelSearch<K, BackwardView, false> behind(backward, backward_band, finds, room->levels[2], room->levels[3]);
    while (!ahead.done() || !behind.done()) {
        ahead.advance(steps);
        behind.advance(steps);
    }
    resolve(forward, backward, finds);
    in_walk_order(finds.found, finds.sorting);
}

template <class Steps>
void search_any(const SearchIndex& index, std::u32string_view query, std::uint32_t bound, Finds& finds,
                Steps& steps) {
    static_assert(kMinSchemeBound == 1 && kMaxSchemeBound == 7);
    switch (bound) {
        case 1:
            return search_both<1>(index, query, finds, steps);
        case 2:
            return search_both<2>(index, query, finds, steps);
        case 3:
            return search_both<3>(index, query, finds, steps);
        case 4:
            return search_both<4>(index, query, finds, steps);
        case 5:
            return search_both<5>(index, query, finds, steps);
        case 6:
            return search_both<6>(index, query, finds, steps);
        default:
            return search_both<7>(index, query, finds, steps);
    }
}

}  // namespace scheme

// Runs the engine: records, through the recorder, the terminal nodes within
// `bound` of `query` in walk order until the limit. The index and bound must
// pass scheme_applies and the reporter records_terminals_only.
template <class Reporter>
void run_search_scheme(const SearchIndex& index, std::u32string_view query, std::uint32_t bound,
                       Recorder<Reporter>& recorder) {
    const RoomLease<scheme::Finds> room;
    scheme::Finds& finds = *room;
    finds.trail.clear();
    finds.candidates.clear();
    finds.found.clear();
    scheme::search_any(index, query, bound, finds, recorder);
    std::vector<char32_t>& path = finds.path;
    for (const scheme::Found& f : finds.found) {
        if constexpr (Reporter::kSpellsPath) {
            // The trail runs from the node up: the term's labels last first
            // on a forward path, first first on a reversed one.
            path.clear();
            for (std::uint32_t at = f.trail; at != 0; at = finds.trail[at].parent) {
                path.push_back(finds.trail[at].label);
            }
            if (f.forward) {
                std::reverse(path.begin(), path.end());
            }
        }
        if (recorder.record(f.node, f.distance, std::span<const char32_t>(path))) {
            return;
        }
    }
}

}  // namespace quillmesh::walk
