// PLACEHOLDER until the method's own work lands: binds arguments, then refuses.
#include "python/args.hpp"
#include "python/methods.hpp"
#include "python/signatures.hpp"

namespace quillmesh::py {

PyObject* fuzzy_match_video_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        bind_arguments(signatures::kFuzzyMatchVideo, args, nargs, kwnames, slots);
        raise(PyExc_NotImplementedError, "not implemented yet");
    });
}

}  // namespace quillmesh::py
