// Every failure that leaves the module becomes a Python exception here, and
// only here. Conversion helpers throw PythonError once a Python exception is
// set; core code throws the types of failures.hpp; each method entry runs its
// body inside guarded(), which maps whatever was thrown.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>

#include "prefix/recorder.hpp"

namespace quillmesh::py {

// A Python exception is already set; unwind to the method entry.
struct PythonError {};

using walk::Poll;

// Throws PythonError; sets SystemError first if, wrongly, nothing is set.
[[noreturn]] void throw_python_error();

// The poll of a long walk: pending signals are handled (the interpreter
// lock is held throughout a call), and a handler that raises ends the call
// with its exception; one that returns leaves the walk as it was.
inline void check_signals(void*) {
    if (PyErr_CheckSignals() < 0) {
        throw PythonError{};
    }
}
inline constexpr Poll kSignalPoll{check_signals, nullptr};

// Sets a Python exception of `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// pyo3_runtime.PanicException, created once per process on first need.
// Returns a borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

// Maps the exception being handled (call only inside a catch block) to a
// Python exception; always returns null for the method entry to return.
PyObject* raise_current_exception() noexcept;

// If the pending Python exception is a TypeError, replaces it with
// TypeError("argument '{name}': {old text}"), keeping the old cause.
void reword_type_error(const char* name) noexcept;

// The qualified name of obj's type, for messages ("<unknown>" if unreadable).
std::string type_name_of(PyObject* obj);

// Runs a method body; no C++ exception crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return raise_current_exception();
    }
}

}  // namespace quillmesh::py
