// Conversions of Python sequences into flat C++ values, for the builder.
// Exact lists and tuples are read in place (a list by position, re-reading its
// length each step as its iterator would); any other sequence is iterated.
// Messages are unprefixed: callers at argument level wrap them with
// convert_argument(). All of them throw PythonError with the exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python/pyref.hpp"

namespace quillmesh::py {

// Refuses a str ("Can't extract `str` to `Vec`") and any object that fails the
// interpreter's sequence check.
void require_sequence(PyObject* obj);

// A sequence of integers 0..4294967295.
std::vector<std::uint32_t> to_u32_vector(PyObject* obj);
// The same, appended to `out` (which may hold a partial sequence on failure).
void append_u32s(PyObject* obj, std::vector<std::uint32_t>& out);

// A sequence of str: each string's first character, U+0000 for an empty one.
std::vector<char32_t> to_label_vector(PyObject* obj);

// A sequence's items as one tuple, holding a reference to each, unopened.
PyRef to_item_tuple(PyObject* obj);

// A sequence of byte strings (each a non-str sequence of integers 0..255),
// back to back in `bytes`, entry i being widths[i] bytes long.
struct ByteEntries {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> widths;
};
ByteEntries to_byte_entries(PyObject* obj);

}  // namespace quillmesh::py
