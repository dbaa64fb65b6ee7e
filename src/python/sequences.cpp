#include "python/sequences.hpp"

#include <string>

#include "python/args.hpp"
#include "python/errors.hpp"

namespace quillmesh::py {

namespace {

// to_u32 with the common case inline: a small non-negative exact int is read
// straight from the object; everything else (subclasses, __index__, negative
// or large values and their errors) goes through to_u32.
inline std::uint32_t item_to_u32(PyObject* item) {
    if (PyLong_CheckExact(item)) {
#if PY_VERSION_HEX >= 0x030C0000
        auto* v = reinterpret_cast<PyLongObject*>(item);
        if (PyUnstable_Long_IsCompact(v)) {
            const Py_ssize_t value = PyUnstable_Long_CompactValue(v);
            if (value >= 0 && value <= Py_ssize_t{0xFFFFFFFF}) {
                return static_cast<std::uint32_t>(value);
            }
        }
#else
        auto* v = reinterpret_cast<PyLongObject*>(item);
        const Py_ssize_t size = Py_SIZE(item);
        if (size == 0) {
            return 0;
        }
        if (size == 1) {
            return static_cast<std::uint32_t>(v->ob_digit[0]);
        }
        if (size == 2 && PyLong_SHIFT == 30) {
            const std::uint64_t value = std::uint64_t{v->ob_digit[0]} | std::uint64_t{v->ob_digit[1]} << 30;
            if (value <= 0xFFFFFFFFull) {
                return static_cast<std::uint32_t>(value);
            }
        }
#endif
        return to_u32(item);  // runs no Python code for an exact int
    }
    // __index__ may run Python code that drops the container's reference.
    PyRef hold = PyRef::borrow(item);
    return to_u32(item);
}

// Calls visit(item) for each item, borrowed. visit must hold its own reference
// across anything that can run Python code (done in item_to_u32).
template <class Visit>
void for_each_item(PyObject* seq, Visit&& visit) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            visit(PyList_GET_ITEM(seq, i));
        }
    } else if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            visit(PyTuple_GET_ITEM(seq, i));
        }
    } else {
        PyRef it(PyObject_GetIter(seq));
        if (!it) {
            throw_python_error();
        }
        while (PyObject* raw = PyIter_Next(it.get())) {
            PyRef item(raw);
            visit(item.get());
        }
        if (PyErr_Occurred()) {
            throw_python_error();
        }
    }
}

// Number of items to reserve for: only lists and tuples say it truthfully.
std::size_t size_hint(PyObject* seq) {
    if (PyList_CheckExact(seq)) {
        return static_cast<std::size_t>(PyList_GET_SIZE(seq));
    }
    if (PyTuple_CheckExact(seq)) {
        return static_cast<std::size_t>(PyTuple_GET_SIZE(seq));
    }
    return 0;
}

// The raw bytes of an exact bytes or bytearray object, whose items are these
// byte values; false for anything else.
bool byte_buffer(PyObject* obj, const std::uint8_t*& data, std::size_t& size) {
    if (PyBytes_CheckExact(obj)) {
        data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        size = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
        return true;
    }
    if (PyByteArray_CheckExact(obj)) {
        data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        size = static_cast<std::size_t>(PyByteArray_GET_SIZE(obj));
        return true;
    }
    return false;
}

char32_t label_of(PyObject* item) {
    if (!PyUnicode_Check(item)) {
        raise_cannot_convert(item, "PyString");
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(item) < 0) {
        throw_python_error();
    }
#endif
    const Py_ssize_t len = PyUnicode_GET_LENGTH(item);
    if (PyUnicode_KIND(item) != PyUnicode_1BYTE_KIND) {
        // A string holding a surrogate has no UTF-8 form and is refused with
        // the codec's own error, wherever the surrogate sits.
        const int kind = PyUnicode_KIND(item);
        const void* data = PyUnicode_DATA(item);
        for (Py_ssize_t i = 0; i < len; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
            if (ch >= 0xD800 && ch <= 0xDFFF) {
                Py_ssize_t size = 0;
                if (PyUnicode_AsUTF8AndSize(item, &size) == nullptr) {
                    throw_python_error();
                }
                break;
            }
        }
    }
    return len == 0 ? U'\0' : static_cast<char32_t>(PyUnicode_READ_CHAR(item, 0));
}

std::uint8_t item_to_u8(PyObject* item) {
    const std::uint32_t value = item_to_u32(item);
    if (value > 0xFF) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace

void require_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
    }
}

void append_u32s(PyObject* obj, std::vector<std::uint32_t>& out) {
    require_sequence(obj);
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (byte_buffer(obj, data, size)) {
        out.insert(out.end(), data, data + size);
        return;
    }
    out.reserve(out.size() + size_hint(obj));
    for_each_item(obj, [&](PyObject* item) { out.push_back(item_to_u32(item)); });
}

std::vector<std::uint32_t> to_u32_vector(PyObject* obj) {
    std::vector<std::uint32_t> out;
    append_u32s(obj, out);
    return out;
}

std::vector<char32_t> to_label_vector(PyObject* obj) {
    require_sequence(obj);
    std::vector<char32_t> out;
    out.reserve(size_hint(obj));
    for_each_item(obj, [&](PyObject* item) { out.push_back(label_of(item)); });
    return out;
}

PyRef to_item_tuple(PyObject* obj) {
    require_sequence(obj);
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        PyRef items(PySequence_Tuple(obj));
        if (!items) {
            throw_python_error();
        }
        return items;
    }
    // Collected as they arrive: the interpreter's own tuple() would size
    // itself first from the length the object claims.
    PyRef list(PyList_New(0));
    if (!list) {
        throw_python_error();
    }
    for_each_item(obj, [&](PyObject* item) {
        if (PyList_Append(list.get(), item) < 0) {
            throw_python_error();
        }
    });
    PyRef items(PyList_AsTuple(list.get()));
    if (!items) {
        throw_python_error();
    }
    return items;
}

ByteEntries to_byte_entries(PyObject* obj) {
    require_sequence(obj);
    ByteEntries out;
    out.widths.reserve(size_hint(obj));
    for_each_item(obj, [&](PyObject* entry) {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        if (byte_buffer(entry, data, size)) {
            out.bytes.insert(out.bytes.end(), data, data + size);
            out.widths.push_back(size);
            return;
        }
        // The entry may be iterated by Python code that drops the outer
        // sequence's reference to it.
        PyRef hold = PyRef::borrow(entry);
        require_sequence(entry);
        const std::size_t before = out.bytes.size();
        for_each_item(entry, [&](PyObject* item) { out.bytes.push_back(item_to_u8(item)); });
        out.widths.push_back(out.bytes.size() - before);
    });
    return out;
}

}  // namespace quillmesh::py
