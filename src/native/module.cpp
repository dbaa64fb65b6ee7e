// The package's private extension, quillmesh._native: work the package does
// in C++ on top of the core (checking a restored index, laying out rows).
// Each function lives in its own file beside this one (functions.hpp); this
// file holds only the method table and the module's initialisation. Failures
// are mapped as in the public extension, by the same code (python/errors.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "native/functions.hpp"

namespace quillmesh::native {

namespace {

PyMethodDef native_methods[] = {
    {"verify_tree", verify_tree, METH_O,
     "verify_tree(data, /)\n--\n\n"
     "Checks that serialized index bytes decode to a consistent tree; raises\n"
     "ValueError naming the first offending node, or the decode error."},
    {"score_typing_edits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(score_typing_edits)),
     METH_FASTCALL,
     "score_typing_edits(typo, words, costs, transpositions, /)\n--\n\n"
     "For each word of the list, (edit distance, priced cost) of typing it as\n"
     "typo; costs holds the 12 prices of quillmesh.typing_model."},
    {nullptr, nullptr, 0, nullptr},
};

// The package cannot run in a second interpreter (its public extension
// refuses one), and the error mapping keeps process-wide state: say so, where
// the interpreter asks.
int exec_native(PyObject* module) { return add_rows_type(module); }

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "quillmesh._native",
    "Private helpers of the quillmesh package; not a public interface.",
    0,
    native_methods,
    native_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quillmesh::native

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&quillmesh::native::native_module);
}
