// What every engine does with what it finds, written once: whether the
// reporter takes a node, the record, the limit, the label path a record
// spells, and the poll that lets a long walk be stopped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "prefix/trie.hpp"

namespace quillmesh::walk {

// Called every few milliseconds of walking (every kPollSteps steps). A
// check that wants the walk to end throws; the walk then unwinds, owning
// nothing that outlives it, and the index is untouched. A check that returns
// leaves the walk as it was.
struct Poll {
    void (*check)(void* context) = nullptr;
    void* context = nullptr;
};
// A step (a row computed, a child tried, a cursor moved) takes from a few to
// some tens of nanoseconds.
inline constexpr std::uint32_t kPollSteps = 1u << 14;

// The labels of the path from the root's child down to the node being
// visited, for the reporters that spell it: the label of depth d (d >= 1)
// is put at d, and the path of a node at depth d is spelled(d). Its room
// is lent by the engine and grows as the path does.
class LabelPath {
public:
    explicit LabelPath(std::vector<char32_t>& room) : room_(room) {}

    // Room for a path of `depth` labels without growing.
    void reserve(std::size_t depth) {
        if (room_.size() < depth) {
            room_.resize(depth);
        }
    }
    void put(std::size_t depth, char32_t label) {
        if (depth > room_.size()) {
            room_.resize(std::max(depth, 2 * room_.size()));
        }
        room_[depth - 1] = label;
    }
    // The labels [first, last) put at depths depth + 1 on.
    void put_run(std::size_t depth, const char32_t* first, const char32_t* last) {
        reserve(depth + static_cast<std::size_t>(last - first));
        std::copy(first, last, room_.data() + depth);
    }
    std::span<const char32_t> spelled(std::size_t depth) const {
        return std::span<const char32_t>(room_.data(), depth);
    }

private:
    std::vector<char32_t>& room_;
};

// The reporter (what is recorded: term matches spell the path, node matches
// do not) under the limit and the poll. Reporter provides:
//   static constexpr bool kSpellsPath;      keep the labels of the path
//   bool accepts(const Trie&, uint32_t c);  may c be recorded (c is within the bound)
//   void record(uint32_t c, uint32_t distance, std::span<const char32_t> path);
//   void restart();                         forget every record
// and optionally on_step(), a statistics hook told of every step, and
//   void ask(const Trie&, uint32_t c, int round);
// a read-ahead of what record(c) will read, for engines that find nodes well
// before they record them: round 0 as c is found, then rounds 1 and 2 for
// every node found, once all are, before any is recorded and with other work
// between the rounds (so that what a round asked for has come by the next).
template <class Reporter>
class Recorder {
public:
    Recorder(const Trie& trie, Reporter& reporter, std::optional<std::uint32_t> limit, Poll poll)
        : trie_(trie), reporter_(reporter), limit_(limit), poll_(poll) {}

    bool accepts(std::uint32_t c) const { return reporter_.accepts(trie_, c); }
    // Records c (accepted) at `distance` with its path (the labels from the
    // root's child to c, ignored unless kSpellsPath); true once the limit is
    // reached, when the engine stops.
    bool record(std::uint32_t c, std::uint32_t distance, std::span<const char32_t> path) {
        reporter_.record(c, distance, Reporter::kSpellsPath ? path : std::span<const char32_t>());
        return limit_ && ++recorded_ >= *limit_;
    }
    // Records c if the reporter takes it; true once the limit is reached.
    bool note(std::uint32_t c, std::uint32_t distance, std::span<const char32_t> path) {
        return accepts(c) && record(c, distance, path);
    }
    // Read-ahead for a node to be recorded later (the reporter's ask, if
    // it has one; hints only).
    void ask(std::uint32_t c, int round) const {
        if constexpr (requires { reporter_.ask(trie_, c, round); }) {
            reporter_.ask(trie_, c, round);
        }
    }
    // An engine gave up: everything it recorded is forgotten, and the next
    // engine starts afresh.
    void restart() {
        recorded_ = 0;
        reporter_.restart();
    }
    // One step of work.
    void step() { steps(1); }
    // `count` steps at once, for an engine that knows a pass's steps before
    // taking them (the poll may then come up to a pass early).
    void steps(std::size_t count) {
        if constexpr (requires { reporter_.on_step(); }) {
            for (std::size_t k = 0; k < count; ++k) {
                reporter_.on_step();
            }
        }
        if (count < countdown_) {
            countdown_ -= count;
            return;
        }
        countdown_ = kPollSteps;
        if (poll_.check != nullptr) {
            poll_.check(poll_.context);
        }
    }
    Reporter& reporter() { return reporter_; }
    const Trie& trie() const { return trie_; }

private:
    const Trie& trie_;
    Reporter& reporter_;
    std::optional<std::uint32_t> limit_;
    Poll poll_;
    std::size_t recorded_ = 0;
    std::size_t countdown_ = kPollSteps;
};

}  // namespace quillmesh::walk
