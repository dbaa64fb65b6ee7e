// Module initialisation, the PrefixSearch type, its method table, and the two
// byte-format methods (to_bytes, from_bytes). The other methods live in their
// own files (methods.hpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "prefix/codec.hpp"
#include "prefix/derived.hpp"
#include "prefix/load.hpp"
#include "python/args.hpp"
#include "python/encoded.hpp"
#include "python/errors.hpp"
#include "python/methods.hpp"
#include "python/pyref.hpp"
#include "python/signatures.hpp"

namespace quillmesh::py {

namespace {

struct PrefixSearchObject {
    PyObject_HEAD
    SearchIndex index;
    std::atomic<std::int64_t> shared_borrows;
};

PyTypeObject* prefix_search_type = nullptr;  // created once per process

void prefix_search_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<PrefixSearchObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    obj->index.~SearchIndex();
    obj->shared_borrows.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* prefix_search_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

PyObject* to_bytes_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(self);
        return encoded_bytes(borrow.trie());
    });
}

PyObject* from_bytes_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto [bytes] = signatures::kFromBytes.bind(args, nargs, kwnames);
        PyObject* result = new_prefix_search(load_index(bytes));
        if (result == nullptr) {
            throw_python_error();
        }
        return result;
    });
}

PyMethodDef prefix_search_methods[] = {
    {"from_internal_data_v2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_internal_data_v2_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc_text<signatures::kFromInternalDataV2>.data()},
    {"to_bytes", to_bytes_method, METH_NOARGS, signatures::kToBytesDoc},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc_text<signatures::kFromBytes>.data()},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_method)),
     METH_FASTCALL | METH_KEYWORDS, doc_text<signatures::kFuzzyMatch>.data()},
    {"fuzzy_match_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_video_method)),
     METH_FASTCALL | METH_KEYWORDS, doc_text<signatures::kFuzzyMatchVideo>.data()},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot prefix_search_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(prefix_search_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(prefix_search_new)},
    {Py_tp_methods, prefix_search_methods},
    {0, nullptr},
};

PyType_Spec prefix_search_spec = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    prefix_search_slots,
};

PyTypeObject* ensure_type() {
    if (prefix_search_type == nullptr) {
        prefix_search_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&prefix_search_spec));
    }
    return prefix_search_type;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quillmesh",
    "",
    // 0, not -1: on re-import CPython then calls the init function again
    // (instead of copying a saved namespace into a new module object), and the
    // init function hands back the cached module, so the object is identical.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* cached_module = nullptr;
std::atomic<std::int64_t> owner_interpreter{-1};

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_quillmesh does not support subinterpreters: it is already "
                        "initialised in another interpreter of this process");
        return nullptr;
    }
    if (cached_module != nullptr) {
        Py_INCREF(cached_module);
        return cached_module;
    }
    PyRef module(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    PyTypeObject* type = ensure_type();
    if (type == nullptr) {
        return nullptr;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(module.get(), "PrefixSearch", reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyRef all(PyObject_GetAttrString(module.get(), "__all__"));
    if (!all) {
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
            return nullptr;
        }
    }
    PyRef name(PyUnicode_FromString("PrefixSearch"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) {
        return nullptr;
    }
    cached_module = module.get();
    Py_INCREF(cached_module);
    return module.release();
}

}  // namespace

PyObject* new_prefix_search(Trie&& trie) {
    // The derived form first: if it cannot be built (std::bad_alloc, raised
    // as MemoryError), no instance exists.
    return new_prefix_search(SearchIndex(std::move(trie)));
}

PyObject* new_prefix_search(SearchIndex&& index) {
    PyTypeObject* type = ensure_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* obj = reinterpret_cast<PrefixSearchObject*>(self);
    static_assert(std::is_nothrow_move_constructible_v<SearchIndex>);
    new (&obj->index) SearchIndex(std::move(index));
    new (&obj->shared_borrows) std::atomic<std::int64_t>(0);
    return self;
}

const SearchIndex& index_of(PyObject* self) noexcept {
    return reinterpret_cast<PrefixSearchObject*>(self)->index;
}

// Every call holds the interpreter lock throughout, so the count is changed
// by a plain read and write rather than a locked instruction.
SharedBorrow::SharedBorrow(PyObject* self) noexcept : self_(self) {
    auto& count = reinterpret_cast<PrefixSearchObject*>(self_)->shared_borrows;
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

SharedBorrow::~SharedBorrow() {
    auto& count = reinterpret_cast<PrefixSearchObject*>(self_)->shared_borrows;
    count.store(count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

}  // namespace quillmesh::py

PyMODINIT_FUNC PyInit__quillmesh(void) {
    return quillmesh::py::init_module();
}
