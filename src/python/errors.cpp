#include "python/errors.hpp"

#include <mutex>
#include <new>

#include "failures.hpp"
#include "python/pyref.hpp"

namespace quillmesh::py {

void throw_python_error() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    throw PythonError{};
}

void raise(PyObject* type, const std::string& message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
    throw PythonError{};
}

PyObject* panic_exception_type() {
    // Created once per process; the interpreter lock serialises callers, and
    // the type is kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "Raised when an index read inside the trie falls outside its sequence:\n"
            "the index is inconsistent. The instance stays usable.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

namespace {

void set_error(PyObject* type, const std::string& message) noexcept {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
}

void set_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (type != nullptr) {
        set_error(type, message);
    }
}

}  // namespace

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const IndexOutOfBounds& e) {
        set_panic(e.what());
    } catch (const DecodeError& e) {
        set_error(PyExc_ValueError, "decode error: " + e.rendering());
    } catch (const BuildError& e) {
        set_error(e.kind() == BuildError::Kind::Type ? PyExc_TypeError : PyExc_ValueError, e.message());
    } catch (const TreeFault& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const QueryError& e) {
        set_error(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal failure");
    }
    return nullptr;
}

std::string type_name_of(PyObject* obj) {
    PyRef name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return "<unknown>";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<unknown>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

void reword_type_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyRef old(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyRef old(value);
#endif
    if (!old) {
        return;
    }
    PyRef old_text(PyObject_Str(old.get()));
    if (!old_text) {
        return;  // the new error from str() is left set
    }
    PyRef text(PyUnicode_FromFormat("argument '%s': %U", name, old_text.get()));
    if (!text) {
        return;
    }
    PyRef fresh(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!fresh) {
        return;
    }
    PyObject* cause = PyException_GetCause(old.get());  // new reference or null
    if (cause != nullptr) {
        PyException_SetCause(fresh.get(), cause);  // steals
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(fresh.release());
#else
    PyErr_SetObject(PyExc_TypeError, fresh.get());
#endif
}

}  // namespace quillmesh::py
