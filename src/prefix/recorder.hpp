// What every engine does with what it finds, written once: whether the
// reporter takes a node, the record, the limit, and the poll that lets a
// long walk be stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

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

// The reporter (what is recorded: term matches spell the path, node matches
// do not) under the limit and the poll. Reporter provides:
//   static constexpr bool kSpellsPath;      keep the labels of the path
//   bool accepts(const Trie&, uint32_t c);  may c be recorded (c is within the bound)
//   void record(uint32_t c, uint32_t distance, std::span<const char32_t> path);
//   void restart();                         forget every record
// and optionally on_step(), a statistics hook told of every step.
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
    // An engine gave up: everything it recorded is forgotten, and the next
    // engine starts afresh.
    void restart() {
        recorded_ = 0;
        reporter_.restart();
    }
    // One step of work.
    void step() {
        if constexpr (requires { reporter_.on_step(); }) {
            reporter_.on_step();
        }
        if (--countdown_ == 0) {
            countdown_ = kPollSteps;
            if (poll_.check != nullptr) {
                poll_.check(poll_.context);
            }
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
    std::uint32_t countdown_ = kPollSteps;
};

}  // namespace quillmesh::walk
