// verify_tree(data): decodes a serialized index from any bytes-like object and
// checks that it is consistent and a tree (prefix/tree_check.hpp); returns
// None, or raises ValueError "node N: <problem>" for the first offending node
// and the decoder's ValueError for bytes that do not decode.
#include "native/functions.hpp"

#include "prefix/codec.hpp"
#include "prefix/tree_check.hpp"
#include "python/buffer.hpp"
#include "python/errors.hpp"

namespace quillmesh::native {

PyObject* verify_tree(PyObject*, PyObject* data) {
    return py::guarded([&]() -> PyObject* {
        Trie trie;
        {
            // Decoding runs no Python code, so the view cannot change under it.
            const py::BufferView view(data);
            trie = decode(view.bytes());
        }
        check_tree(trie);
        Py_RETURN_NONE;
    });
}

}  // namespace quillmesh::native
