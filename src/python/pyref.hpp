// PyRef: owns one strong reference to a Python object and releases it on every
// path out of a scope, so no early return or C++ exception can leak one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmesh::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (may be null).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace quillmesh::py
