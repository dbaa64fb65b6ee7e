// Method entries of PrefixSearch, one file each beside module.cpp, and the
// instance helpers they share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "prefix/trie.hpp"

namespace quillmesh::py {

// A new PrefixSearch owning `trie` (moved in), or null with an exception set.
PyObject* new_prefix_search(Trie&& trie) noexcept;

// The trie of an instance (self is a PrefixSearch, checked by CPython).
const Trie& trie_of(PyObject* self) noexcept;

// Shared read access for the duration of an instance method call.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) noexcept;
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const Trie& trie() const noexcept { return trie_of(self_); }

private:
    PyObject* self_;
};

PyObject* from_internal_data_v2_method(PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace quillmesh::py
