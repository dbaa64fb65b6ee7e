// quillmesh._native.Rows: rows gathered in C++ and laid out by the core
// (prefix/row_layout.hpp), for the command line's build of large files.
//
//     rows = Rows()
//     rows.add(iterable)                # (term, video_id, count) rows, as quillmesh.layout takes them
//     rows.add_lines(chunk, parse_line) # the bytes of a rows file, any split into chunks
//     rows.end_lines(parse_line)        # the file's last line, if it has no newline
//     rows.lay_out()                    # -> (terms, nodes, videos, id kind or None)
//     rows.layout()                     # -> the five lists of quillmesh.layout
//     rows.build(video_top_n)           # merges the payloads -> the index's size in bytes
//     rows.write(consume)               # consume(piece) for each piece of the index bytes (what to_bytes gives)
//     rows.term_counts()                # -> (the counts, 4 bytes each little-endian, the terms joined by U+0000)
//
// The result is exactly quillmesh.layout's, and so are the faults: rows the
// C++ side cannot read with certainty go through the package's own helpers
// (quillmesh.builder), which convert them or raise; the faults that depend on
// earlier rows are found here and worded by the builder's functions. A file
// line the quick reader leaves (prefix/tsv_row.hpp) goes to `parse_line`,
// which returns its row or raises. `line` is the number of the line last
// read, so a caller can say where a fault is.
//
// A Rows is used by one call at a time (a callback that reaches back into it
// gets RuntimeError), and one that has refused a row or been interrupted
// refuses any further use.
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "native/functions.hpp"

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include "prefix/codec.hpp"
#include "prefix/row_layout.hpp"
#include "prefix/tsv_row.hpp"
#include "python/buffer.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace quillmesh::native {

namespace {

using py::PyRef;
using py::throw_python_error;

enum class Stage { Gathering, LaidOut, Built, Written };

struct State {
    RowLayout layout;
    std::optional<LaidOutRows> laid;
    std::string pending;  // a line cut by the end of a chunk
    std::size_t line = 0;
    std::size_t laid_rows = 0;  // the rows, once laid out
    Stage stage = Stage::Gathering;
    bool busy = false;
    bool refused = false;
};

struct RowsObject {
    PyObject_HEAD
    State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<RowsObject*>(self)->state; }

// A call's hold on the object: one at a time; any failure spoils it.
class Use {
public:
    Use(PyObject* self, Stage needed) : state_(state_of(self)) {
        if (state_.busy) {
            py::raise(PyExc_RuntimeError, "Rows is already in use by a call in progress");
        }
        if (state_.refused) {
            py::raise(PyExc_RuntimeError, "Rows refused a row earlier and cannot be used further");
        }
        if (state_.stage != needed) {
            py::raise(PyExc_RuntimeError, needed == Stage::Gathering ? "the rows have already been laid out"
                                          : needed == Stage::LaidOut ? "lay_out() has not been called, or build() has"
                                          : needed == Stage::Built   ? "build() has not been called, or write() has"
                                                                     : "write() has not been called");
        }
        state_.busy = true;
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() {
        state_.busy = false;
        if (std::uncaught_exceptions() > 0) {
            state_.refused = true;
        }
    }
    State& state() { return state_; }

private:
    State& state_;
};

// Hands freed memory back to the system between phases: the next phase's
// peak then does not sit on top of the last one's leftovers.
void give_back_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// quillmesh.builder's function `name` called with `args`: a new reference.
template <class... Args>
PyRef call_builder(const char* name, const char* format, Args... args) {
    PyRef builder(PyImport_ImportModule("quillmesh.builder"));
    if (!builder) {
        throw_python_error();
    }
    PyRef function(PyObject_GetAttrString(builder.get(), name));
    if (!function) {
        throw_python_error();
    }
    PyRef result(PyObject_CallFunction(function.get(), format, args...));
    if (!result) {
        throw_python_error();
    }
    return result;
}

[[noreturn]] void raise_instance(PyRef exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw py::PythonError{};
}

const char* kind_name(IdKind kind) { return kind == IdKind::Int32 ? "int32" : "uuid"; }

// A row's video as the row gave it, for the text of a fault.
PyRef video_object(const VideoKey& key) {
    if (key.kind == IdKind::Int32) {
        return PyRef(PyLong_FromUnsignedLong(key.number));
    }
    PyRef uuid(PyImport_ImportModule("uuid"));
    if (!uuid) {
        throw_python_error();
    }
    PyRef bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key.uuid.data()), 16));
    PyRef cls(bytes ? PyObject_GetAttrString(uuid.get(), "UUID") : nullptr);
    PyRef none_args(cls ? PyTuple_New(0) : nullptr);
    PyRef kwargs(none_args ? Py_BuildValue("{sO}", "bytes", bytes.get()) : nullptr);
    PyRef made(kwargs ? PyObject_Call(cls.get(), none_args.get(), kwargs.get()) : nullptr);
    if (!made) {
        throw_python_error();
    }
    return made;
}

PyRef text_object(std::string_view utf8) {
    PyRef text(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    if (!text) {
        throw_python_error();
    }
    return text;
}

// Words a fault with the builder's own texts. `term` and `video` are the
// row's objects when it came from Python (else null: made from the fault).
[[noreturn]] void raise_row_fault(const RowFault& fault, PyObject* term, PyObject* video, const VideoKey& key) {
    const auto row = static_cast<Py_ssize_t>(fault.row);
    switch (fault.kind) {
        case RowFault::Kind::MixedIds:
            raise_instance(call_builder("_mixed_ids", "nssn", row, kind_name(fault.row_kind),
                                        kind_name(fault.index_kind), static_cast<Py_ssize_t>(fault.first_row)));
        case RowFault::Kind::BadNewTerm: {
            PyRef made = term == nullptr ? text_object(fault.term) : PyRef::borrow(term);
            call_builder("_check_new_term", "nO", row, made.get());
            py::raise(PyExc_SystemError, "a term refused by the layout passed the builder's check");
        }
        case RowFault::Kind::PairOverflow: {
            PyRef made_term = term == nullptr ? text_object(fault.term) : PyRef::borrow(term);
            PyRef made_video = video == nullptr ? video_object(key) : PyRef::borrow(video);
            raise_instance(call_builder("_pair_overflow", "nOOK", row, made_term.get(), made_video.get(),
                                        static_cast<unsigned long long>(fault.total)));
        }
        case RowFault::Kind::TermOverflow:
            raise_instance(call_builder("_term_overflow", "NK", text_object(fault.term).release(),
                                        static_cast<unsigned long long>(fault.total)));
    }
    py::raise(PyExc_SystemError, "unknown row fault");
}

// An exact int in 0..4294967295, read without a call; false otherwise.
bool plain_u32(PyObject* obj, std::uint32_t& out) {
    if (!PyLong_CheckExact(obj)) {
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) {
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

std::uint32_t to_u32_checked(PyObject* obj) {
    std::uint32_t v = 0;
    if (!plain_u32(obj, v)) {
        py::raise(PyExc_SystemError, "the builder gave a number outside 0..4294967295");
    }
    return v;
}

// The video key the builder gives for an id the quick path does not take.
VideoKey builder_video_key(Py_ssize_t row, PyObject* video) {
    PyRef pair = call_builder("_video_key", "nO", row, video);
    PyObject* kind = PyTuple_GetItem(pair.get(), 0);
    PyObject* value = PyTuple_GetItem(pair.get(), 1);
    if (kind == nullptr || value == nullptr) {
        throw_python_error();
    }
    VideoKey key;
    if (PyUnicode_CompareWithASCIIString(kind, "int32") == 0) {
        key.kind = IdKind::Int32;
        key.number = to_u32_checked(value);
    } else if (PyBytes_Check(value) && PyBytes_GET_SIZE(value) == 16) {
        key.kind = IdKind::Uuid;
        std::memcpy(key.uuid.data(), PyBytes_AS_STRING(value), 16);
    } else {
        py::raise(PyExc_SystemError, "the builder gave an unknown video key");
    }
    return key;
}

// One row as quillmesh.layout takes it, checked in the builder's order: its
// items, the term's type, the video id, the id kind, the count, the term's
// text (when new), the (term, video) sum.
void add_python_row(State& s, PyObject* entry) {
    const std::size_t row = s.layout.rows();
    const auto prow = static_cast<Py_ssize_t>(row);
    PyRef items;
    if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 3) {
        items = PyRef::borrow(entry);
    } else {
        items = call_builder("_row_items", "nO", prow, entry);
    }
    PyRef term = PyRef::borrow(PyTuple_GET_ITEM(items.get(), 0));
    PyObject* video = PyTuple_GET_ITEM(items.get(), 1);
    PyObject* count_obj = PyTuple_GET_ITEM(items.get(), 2);
    if (!PyUnicode_CheckExact(term.get())) {
        term = call_builder("_check_str", "nO", prow, term.get());
    }
    VideoKey key;
    if (plain_u32(video, key.number)) {
        key.kind = IdKind::Int32;
    } else {
        key = builder_video_key(prow, video);
    }
    try {
        s.layout.check_kind(key.kind, row);
    } catch (const RowFault& fault) {
        raise_row_fault(fault, term.get(), video, key);
    }
    std::uint32_t count = 0;
    if (!plain_u32(count_obj, count)) {
        count = to_u32_checked(call_builder("_count", "nO", prow, count_obj).get());
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(term.get(), &size);
    if (utf8 == nullptr) {
        // Not encodable (a lone surrogate): such a term is never stored, so
        // it is new, and the builder's check refuses it.
        PyErr_Clear();
        raise_row_fault(RowFault(RowFault::Kind::BadNewTerm), term.get(), video, key);
    }
    try {
        s.layout.add(std::string_view(utf8, static_cast<std::size_t>(size)), key, count, row);
    } catch (RowFault& fault) {
        fault.row = row;
        raise_row_fault(fault, term.get(), video, key);
    }
}

// One line of a rows file (without its newline).
void add_line(State& s, std::string_view line, PyObject* parse_line) {
    ++s.line;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    if (line.empty()) {
        return;
    }
    TsvRow quick;
    if (read_tsv_row(line, quick)) {
        const std::size_t row = s.layout.rows();
        try {
            s.layout.check_kind(quick.video.kind, row);
            s.layout.add(quick.term, quick.video, quick.count, row);
        } catch (const RowFault& fault) {
            raise_row_fault(fault, nullptr, nullptr, quick.video);
        }
        return;
    }
    PyRef raw(PyBytes_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
    if (!raw) {
        throw_python_error();
    }
    PyRef parsed(PyObject_CallOneArg(parse_line, raw.get()));
    if (!parsed) {
        throw_python_error();
    }
    add_python_row(s, parsed.get());
}

// -- methods --------------------------------------------------------------

PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Rows() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    reinterpret_cast<RowsObject*>(self)->state = new (std::nothrow) State();
    if (reinterpret_cast<RowsObject*>(self)->state == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

void rows_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RowsObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* rows_add(PyObject* self, PyObject* iterable) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::Gathering);
        PyRef iterator(PyObject_GetIter(iterable));
        if (!iterator) {
            throw_python_error();
        }
        while (PyRef entry{PyIter_Next(iterator.get())}) {
            add_python_row(use.state(), entry.get());
        }
        if (PyErr_Occurred()) {
            throw_python_error();
        }
        Py_RETURN_NONE;
    });
}

PyObject* rows_add_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 2) {
            py::raise(PyExc_TypeError, "add_lines(chunk, parse_line) takes 2 arguments");
        }
        Use use(self, Stage::Gathering);
        State& s = use.state();
        // The chunk is read where it lies; parse_line, which may run any
        // Python code, is only ever handed a copy of one line.
        const py::BufferView view(args[0]);
        const std::string_view chunk(reinterpret_cast<const char*>(view.bytes().data()), view.bytes().size());
        std::size_t at = 0;
        while (at < chunk.size()) {
            const std::size_t newline = chunk.find('\n', at);
            if (newline == std::string_view::npos) {
                s.pending.append(chunk.substr(at));
                break;
            }
            if (s.pending.empty()) {
                add_line(s, chunk.substr(at, newline - at), args[1]);
            } else {
                s.pending.append(chunk.substr(at, newline - at));
                const std::string line = std::move(s.pending);
                s.pending.clear();
                add_line(s, line, args[1]);
            }
            at = newline + 1;
        }
        Py_RETURN_NONE;
    });
}

PyObject* rows_end_lines(PyObject* self, PyObject* parse_line) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::Gathering);
        State& s = use.state();
        if (!s.pending.empty()) {
            const std::string line = std::move(s.pending);
            s.pending.clear();
            add_line(s, line, parse_line);
        }
        Py_RETURN_NONE;
    });
}

PyObject* rows_lay_out(PyObject* self, PyObject*) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::Gathering);
        State& s = use.state();
        if (!s.pending.empty()) {
            py::raise(PyExc_RuntimeError, "the last line is still pending: call end_lines() first");
        }
        s.laid_rows = s.layout.rows();
        try {
            s.laid = s.layout.finish();
        } catch (const RowFault& fault) {
            raise_row_fault(fault, nullptr, nullptr, VideoKey{});
        }
        give_back_freed_memory();
        s.stage = Stage::LaidOut;
        const Trie& trie = s.laid->trie;
        const bool int_ids = trie.id_mode == IdMode::Int32;
        const std::size_t videos = int_ids ? trie.video_int_ids.size() : trie.video_uuids.size();
        return Py_BuildValue("nnnz", static_cast<Py_ssize_t>(s.laid->term_count),
                             static_cast<Py_ssize_t>(trie.node_count()), static_cast<Py_ssize_t>(videos),
                             videos == 0 ? nullptr : int_ids ? "int32" : "uuid");
    });
}

template <class Seq, class Make>
PyRef list_of(const Seq& seq, std::size_t size, Make&& make) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) {
        throw_python_error();
    }
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = make(seq, i);
        if (item == nullptr) {
            throw_python_error();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* u32_item(const std::vector<std::uint32_t>& v, std::size_t i) { return PyLong_FromUnsignedLong(v[i]); }

PyObject* rows_layout(PyObject* self, PyObject*) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::LaidOut);
        const Trie& trie = use.state().laid->trie;
        const std::size_t n = trie.node_count();
        PyRef shifts = list_of(trie.node_shifts, n, u32_item);
        PyRef labels = list_of(trie.child_labels, n, [](const std::vector<char32_t>& v, std::size_t i) {
            Py_UCS4 c = static_cast<Py_UCS4>(v[i]);
            return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, &c, c == 0 ? 0 : 1);
        });
        PyRef payloads = list_of(trie.payloads, n, [](const PayloadTable& table, std::size_t i) -> PyObject* {
            const std::optional<Payload> p = table.get(i);
            if (!p) {
                Py_RETURN_NONE;
            }
            PyRef ids(PyList_New(0));
            PyRef counts(PyList_New(0));
            if (!ids || !counts) {
                return nullptr;
            }
            for (std::size_t k = 0; k < p->video_ids.size(); ++k) {
                PyRef id(PyLong_FromUnsignedLong(p->video_ids[k]));
                PyRef count(PyLong_FromUnsignedLong(p->video_counts[k]));
                if (!id || !count || PyList_Append(ids.get(), id.get()) < 0 ||
                    PyList_Append(counts.get(), count.get()) < 0) {
                    return nullptr;
                }
            }
            return Py_BuildValue("(kOO)", static_cast<unsigned long>(p->total_count), ids.get(), counts.get());
        });
        PyRef transitions = list_of(trie.child_transitions, trie.child_transitions.size(), u32_item);
        const bool int_ids = trie.id_mode == IdMode::Int32;
        PyRef videos = int_ids ? list_of(trie.video_int_ids, trie.video_int_ids.size(),
                                         [](const std::vector<std::uint32_t>& v, std::size_t i) {
                                             const std::uint32_t x = v[i];
                                             const char b[4] = {static_cast<char>(x), static_cast<char>(x >> 8),
                                                                static_cast<char>(x >> 16),
                                                                static_cast<char>(x >> 24)};
                                             return PyBytes_FromStringAndSize(b, 4);
                                         })
                               : list_of(trie.video_uuids, trie.video_uuids.size(),
                                         [](const std::vector<Uuid>& v, std::size_t i) {
                                             return PyBytes_FromStringAndSize(
                                                 reinterpret_cast<const char*>(v[i].data()), 16);
                                         });
        return PyTuple_Pack(5, shifts.get(), labels.get(), payloads.get(), transitions.get(), videos.get());
    });
}

PyObject* rows_build(PyObject* self, PyObject* top_n) {
    return py::guarded([&]() -> PyObject* {
        std::uint32_t video_top_n = 0;
        if (!plain_u32(top_n, video_top_n)) {
            py::raise(PyExc_TypeError, "video_top_n must be an int in 0..4294967295");
        }
        Use use(self, Stage::LaidOut);
        State& s = use.state();
        s.laid->trie.propagate(video_top_n);
        give_back_freed_memory();
        s.stage = Stage::Built;
        return PyLong_FromSize_t(encoded_size(s.laid->trie));
    });
}

// Hands each piece to a Python callable, as a bytes object of its own (no
// view of the buffer, which the next piece overwrites, can outlive the call).
class CallSink final : public ByteSink {
public:
    explicit CallSink(PyObject* consume) : consume_(consume) {}
    void write(const std::uint8_t* data, std::size_t size) override {
        PyRef piece(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
        PyRef ignored(piece ? PyObject_CallOneArg(consume_, piece.get()) : nullptr);
        if (!ignored) {
            throw_python_error();
        }
    }

private:
    PyObject* consume_;
};

PyObject* rows_write(PyObject* self, PyObject* consume) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::Built);
        State& s = use.state();
        CallSink sink(consume);
        const std::size_t written = encode_to(s.laid->trie, sink);
        // Only the term counts are still needed.
        s.laid->trie = Trie();
        give_back_freed_memory();
        s.stage = Stage::Written;
        return PyLong_FromSize_t(written);
    });
}

PyObject* rows_term_counts(PyObject* self, PyObject*) {
    return py::guarded([&]() -> PyObject* {
        Use use(self, Stage::Written);
        const LaidOutRows& laid = *use.state().laid;
        PyRef counts(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(4 * laid.term_totals.size())));
        if (!counts) {
            throw_python_error();
        }
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(counts.get()));
        for (const std::uint32_t c : laid.term_totals) {
            *out++ = static_cast<unsigned char>(c);
            *out++ = static_cast<unsigned char>(c >> 8);
            *out++ = static_cast<unsigned char>(c >> 16);
            *out++ = static_cast<unsigned char>(c >> 24);
        }
        PyRef terms(PyBytes_FromStringAndSize(laid.terms.data(), static_cast<Py_ssize_t>(laid.terms.size())));
        if (!terms) {
            throw_python_error();
        }
        return PyTuple_Pack(2, counts.get(), terms.get());
    });
}

PyObject* rows_get_rows(PyObject* self, void*) {
    const State& s = state_of(self);
    return PyLong_FromSize_t(s.stage == Stage::Gathering ? s.layout.rows() : s.laid_rows);
}

PyObject* rows_get_line(PyObject* self, void*) { return PyLong_FromSize_t(state_of(self).line); }

// Set by a caller that read lines itself (a header), so that numbers go on.
int rows_set_line(PyObject* self, PyObject* value, void*) {
    State& s = state_of(self);
    if (value == nullptr || !PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "line must be an int");
        return -1;
    }
    const Py_ssize_t line = PyLong_AsSsize_t(value);
    if (line < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "line must not be negative");
        }
        return -1;
    }
    if (s.busy || s.stage != Stage::Gathering) {
        PyErr_SetString(PyExc_RuntimeError, "line can only be set while rows are read");
        return -1;
    }
    s.line = static_cast<std::size_t>(line);
    return 0;
}

PyMethodDef rows_methods[] = {
    {"add", rows_add, METH_O, "add(rows, /)\n--\n\nAdds (term, video_id, count) rows."},
    {"add_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rows_add_lines)), METH_FASTCALL,
     "add_lines(chunk, parse_line, /)\n--\n\nAdds the rows of the next bytes of a rows file."},
    {"end_lines", rows_end_lines, METH_O, "end_lines(parse_line, /)\n--\n\nAdds the file's last line."},
    {"lay_out", rows_lay_out, METH_NOARGS,
     "lay_out($self, /)\n--\n\nLays the rows out; returns (terms, nodes, videos, id kind)."},
    {"layout", rows_layout, METH_NOARGS, "layout($self, /)\n--\n\nThe five lists of quillmesh.layout."},
    {"build", rows_build, METH_O,
     "build(video_top_n, /)\n--\n\nMerges the payloads; returns the size of the index in bytes."},
    {"write", rows_write, METH_O,
     "write(consume, /)\n--\n\nHands the index bytes (what to_bytes gives) to consume, piece by piece."},
    {"term_counts", rows_term_counts, METH_NOARGS,
     "term_counts($self, /)\n--\n\n(counts, terms): 4-byte counts and the terms joined by U+0000."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rows_getset[] = {
    {"rows", rows_get_rows, nullptr, "the rows added so far", nullptr},
    {"line", rows_get_line, rows_set_line, "the number of the line last read", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rows_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rows_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
    {Py_tp_methods, rows_methods},
    {Py_tp_getset, rows_getset},
    {Py_tp_doc, const_cast<char*>("Rows gathered and laid out in C++, as quillmesh.layout lays them out.")},
    {0, nullptr},
};

PyType_Spec rows_spec = {
    "quillmesh._native.Rows",
    static_cast<int>(sizeof(RowsObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    rows_slots,
};

}  // namespace

int add_rows_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &rows_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    const int rc = PyModule_AddObjectRef(module, "Rows", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace quillmesh::native
