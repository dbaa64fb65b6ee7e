// PrefixSearch.fuzzy_match_video: converts the arguments, ranks, and returns
// a list of (identifier text, score) tuples, best first.
#include <cstring>
#include <vector>

#include "kept_room.hpp"
#include "python/args.hpp"
#include "python/methods.hpp"
#include "python/pyref.hpp"
#include "python/signatures.hpp"
#include "ranking.hpp"

namespace quillmesh::py {

namespace {

// Each identifier is written straight into its string, which is ASCII.
PyObject* rows_to_list(const Trie& trie, const std::vector<RankedVideo>& rows) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) {
        throw_python_error();
    }
    char buf[kMaxIdText];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t length = write_id_text(trie, rows[i].video, buf);
        PyRef text(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
        if (!text) {
            throw_python_error();
        }
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), buf, length);
        PyRef score(PyFloat_FromDouble(rows[i].score));
        if (!score) {
            throw_python_error();
        }
        PyObject* row = PyTuple_New(2);
        if (row == nullptr) {
            throw_python_error();
        }
        PyTuple_SET_ITEM(row, 0, text.release());
        PyTuple_SET_ITEM(row, 1, score.release());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);  // steals row
    }
    return list.release();
}

}  // namespace

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [term, max_dist, limit, include_prefix_nodes, min_score] =
            signatures::kFuzzyMatchVideo.bind(args, nargs, kwnames);
        SharedBorrow borrow(self);
        // The call's own list: creating the tuples below can run the
        // collector, and a finalizer that queries again gets another list.
        const RoomLease<ListRoom<std::vector<RankedVideo>>> room;
        std::vector<RankedVideo>& rows = room->list;
        rank_videos(borrow.index(), term, max_dist, limit, include_prefix_nodes, min_score, rows, kSignalPoll);
        return rows_to_list(borrow.index().trie(), rows);
    });
}

}  // namespace quillmesh::py
