// libFuzzer target for the builder's core: flat arrays are derived from the
// input, put through the build checks (prefix/build.hpp) in the builder's
// order, and a trie that passes them is propagated, encoded, decoded and
// compared. Checked on the way:
//   - each check refuses exactly the arrays it should, with its exact message;
//   - propagate() equals the plain step-by-step merge (each node taken out,
//     merge_from of every child listing but itself, cut, put back; nodes from
//     the highest index down), or fails with the same IndexOutOfBounds when a
//     node_shifts range reaches past child_transitions;
//   - afterwards every node has a payload with parallel lists of at most
//     video_top_n entries, and decode(encode(trie)) == trie.
//
// Input layout, read front to back (missing bytes read as 0):
//   N (mod 48); a shape byte (bit 0: one node_shifts entry too many or too
//   few, bit 1: the same for payloads, bit 2: mixed identifier widths); E (mod
//   96) and E edge targets; N node_shifts; N labels; N payloads; the
//   identifier count and width; video_top_n.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "failures.hpp"
#include "payload.hpp"
#include "prefix/build.hpp"
#include "prefix/codec.hpp"
#include "prefix/trie.hpp"

using namespace quillmesh;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_build: %s\n", what.c_str());
    std::abort();
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    // Mostly small values, sometimes one of the 32-bit edges.
    std::uint32_t count() {
        const std::uint8_t b = byte();
        switch (b) {
            case 0xFF: return 0xFFFFFFFFu;
            case 0xFE: return 0xFFFFFFFEu;
            case 0xFD: return 0x80000000u;
            case 0xFC: return 65536;
            default: return b;
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

const char32_t kLabels[8] = {U'\0', U'a', U'b', U'c', U'\u00e9', U'\u20ac', U'\U0001F600', U'\U0010FFFF'};

// The merge as written down: each node's payload taken out of its slot, every
// child listing other than itself merged with merge_from (children as they
// stand at that moment), the lists cut, the payload put back.
void reference_propagate(Trie& trie, std::uint32_t top_n) {
    std::vector<std::optional<Payload>> payloads;
    for (std::size_t n = 0; n < trie.payloads.size(); ++n) {
        payloads.push_back(trie.payloads.get(n).value_or(Payload{}));
    }
    for (std::size_t n = trie.node_count(); n-- > 0;) {
        std::optional<Payload> own = std::move(at(payloads, n));
        payloads[n].reset();
        const EdgeRange r = trie.children(n);
        for (std::size_t e = r.start; e < r.end; ++e) {
            const std::uint32_t c = at(trie.child_transitions, e);
            const std::optional<Payload>& child = at(payloads, c);
            if (child) {
                own->merge_from(*child);
            }
        }
        if (own->video_ids.size() > top_n) {
            own->video_ids.resize(top_n);
            own->video_counts.resize(top_n);
        }
        payloads[n] = std::move(own);
    }
    trie.payloads = PayloadTable(payloads);
}

template <class Call>
std::string build_error_of(Call&& call) {
    try {
        call();
    } catch (const BuildError& e) {
        return e.message();
    }
    return "";
}

std::string oob_of(const IndexOutOfBounds& e) { return e.what(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::size_t n_nodes = in.byte() % 48;
    const std::uint8_t shape = in.byte();

    // Lengths: the check must refuse exactly the disagreeing ones.
    std::size_t shifts_len = n_nodes, payloads_len = n_nodes;
    if (shape & 0x01) {
        shifts_len = (shape & 0x10) || n_nodes == 0 ? n_nodes + 1 : n_nodes - 1;
    }
    if (shape & 0x02) {
        payloads_len = (shape & 0x20) || n_nodes == 0 ? n_nodes + 1 : n_nodes - 1;
    }
    std::string expected;
    if (shifts_len != n_nodes) {
        expected = "node_shifts len " + std::to_string(shifts_len) + " != child_labels len " + std::to_string(n_nodes);
    } else if (payloads_len != n_nodes) {
        expected = "payloads len " + std::to_string(payloads_len) + " != child_labels len " + std::to_string(n_nodes);
    }
    const std::string got = build_error_of([&] { check_lengths(shifts_len, n_nodes, payloads_len); });
    if (got != expected) {
        fail("check_lengths said '" + got + "', expected '" + expected + "'");
    }
    if (!expected.empty()) {
        return 0;
    }

    // Edge targets: mostly in range; 0xF0 and above name a node that does not exist.
    Trie trie;
    const std::size_t n_edges = in.byte() % 96;
    expected.clear();
    for (std::size_t j = 0; j < n_edges; ++j) {
        const std::uint8_t b = in.byte();
        std::uint32_t target;
        if (b >= 0xF0 || n_nodes == 0) {
            target = b == 0xFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n_nodes + (b & 0x0F));
        } else {
            target = static_cast<std::uint32_t>(b % n_nodes);
        }
        if (target >= n_nodes && expected.empty()) {
            expected = "child_transitions[" + std::to_string(j) + "] = " + std::to_string(target) +
                       " out of range [0.." + std::to_string(n_nodes) + ")";
        }
        trie.child_transitions.push_back(target);
    }
    const std::string edge_error = build_error_of([&] { check_edge_targets(trie.child_transitions, n_nodes); });
    if (edge_error != expected) {
        fail("check_edge_targets said '" + edge_error + "', expected '" + expected + "'");
    }
    if (!expected.empty()) {
        return 0;
    }

    // node_shifts: anything; values past the edges make propagation fail.
    for (std::size_t n = 0; n < n_nodes; ++n) {
        const std::uint8_t b = in.byte();
        trie.node_shifts.push_back(b >= 0xF8 ? in.count() : static_cast<std::uint32_t>(b % (n_edges + 2)));
    }
    for (std::size_t n = 0; n < n_nodes; ++n) {
        trie.child_labels.push_back(kLabels[in.byte() % 8]);
    }

    // Payloads, node by node: absent, or total, ids and counts (the counts
    // list sometimes one entry longer, which must be refused).
    expected.clear();
    std::string payload_error;
    for (std::size_t n = 0; n < n_nodes && payload_error.empty(); ++n) {
        const std::uint8_t tag = in.byte();
        if ((tag & 0x03) == 0) {
            trie.payloads.push_absent();
            trie.is_terminal.push_back(0);
            continue;
        }
        const std::uint32_t total = in.count();
        const std::size_t k = in.byte() % 10;
        std::vector<std::uint32_t> ids, counts;
        for (std::size_t i = 0; i < k; ++i) {
            const std::uint8_t b = in.byte();
            ids.push_back(b >= 0xF8 ? in.count() : b % 12u);
        }
        for (std::size_t i = 0; i < k + ((tag & 0xE0) == 0xE0 ? 1 : 0); ++i) {
            counts.push_back(in.count());
        }
        if (ids.size() != counts.size()) {
            expected = "video_ids and video_counts length mismatch";
        }
        payload_error = build_error_of([&] {
            trie.payloads.push(make_payload(total, std::move(ids), std::move(counts)));
            trie.is_terminal.push_back(1);
        });
        if (payload_error != expected) {
            fail("make_payload said '" + payload_error + "', expected '" + expected + "'");
        }
    }
    if (!payload_error.empty()) {
        return 0;
    }

    // Identifier table: V entries of one width, or (shape bit 2) of mixed widths.
    const std::size_t n_ids = in.byte() % 6;
    static constexpr std::size_t kWidths[4] = {16, 4, 0, 8};
    const std::size_t width = kWidths[in.byte() % 4];
    std::vector<std::size_t> widths(n_ids, width);
    if ((shape & 0x04) && n_ids > 1) {
        widths.back() = width == 16 ? 4 : 16;
    }
    std::vector<std::uint8_t> id_bytes;
    for (std::size_t w : widths) {
        for (std::size_t i = 0; i < w; ++i) {
            id_bytes.push_back(in.byte());
        }
    }
    const bool all16 = std::all_of(widths.begin(), widths.end(), [](std::size_t w) { return w == 16; });
    const bool all4 = std::all_of(widths.begin(), widths.end(), [](std::size_t w) { return w == 4; });
    expected = all16 || all4 ? "" : "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)";
    const std::string id_error = build_error_of([&] { assign_video_table(trie, id_bytes, widths); });
    if (id_error != expected) {
        fail("assign_video_table said '" + id_error + "', expected '" + expected + "'");
    }
    if (!expected.empty()) {
        return 0;
    }
    if (trie.id_mode != (all16 ? IdMode::Uuid : IdMode::Int32) ||
        trie.video_uuids.size() != (all16 ? n_ids : 0) || trie.video_int_ids.size() != (all16 ? 0 : n_ids)) {
        fail("assign_video_table chose the wrong mode or table");
    }
    if (!all16) {
        for (std::size_t i = 0; i < n_ids; ++i) {
            const std::uint8_t* b = id_bytes.data() + 4 * i;
            const std::uint32_t le = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                     std::uint32_t{b[3]} << 24;
            if (trie.video_int_ids[i] != le) {
                fail("an Int32 identifier was not read little-endian");
            }
        }
    }
    const std::uint32_t top_n = in.count();

    // Propagation against the plain merge.
    Trie reference = trie;
    std::string reference_panic, panic;
    try {
        reference_propagate(reference, top_n);
    } catch (const IndexOutOfBounds& e) {
        reference_panic = oob_of(e);
    }
    try {
        trie.propagate(top_n);
    } catch (const IndexOutOfBounds& e) {
        panic = oob_of(e);
    } catch (const std::exception& e) {
        fail(std::string("propagate threw an unexpected exception: ") + e.what());
    }
    if (panic != reference_panic) {
        fail("propagate failed with '" + panic + "', the plain merge with '" + reference_panic + "'");
    }
    if (!panic.empty()) {
        return 0;
    }
    if (!(trie == reference)) {
        for (std::size_t n = 0; n < n_nodes; ++n) {
            if (trie.payloads.get(n) != reference.payloads.get(n)) {
                fail("propagate differs from the plain merge at node " + std::to_string(n));
            }
        }
        fail("propagate changed something besides the payloads");
    }
    for (std::size_t n = 0; n < trie.payloads.size(); ++n) {
        const std::optional<PayloadView> p = trie.payloads.at(n);
        if (!p || p->video_ids.size() != p->video_counts.size() || p->video_ids.size() > top_n) {
            fail("a propagated payload is absent, not parallel or longer than video_top_n");
        }
    }

    // Round trip through the byte format.
    const std::vector<std::uint8_t> bytes = encode(trie);
    if (bytes.size() != encoded_size(trie) || encoded_size_bound(trie) < bytes.size()) {
        fail("encode wrote a different size than encoded_size, or more than encoded_size_bound");
    }
    Trie again;
    try {
        again = decode(bytes);
    } catch (const DecodeError& e) {
        fail(std::string("the encoding of a built trie fails to decode: ") + e.what());
    }
    if (!(again == trie)) {
        fail("decode(encode(trie)) differs from the built trie");
    }
    return 0;
}
