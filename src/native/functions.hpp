// The functions of quillmesh._native, one file each beside module.cpp, which
// lists them in its method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmesh::native {

// verify_tree.cpp
PyObject* verify_tree(PyObject* module, PyObject* data);

// rows.cpp: adds the type Rows to the module; 0, or -1 with an exception set.
int add_rows_type(PyObject* module);

// typing_edits.cpp
PyObject* score_typing_edits(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillmesh::native
