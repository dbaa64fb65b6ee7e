// PrefixSearch.fuzzy_match: converts the arguments, runs the term matcher and
// returns its matches as a list of (text, 1, distance) tuples.
#include <cstdint>
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

}  // namespace

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [term, max_dist, limit] = signatures::kFuzzyMatch.bind(args, nargs, kwnames);
        SharedBorrow borrow(self);
        // The call's own list: creating the tuples below can run the
        // collector, and a finalizer that queries again gets another list.
        const RoomLease<ListRoom<std::vector<MatchResult>>> room;
        std::vector<MatchResult>& matches = room->list;
        fuzzy_match(borrow.index(), term, max_dist, limit, matches, kSignalPoll);

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
