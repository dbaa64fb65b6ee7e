// PrefixSearch.fuzzy_match_video: converts the arguments, ranks, and returns
// a list of (identifier text, score) tuples, best first.
#include "python/args.hpp"
#include "python/methods.hpp"
#include "python/pyref.hpp"
#include "python/signatures.hpp"
#include "ranking.hpp"

namespace quillmesh::py {

namespace {

PyObject* rows_to_list(const std::vector<VideoScore>& rows) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) {
        throw_python_error();
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyRef text(PyUnicode_FromStringAndSize(rows[i].id_text.data(),
                                               static_cast<Py_ssize_t>(rows[i].id_text.size())));
        if (!text) {
            throw_python_error();
        }
        PyRef score(PyFloat_FromDouble(rows[i].score));
        if (!score) {
            throw_python_error();
        }
        PyObject* row = PyTuple_Pack(2, text.get(), score.get());
        if (row == nullptr) {
            throw_python_error();
        }
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
        const std::vector<VideoScore> rows =
            fuzzy_match_video(borrow.index(), term, max_dist, limit, include_prefix_nodes, min_score, kSignalPoll);
        return rows_to_list(rows);
    });
}

}  // namespace quillmesh::py
