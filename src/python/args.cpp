#include "python/args.hpp"

#include <string>
#include <vector>

#include "python/pyref.hpp"

namespace quillmesh::py {

namespace {

std::string quoted_list(const std::string* names, std::size_t count) {
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) {
                out += ",";
            }
            out += i + 1 == count ? " and " : " ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

}  // namespace

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, "'" + type_name_of(obj) + "' object cannot be converted to '" + target + "'");
}

void bind_arguments(const char* full_name, std::span<const ParamName> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const std::size_t count = params.size();
    std::size_t required = 0;
    for (const ParamName& p : params) {
        required += p.required ? 1 : 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        slots[i] = nullptr;
    }
    const auto given = static_cast<std::size_t>(nargs);
    if (given > count) {
        std::string text = std::string(full_name) + "() takes ";
        if (required == count) {
            text += std::to_string(count);
        } else {
            text += "from " + std::to_string(required) + " to " + std::to_string(count);
        }
        text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                " given";
        raise(PyExc_TypeError, text);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t found = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                found = i;
                break;
            }
        }
        if (found == count) {
            // The name as given, which need not have a UTF-8 form (a lone
            // surrogate): formatted from the str object itself.
            PyRef text(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", full_name, key));
            if (text) {
                PyErr_SetObject(PyExc_TypeError, text.get());
            }
            throw_python_error();
        }
        if (slots[found] != nullptr) {
            raise(PyExc_TypeError, std::string(full_name) + "() got multiple values for argument '" +
                                       params[found].name + "'");
        }
        slots[found] = args[nargs + k];
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (params[i].required && slots[i] == nullptr) {
            missing.emplace_back(params[i].name);
        }
    }
    if (!missing.empty()) {
        const std::size_t m = missing.size();
        raise(PyExc_TypeError, std::string(full_name) + "() missing " + std::to_string(m) +
                                   " required positional argument" + (m == 1 ? "" : "s") + ": " +
                                   quoted_list(missing.data(), m));
    }
}

std::uint32_t to_u32(PyObject* obj) {
    unsigned long long value;
    if (PyLong_CheckExact(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        PyRef index(PyNumber_Index(obj));
        if (!index) {
            throw_python_error();
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw_python_error();
    }
    if (value > 0xFFFFFFFFull) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

std::string_view to_utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        throw_python_error();
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

namespace {

bool is_numpy_bool(PyObject* obj) {
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    const char* name = Py_TYPE(obj)->tp_name;  // "numpy.bool" or "numpy.bool_"
    std::string_view n(name);
    return n == "numpy.bool" || n == "numpy.bool_" || n == "bool" || n == "bool_";
}

}  // namespace

bool to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) {
        return obj == Py_True;
    }
    if (is_numpy_bool(obj)) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) {
            throw_python_error();
        }
        return truth != 0;
    }
    raise_cannot_convert(obj, "PyBool");
}

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) {
        return PyFloat_AS_DOUBLE(obj);
    }
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        throw_python_error();
    }
    return value;
}

std::span<const std::uint8_t> to_bytes_view(PyObject* obj) {
    if (!PyBytes_Check(obj)) {
        raise_cannot_convert(obj, "PyBytes");
    }
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(obj))};
}

}  // namespace quillmesh::py
