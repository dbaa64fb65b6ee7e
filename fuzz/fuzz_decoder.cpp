// libFuzzer target for the index decoder: any input either fails with a
// DecodeError or decodes to a Trie whose encoding reads back to the same Trie.
// Anything else (another exception, a sanitizer report, an oversized
// allocation driven by a declared length) is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "failures.hpp"
#include "prefix/codec.hpp"

using quillmesh::DecodeError;
using quillmesh::Trie;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_decoder: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Trie trie;
    try {
        trie = quillmesh::decode(std::span<const std::uint8_t>(data, size));
    } catch (const DecodeError&) {
        return 0;
    }

    const std::vector<std::uint8_t> bytes = quillmesh::encode(trie);
    // The encoder writes minimal varints and the same bytes otherwise, so it
    // can never need more room than the input the trie came from.
    if (bytes.size() > size) {
        fail("re-encoding is longer than the input");
    }

    Trie again;
    try {
        again = quillmesh::decode(bytes);
    } catch (const DecodeError& e) {
        std::fprintf(stderr, "fuzz_decoder: re-encoded bytes fail to decode: %s\n", e.what());
        std::abort();
    }
    if (!(again == trie)) {
        fail("decode(encode(trie)) differs from trie");
    }
    if (quillmesh::encode(again) != bytes) {
        fail("encoding is not stable across a round trip");
    }
    return 0;
}
