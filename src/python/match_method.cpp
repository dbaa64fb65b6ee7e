// PrefixSearch.fuzzy_match: converts the arguments, runs the term matcher and
// returns its matches as a list of (text, 1, distance) tuples.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kept_room.hpp"
#include "prefix/matcher.hpp"
#include "python/args.hpp"
#include "python/methods.hpp"
#include "python/pyref.hpp"
#include "python/signatures.hpp"

namespace quillmesh::py {

namespace {

PyObject* match_tuple(const MatchResult& m) {
    PyRef text(PyUnicode_FromStringAndSize(m.text.data(), static_cast<Py_ssize_t>(m.text.size())));
    if (!text) {
        throw_python_error();
    }
    // The is_terminal flag of the node: only terminal nodes are recorded.
    PyRef terminal(PyLong_FromLong(1));
    PyRef distance(PyLong_FromUnsignedLong(m.distance));
    if (!terminal || !distance) {
        throw_python_error();
    }
    PyObject* tuple = PyTuple_New(3);
    if (tuple == nullptr) {
        throw_python_error();
    }
    PyTuple_SET_ITEM(tuple, 0, text.release());
    PyTuple_SET_ITEM(tuple, 1, terminal.release());
    PyTuple_SET_ITEM(tuple, 2, distance.release());
    return tuple;
}

// Empties a thread's list of matches when a call ends, however it ends, and
// gives its room back after a call with many (give_back_room).
class Kept {
public:
    explicit Kept(std::vector<MatchResult>& list) : list_(list) {}
    ~Kept() {
        list_.clear();
        give_back_room(list_);
    }
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

private:
    std::vector<MatchResult>& list_;
};

}  // namespace

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        bind_arguments(signatures::kFuzzyMatch, args, nargs, kwnames, slots);
        SharedBorrow borrow(self);
        const std::string_view term = convert_argument("term", slots[0], to_utf8);
        const std::uint32_t max_dist = slots[1] == nullptr ? 1 : convert_argument("max_dist", slots[1], to_u32);
        const std::optional<std::uint32_t> limit = convert_argument("limit", slots[2], to_optional_u32);

        // The matches go in room this thread keeps between calls (nothing
        // in here calls back into Python code that could query again).
        thread_local std::vector<MatchResult> matches;
        const Kept kept(matches);
        fuzzy_match(borrow.trie(), term, max_dist, limit, matches);

        PyRef list(PyList_New(static_cast<Py_ssize_t>(matches.size())));
        if (!list) {
            throw_python_error();
        }
        for (std::size_t i = 0; i < matches.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), match_tuple(matches[i]));
        }
        return list.release();
    });
}

}  // namespace quillmesh::py
