// Argument binding and conversion for the fast-call methods. A method's
// parameters are data (Signature); bind_arguments() enforces the binding rules
// and their texts once for every method; the converters turn Python values
// into C++ values. All of them throw PythonError with the exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/errors.hpp"

namespace quillmesh::py {

struct Param {
    const char* name;
    bool required;
};

struct Signature {
    const char* full_name;  // "PrefixSearch.fuzzy_match"
    std::span<const Param> params;
};

constexpr std::size_t kMaxParams = 8;

// Fills slots[0 .. params.size()) with borrowed references to the given
// arguments, in parameter order; a parameter not given gets nullptr.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);

// Converters (unprefixed messages). Integers go through the index protocol and
// must lie in 0..4294967295.
std::uint32_t to_u32(PyObject* obj);
// nullptr or None: absent.
std::optional<std::uint32_t> to_optional_u32(PyObject* obj);
// A str, as UTF-8 viewed inside the object (valid while obj lives).
std::string_view to_utf8(PyObject* obj);
// A bool (or a NumPy boolean); nullptr or None: absent.
std::optional<bool> to_optional_bool(PyObject* obj);
// Anything float() accepts through the float protocol; nullptr or None: absent.
std::optional<double> to_optional_double(PyObject* obj);
// A bytes object (or subclass), viewed without copying.
std::span<const std::uint8_t> to_bytes_view(PyObject* obj);

// Runs convert(obj) for the parameter `name`; a TypeError it raises is
// reworded "argument '{name}': ...", other errors pass unchanged.
template <class Convert>
auto convert_argument(const char* name, PyObject* obj, Convert&& convert) -> decltype(convert(obj)) {
    try {
        return convert(obj);
    } catch (const PythonError&) {
        reword_type_error(name);
        throw;
    }
}

}  // namespace quillmesh::py
