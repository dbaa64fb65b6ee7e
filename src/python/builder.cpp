// from_internal_data_v2: converts the six arguments in parameter order, each
// completely before the next, then builds in the order the caller is told:
// lengths, edge targets, payloads node by node, identifier widths, and only
// then propagation. All-or-nothing: everything is local until the instance is
// created at the very end.
#include <utility>

#include "prefix/build.hpp"
#include "python/args.hpp"
#include "python/methods.hpp"
#include "python/sequences.hpp"
#include "python/signatures.hpp"

namespace quillmesh::py {

namespace {

// One payload tuple (total_count, video_ids, video_counts). Its conversion
// errors carry no argument name: the arguments themselves were valid.
// Lists reused from one payload to the next: a million payloads then cost
// no allocation each.
struct PayloadScratch {
    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
};

void push_payload(PayloadTable& table, PyObject* item, PayloadScratch& scratch) {
    if (!PyTuple_Check(item)) {
        raise_cannot_convert(item, "PyTuple");
    }
    if (PyTuple_GET_SIZE(item) != 3) {
        raise(PyExc_ValueError, "Payload tuple must have 3 elements");
    }
    const std::uint32_t total_count = to_u32(PyTuple_GET_ITEM(item, 0));
    scratch.ids.clear();
    append_u32s(PyTuple_GET_ITEM(item, 1), scratch.ids);
    scratch.counts.clear();
    append_u32s(PyTuple_GET_ITEM(item, 2), scratch.counts);
    check_payload_lists(scratch.ids.size(), scratch.counts.size());
    table.push(total_count, scratch.ids, scratch.counts);
}

}  // namespace

PyObject* from_internal_data_v2_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto [node_shifts, child_labels, payload_items, child_transitions, video_index, video_top_n] =
            signatures::kFromInternalDataV2.bind(args, nargs, kwnames);

        const std::size_t n = child_labels.size();
        const auto n_payloads = static_cast<std::size_t>(PyTuple_GET_SIZE(payload_items.get()));
        check_lengths(node_shifts.size(), n, n_payloads);
        check_edge_targets(child_transitions, n);

        Trie trie;
        trie.is_terminal.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            trie.is_terminal[i] = PyTuple_GET_ITEM(payload_items.get(), static_cast<Py_ssize_t>(i)) != Py_None;
        }
        trie.payloads.reserve(n);
        PayloadScratch scratch;
        for (std::size_t i = 0; i < n; ++i) {
            if (trie.is_terminal[i] != 0) {
                push_payload(trie.payloads, PyTuple_GET_ITEM(payload_items.get(), static_cast<Py_ssize_t>(i)), scratch);
            } else {
                trie.payloads.push_absent();
            }
        }
        payload_items = PyRef();
        assign_video_table(trie, video_index.bytes, video_index.widths);
        video_index = ByteEntries();

        trie.node_shifts = std::move(node_shifts);
        trie.child_labels = std::move(child_labels);
        trie.child_transitions = std::move(child_transitions);
        trie.propagate(video_top_n);

        PyObject* result = new_prefix_search(std::move(trie));
        if (result == nullptr) {
            throw_python_error();
        }
        return result;
    });
}

}  // namespace quillmesh::py
