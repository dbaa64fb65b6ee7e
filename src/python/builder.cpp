// from_internal_data_v2: converts the six arguments in parameter order, each
// completely before the next, then builds in the order the caller is told:
// lengths, edge targets, payloads node by node, identifier widths, and only
// then propagation. All-or-nothing: everything is local until the instance is
// created at the very end.
#include <algorithm>
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

// The payload tuples, their lists and the lists' integers are objects
// scattered over the heap, each read first as it is converted: a cache miss
// apiece, one after another. Asked for in stages some payloads ahead
// instead, each stage reading only what an earlier stage brought in (a
// tuple, then its lists, then their items), so that the misses of several
// payloads are in flight together. Everything is read afresh from objects
// the payloads tuple keeps alive, at the moment it is asked for: a
// conversion that ran Python code may have changed any list since.
class PayloadReadAhead {
public:
    explicit PayloadReadAhead(PyObject* items)
        : items_(&PyTuple_GET_ITEM(items, 0)), n_(static_cast<std::size_t>(PyTuple_GET_SIZE(items))) {}

    // Called as payload i is about to be converted. In line by force: a
    // function that only reads and prefetches counts as pure to the
    // compiler, which then drops the call whose result nobody uses.
    [[gnu::always_inline]] void at(std::size_t i) const {
        if (i + kTuples < n_) {
            __builtin_prefetch(items_[i + kTuples]);
        }
        if (i + kLists < n_) {
            if (PyObject* const t = payload(i + kLists)) {
                for (Py_ssize_t f = 0; f < 3; ++f) {
                    __builtin_prefetch(PyTuple_GET_ITEM(t, f));
                }
            }
        }
        if (i + kItems < n_) {
            if (PyObject* const t = payload(i + kItems)) {
                for (Py_ssize_t f = 1; f < 3; ++f) {
                    PyObject* const list = PyTuple_GET_ITEM(t, f);
                    if (PyList_CheckExact(list) && PyList_GET_SIZE(list) > 0) {
                        __builtin_prefetch(&PyList_GET_ITEM(list, 0));
                    }
                }
            }
        }
        if (i + kInts < n_) {
            if (PyObject* const t = payload(i + kInts)) {
                PyObject* const ids = PyTuple_GET_ITEM(t, 1);
                if (PyList_CheckExact(ids)) {
                    const Py_ssize_t k = std::min<Py_ssize_t>(PyList_GET_SIZE(ids), kIntsPerList);
                    for (Py_ssize_t j = 0; j < k; ++j) {
                        __builtin_prefetch(PyList_GET_ITEM(ids, j));
                    }
                }
            }
        }
    }

private:
    // Stage distances, in payloads: each stage a few payloads after the one
    // that brought in what it reads.
    static constexpr std::size_t kTuples = 16;
    static constexpr std::size_t kLists = 12;
    static constexpr std::size_t kItems = 8;
    static constexpr std::size_t kInts = 4;
    static constexpr Py_ssize_t kIntsPerList = 8;

    // Payload j when it is an exact 3-tuple (the rest is left to the
    // conversion, with its errors).
    PyObject* payload(std::size_t j) const {
        PyObject* const t = items_[j];
        return PyTuple_CheckExact(t) && PyTuple_GET_SIZE(t) == 3 ? t : nullptr;
    }

    PyObject* const* items_;
    std::size_t n_;
};

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
        const PayloadReadAhead read_ahead(payload_items.get());
        for (std::size_t i = 0; i < n; ++i) {
            read_ahead.at(i);
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
