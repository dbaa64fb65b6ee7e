// Argument binding and conversion for the fast-call methods.
//
// A method's parameters are data: a Method lists each parameter once, with
// its name, its converter and its default (Required, Defaulted, OrNone).
// Method::bind() enforces the binding rules and their texts, written once
// for every method in bind_arguments(), then converts the arguments in
// parameter order and hands the body plain C++ values. The same table writes
// the method's doc text (signature line), so a default is written once.
// Everything here throws PythonError with the exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/errors.hpp"

namespace quillmesh::py {

// ---------------------------------------------------------------- converters
// Unprefixed messages; a converter is only called for an argument that was
// given (None included, where the parameter does not take None as absent).

// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// Integers go through the index protocol and must lie in 0..4294967295.
std::uint32_t to_u32(PyObject* obj);
// A str, as UTF-8 viewed inside the object (valid while obj lives).
std::string_view to_utf8(PyObject* obj);
// A bool (or a NumPy boolean).
bool to_bool(PyObject* obj);
// Anything float() accepts through the float protocol.
double to_double(PyObject* obj);
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

// ---------------------------------------------------------------- parameters

// What the generic binding needs to know of a parameter.
struct ParamName {
    const char* name;
    bool required;
};

// Fills slots[0 .. params.size()) with borrowed references to the given
// arguments, in parameter order; a parameter not given gets nullptr.
void bind_arguments(const char* full_name, std::span<const ParamName> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// A parameter that must be given.
template <class T>
struct Required {
    using Value = T;
    static constexpr bool required = true;
    const char* name;
    T (*convert)(PyObject*);

    Value from(PyObject* given) const { return convert_argument(name, given, convert); }
};

// A parameter whose default is a value (an unsigned integer); None given
// explicitly goes to the converter, which refuses it.
template <class T>
struct Defaulted {
    static_assert(std::is_unsigned_v<T>, "the doc text writes the default as an unsigned number");
    using Value = T;
    static constexpr bool required = false;
    const char* name;
    T (*convert)(PyObject*);
    T fallback;

    Value from(PyObject* given) const { return given == nullptr ? fallback : convert_argument(name, given, convert); }
};

// A parameter whose default is None; None given means the same as absent.
template <class T>
struct OrNone {
    using Value = std::optional<T>;
    static constexpr bool required = false;
    const char* name;
    T (*convert)(PyObject*);

    Value from(PyObject* given) const {
        if (given == nullptr || given == Py_None) {
            return std::nullopt;
        }
        return convert_argument(name, given, convert);
    }
};

template <class... Params>
struct Method {
    static constexpr std::size_t size = sizeof...(Params);

    constexpr Method(const char* full, Params... p)
        : full_name(full), params(p...), names{ParamName{p.name, Params::required}...} {}

    const char* full_name;  // "PrefixSearch.fuzzy_match"
    std::tuple<Params...> params;
    std::array<ParamName, size> names;

    // The given arguments, bound and converted in parameter order; the first
    // failure ends the call before any later argument is looked at.
    std::tuple<typename Params::Value...> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        PyObject* slots[size];
        bind_arguments(full_name, names, args, nargs, kwnames, slots);
        return convert_all(slots, std::index_sequence_for<Params...>());
    }

private:
    template <std::size_t... I>
    std::tuple<typename Params::Value...> convert_all(PyObject* const* slots, std::index_sequence<I...>) const {
        // A braced list is evaluated left to right: parameter order.
        return {std::get<I>(params).from(slots[I])...};
    }
};

// ---------------------------------------------------------------- doc text
// "{name}({p1}, {p2}={default}, ...)\n--\n\n": CPython exposes the part in
// parentheses as __text_signature__ and gives the method no doc string.

namespace doc_detail {

struct Writer {
    char* out;  // null: only count
    std::size_t size = 0;
    constexpr void put(char c) {
        if (out != nullptr) {
            out[size] = c;
        }
        ++size;
    }
    constexpr void put(const char* s) {
        while (*s != '\0') {
            put(*s++);
        }
    }
    template <class T>
    constexpr void put_number(T v) {
        char digits[24] = {};
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) {
            put(digits[--n]);
        }
    }
};

template <class T>
constexpr void put_param(Writer& w, const Required<T>& p) {
    w.put(p.name);
}
template <class T>
constexpr void put_param(Writer& w, const Defaulted<T>& p) {
    w.put(p.name);
    w.put('=');
    w.put_number(p.fallback);
}
template <class T>
constexpr void put_param(Writer& w, const OrNone<T>& p) {
    w.put(p.name);
    w.put("=None");
}

template <class M>
constexpr std::size_t write_doc(const M& m, char* out) {
    Writer w{out};
    const char* name = m.full_name;
    for (const char* s = m.full_name; *s != '\0'; ++s) {
        if (*s == '.') {
            name = s + 1;
        }
    }
    w.put(name);
    w.put('(');
    std::size_t i = 0;
    std::apply([&](const auto&... p) { ((w.put(i++ == 0 ? "" : ", "), put_param(w, p)), ...); }, m.params);
    w.put(")\n--\n\n");
    return w.size;
}

}  // namespace doc_detail

// The doc text of a Method with static storage, as a NUL-terminated array.
template <const auto& M>
inline constexpr auto doc_text = [] {
    std::array<char, doc_detail::write_doc(M, nullptr) + 1> out{};
    doc_detail::write_doc(M, out.data());
    return out;
}();

}  // namespace quillmesh::py
