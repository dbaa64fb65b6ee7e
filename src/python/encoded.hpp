// The serialized form of a trie as a new bytes object (to_bytes, and the
// package's own builds).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "prefix/trie.hpp"

namespace quillmesh::py {

// A new reference; throws PythonError (MemoryError set) when it cannot be made.
PyObject* encoded_bytes(const Trie& trie);

}  // namespace quillmesh::py
