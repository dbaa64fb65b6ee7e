// BufferView: the bytes of any object with the buffer protocol (bytes,
// bytearray, memoryview, mmap, ...), held for one scope and released on every
// path out of it. While it is held, a resizable exporter refuses to resize.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "python/errors.hpp"

namespace quillmesh::py {

class BufferView {
public:
    // Throws PythonError (TypeError for an object without the protocol,
    // BufferError for one that is not contiguous).
    explicit BufferView(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
            throw_python_error();
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

}  // namespace quillmesh::py
