// The functions of quillmesh._native, one file each beside module.cpp, which
// lists them in its method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quillmesh::native {

// verify_tree.cpp
PyObject* verify_tree(PyObject* module, PyObject* data);

}  // namespace quillmesh::native
