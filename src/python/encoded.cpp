#include "python/encoded.hpp"

#include <cstdint>

#include "large_pages.hpp"
#include "prefix/codec.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace quillmesh::py {

// The bytes object is allocated at an upper bound of the size and shrunk
// once written: one pass over the index instead of a sizing pass and a
// writing pass. A large allocation is mapped lazily and shrunk in place, so
// the unused room costs neither memory nor a copy.
PyObject* encoded_bytes(const Trie& trie) {
    const std::size_t bound = encoded_size_bound(trie);
    PyRef out(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound)));
    if (!out) {
        throw_python_error();
    }
    ask_for_large_pages(PyBytes_AS_STRING(out.get()), bound);
    const std::size_t size = encode_into(trie, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())));
    PyObject* bytes = out.release();
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) {
        throw_python_error();  // bytes was released and cleared
    }
    return bytes;
}

}  // namespace quillmesh::py
