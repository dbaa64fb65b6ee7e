// score_typing_edits(typo, words, costs, transpositions): for each stored word,
// (edit distance, priced cost) of typing it as `typo` (suggest/typing_edits.hpp).
// `costs` holds the prices in EditCosts' order. All words are scored before
// any result object is made, so no Python code (a collection's finalizer) can
// run while the list of words is read.
#include "native/functions.hpp"

#include <string>
#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/pyref.hpp"
#include "suggest/typing_edits.hpp"

namespace quillmesh::native {

namespace {

void read_text(PyObject* str, std::u32string& out) {
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    out.resize(length);
    for (std::size_t k = 0; k < length; ++k) {
        out[k] = static_cast<char32_t>(PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(k)));
    }
}

EditCosts read_costs(PyObject* seq) {
    const py::PyRef items(PySequence_Fast(seq, "costs must be a sequence of floats"));
    if (!items) py::throw_python_error();
    if (PySequence_Fast_GET_SIZE(items.get()) != static_cast<Py_ssize_t>(edit_cost_kinds)) {
        py::raise(PyExc_ValueError, "costs must hold " + std::to_string(edit_cost_kinds) + " prices");
    }
    double values[edit_cost_kinds];
    for (std::size_t k = 0; k < edit_cost_kinds; ++k) {
        values[k] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k)));
        if (values[k] == -1.0 && PyErr_Occurred()) py::throw_python_error();
    }
    return {values[0], values[1], values[2], values[3], values[4],  values[5],
            values[6], values[7], values[8], values[9], values[10], values[11]};
}

}  // namespace

PyObject* score_typing_edits(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 4) {
            py::raise(PyExc_TypeError, "score_typing_edits() takes 4 positional arguments but " +
                                           std::to_string(nargs) + " were given");
        }
        if (!PyUnicode_Check(args[0])) py::raise(PyExc_TypeError, "typo must be a str");
        if (!PyList_Check(args[1])) py::raise(PyExc_TypeError, "words must be a list of str");
        const EditCosts costs = read_costs(args[2]);
        const int transpositions = PyObject_IsTrue(args[3]);
        if (transpositions < 0) py::throw_python_error();

        // Converting the costs may have run Python code; from here on nothing does
        // until every word is scored.
        const py::PyRef words = py::PyRef::borrow(args[1]);
        std::u32string typo, word;
        read_text(args[0], typo);
        TypingEditScorer scorer(typo, costs, transpositions != 0);
        const Py_ssize_t count = PyList_GET_SIZE(words.get());
        std::vector<TypingEdits> scores;
        scores.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* item = PyList_GET_ITEM(words.get(), k);
            if (!PyUnicode_Check(item)) py::raise(PyExc_TypeError, "words must be a list of str");
            read_text(item, word);
            scores.push_back(scorer.score(word));
        }

        py::PyRef result(PyList_New(count));
        if (!result) py::throw_python_error();
        for (std::size_t k = 0; k < scores.size(); ++k) {
            PyObject* pair = Py_BuildValue("(kd)", static_cast<unsigned long>(scores[k].distance), scores[k].cost);
            if (pair == nullptr) py::throw_python_error();
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), pair);
        }
        return result.release();
    });
}

}  // namespace quillmesh::native
