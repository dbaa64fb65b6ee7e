// Method entries of PrefixSearch, one file each beside module.cpp, and the
// instance helpers they share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "prefix/derived.hpp"
#include "prefix/trie.hpp"

namespace quillmesh::py {

// A new PrefixSearch owning `trie` (moved in) and its derived form, or null
// with an exception set; throws std::bad_alloc, creating nothing, when the
// derived form cannot be built.
PyObject* new_prefix_search(Trie&& trie);
// The same around an index made already (from_bytes).
PyObject* new_prefix_search(SearchIndex&& index);

// The index of an instance (self is a PrefixSearch, checked by CPython).
const SearchIndex& index_of(PyObject* self) noexcept;

// Shared read access for the duration of an instance method call.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) noexcept;
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const SearchIndex& index() const noexcept { return index_of(self_); }
    const Trie& trie() const noexcept { return index_of(self_).trie(); }

private:
    PyObject* self_;
};

PyObject* from_internal_data_v2_method(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace quillmesh::py
