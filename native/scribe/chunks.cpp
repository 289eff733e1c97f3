#include "scribe/chunks.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "scribe/state.hpp"
#include "scribe/streams.hpp"

namespace qm::scribe {
namespace {

// ---- get_chunks ------------------------------------------------------------------------------

struct ChunksObject {
    PyObject_HEAD
    PyObject *data;  // bytes; null once the closing empty chunk was given
    Py_ssize_t offset;
};

PyObject *chunks_next(PyObject *self) {
    auto *c = reinterpret_cast<ChunksObject *>(self);
    if (!c->data) return nullptr;
    const Py_ssize_t size = PyBytes_GET_SIZE(c->data);
    if (c->offset < size) {
        const Py_ssize_t take = std::min(kChunkSize, size - c->offset);
        PyObject *chunk = PyBytes_FromStringAndSize(PyBytes_AS_STRING(c->data) + c->offset, take);
        if (chunk) c->offset += take;
        return chunk;
    }
    Py_CLEAR(c->data);
    return Py_NewRef(S.empty_bytes);
}

void chunks_dealloc(PyObject *self) {
    Py_XDECREF(reinterpret_cast<ChunksObject *>(self)->data);
    PyObject_Free(self);
}

PyTypeObject ChunksType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.scribe.get_chunks_iterator",
    .tp_basicsize = sizeof(ChunksObject),
    .tp_dealloc = chunks_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The chunks of a body: slices of at most 61440 bytes, then an empty one.",
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = chunks_next,
};

// ---- write_chunks ----------------------------------------------------------------------------

// One chunk in chunked transfer coding: its length in hexadecimal, CR LF, the data, CR LF.
PyObject *frame_chunk(PyObject *chunk) {
    const Py_ssize_t n = PyBytes_GET_SIZE(chunk);
    char hex[16];
    const auto end = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long long>(n), 16).ptr;
    const Py_ssize_t digits = end - hex;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, digits + n + 4);
    if (!out) return nullptr;
    char *p = PyBytes_AS_STRING(out);
    std::memcpy(p, hex, size_t(digits));
    p += digits;
    *p++ = '\r';
    *p++ = '\n';
    std::memcpy(p, PyBytes_AS_STRING(chunk), size_t(n));
    p += n;
    *p++ = '\r';
    *p = '\n';
    return out;
}

AsyncGen write_chunks_body(Ref content) {
    Ref aiter = async_iter(Ref::steal(PyObject_CallMethodNoArgs(content.get(), S.n_get_parts)));
    if (!aiter) co_return Raised{};
    for (;;) {
        Ref chunk = co_await anext_(aiter.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        // A zero-length chunk is the end of a chunked body: the client would stop reading there.
        if (is_empty_chunk(chunk.get())) continue;
        Ref framed;
        if (PyBytes_Check(chunk.get()))
            framed = Ref::steal(frame_chunk(chunk.get()));
        else
            expected_type("bytes", chunk.get());
        chunk.reset();
        if (!framed || !(co_yield std::move(framed))) {
            Ref closed = co_await abandon_on_error(std::move(aiter));
            co_return Raised{};
        }
    }
    if (!(co_yield Ref::borrow(S.last_chunk))) co_return Raised{};
    co_return done;
}

}  // namespace

int ready_chunks_type() { return PyType_Ready(&ChunksType); }

PyObject *py_get_chunks(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"data"};
    PyObject *a[1] = {};
    if (!parse_args("get_chunks", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg(a[0], &PyBytes_Type, "data")) return nullptr;
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    ChunksObject *c = PyObject_New(ChunksObject, &ChunksType);
    if (!c) return nullptr;
    c->data = Py_NewRef(a[0]);
    c->offset = 0;
    return reinterpret_cast<PyObject *>(c);
}

PyObject *py_write_chunks(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"http_content"};
    PyObject *a[1] = {};
    if (!parse_args("write_chunks", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg_instance(a[0], S.content_type, "http_content")) return nullptr;
    return write_chunks_body(Ref::borrow(a[0])).release("write_chunks");
}

}  // namespace qm::scribe
