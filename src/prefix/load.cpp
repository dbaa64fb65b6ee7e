#include "prefix/load.hpp"

#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <signal.h>
#endif

#include "prefix/codec.hpp"

namespace quillmesh {

namespace {

// The derived form's work grows with the nodes: below this many (or this
// many bytes) the second thread, and the memory arena it leaves behind,
// cost more than they save.
constexpr std::size_t kOverlapNodes = std::size_t{1} << 16;
constexpr std::size_t kOverlapBytes = std::size_t{1} << 20;

// Where the elements of is_terminal begin when nothing follows the index
// (as to_bytes writes it): its last `flags` bytes, after their count in its
// shortest form. nullopt when the bytes cannot end that way.
std::optional<std::size_t> flags_at_the_end(std::span<const std::uint8_t> bytes, std::size_t head_end,
                                            std::size_t flags) {
    const std::size_t count_bytes = flags <= 250 ? 1 : flags <= 0xFFFF ? 3 : flags <= 0xFFFFFFFFu ? 5 : 0;
    if (count_bytes == 0 || bytes.size() < head_end + count_bytes + flags) {
        return std::nullopt;
    }
    const std::size_t at = bytes.size() - flags;
    const std::uint8_t* count = bytes.data() + at - count_bytes;
    std::uint64_t v = count[0];
    if (count_bytes > 1) {
        if (count[0] != (count_bytes == 3 ? 251 : 252)) {
            return std::nullopt;
        }
        v = 0;
        for (std::size_t i = count_bytes - 1; i >= 1; --i) {
            v = (v << 8) | count[i];
        }
    }
    if (v != flags) {
        return std::nullopt;
    }
    return at;
}

// Starts `run` on a thread that takes no signals: the interpreter's handlers
// (Ctrl-C above all) keep being run for the thread that called, whose
// blocking calls they are meant to interrupt. The thread inherits the
// caller's mask as it stands when it starts, so every signal is blocked
// just around its start, and the caller's own mask is then put back.
template <class Run>
std::thread start_quiet_thread(Run& run) {
#if defined(__unix__) || defined(__APPLE__)
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    const bool masked = pthread_sigmask(SIG_SETMASK, &all, &before) == 0;
    struct Restore {
        bool masked;
        const sigset_t* before;
        ~Restore() {
            if (masked) {
                pthread_sigmask(SIG_SETMASK, before, nullptr);
            }
        }
    } restore{masked, &before};
#endif
    return std::thread(run);
}

}  // namespace

SearchIndex load_index(std::span<const std::uint8_t> bytes) {
    Trie trie;
    const std::size_t head_end = decode_head(bytes, trie);
    const std::size_t n = trie.node_count();
    const std::optional<std::size_t> guess =
        bytes.size() >= kOverlapBytes && n >= kOverlapNodes ? flags_at_the_end(bytes, head_end, n) : std::nullopt;
    if (!guess) {
        decode_rest(bytes, head_end, trie.node_shifts, trie.child_transitions, trie);
        return SearchIndex(std::move(trie));
    }
    // The rest (payloads and all after them) is read on a second thread.
    // Meanwhile this one makes the derived form with the flags as they lie
    // at the end of the bytes; once the rest is read, that form stands if
    // the flags were read from exactly there, and is made again from the
    // decoded ones otherwise. Neither thread writes what the other reads.
    Trie rest;
    std::size_t flags_at = 0;
    std::exception_ptr rest_failed;
    const auto read_rest = [&]() noexcept {
        try {
            flags_at = decode_rest(bytes, head_end, trie.node_shifts, trie.child_transitions, rest);
        } catch (...) {
            rest_failed = std::current_exception();
        }
    };
    std::thread reader;
    try {
        reader = start_quiet_thread(read_rest);
    } catch (const std::system_error&) {
        read_rest();  // no thread to be had: one after the other
    }
    std::optional<DerivedIndex> derived;
    std::exception_ptr derive_failed;
    try {
        const TrieStructure fields{trie.node_shifts, trie.child_labels, trie.child_transitions,
                                   bytes.subspan(*guess, n)};
        derived.emplace(fields);
    } catch (...) {
        derive_failed = std::current_exception();
    }
    if (reader.joinable()) {
        reader.join();
    }
    // A fault of the bytes comes first, as if they had been decoded whole
    // before anything else was made.
    if (rest_failed) {
        std::rethrow_exception(rest_failed);
    }
    trie.payloads = std::move(rest.payloads);
    trie.video_uuids = std::move(rest.video_uuids);
    trie.video_int_ids = std::move(rest.video_int_ids);
    trie.id_mode = rest.id_mode;
    trie.is_terminal = std::move(rest.is_terminal);
    if (derive_failed) {
        std::rethrow_exception(derive_failed);
    }
    if (flags_at != *guess || trie.is_terminal.size() != n) {
        derived.reset();
        return SearchIndex(std::move(trie));
    }
    return SearchIndex(std::move(trie), std::move(*derived));
}

}  // namespace quillmesh
