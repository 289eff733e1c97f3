// A Response through an RSGI protocol: its headers as text pairs (no content headers are added:
// the server frames the body), then one call of response_empty, response_bytes or response_str,
// or for a stream response_stream and a send per chunk.
//
// A streamed content that declares its length also gets Content-Length, so that a stream that
// fails part way ends a body the client knows to be short; a chunked stream cannot be cut off
// through the protocol, whose transport always closes the body properly.
#include <Python.h>

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "scribe/content_headers.hpp"
#include "scribe/rsgi.hpp"
#include "scribe/state.hpp"
#include "scribe/streams.hpp"
#include "scribe/wire.hpp"

namespace qm::scribe {
namespace {

// A response header name or value as text: bytes from `table` or decoded as UTF-8, text as it
// is, anything else as its str(). CR, LF and NUL are refused (`header` names the header in the
// message). The server writes header text as UTF-8, so bytes decoded as UTF-8 reach the client
// as they are, while other bytes could only reach it changed and are refused. New reference.
template <class Table>
PyObject *response_text(PyObject *o, const Table &table, PyObject *header) {
    if (PyBytes_CheckExact(o)) {
        const char *s = PyBytes_AS_STRING(o);
        const Py_ssize_t n = PyBytes_GET_SIZE(o);
        if (PyObject *known = table.find(s, size_t(n))) return Py_NewRef(known);
        if (has_line_break_or_nul(s, size_t(n))) return unsafe_header(header);
        PyObject *text = PyUnicode_DecodeUTF8(s, n, nullptr);
        if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "Invalid header %.200R: an RSGI server sends header text as UTF-8, so "
                         "bytes that are not UTF-8 cannot be sent as they are",
                         header);
        }
        return text;
    }
    Ref text = PyUnicode_CheckExact(o) ? Ref::borrow(o) : Ref::steal(PyObject_Str(o));
    if (!text) return nullptr;
    if (text_has_line_break_or_nul(text.get())) return unsafe_header(header);
    return text.release();
}

// Whether a header name (text) is `lowered`, in any case.
bool names(PyObject *text, PyObject *interned, const char *lowered, Py_ssize_t n) {
    if (text == interned) return true;
    return PyUnicode_GET_LENGTH(text) == n && PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND &&
           lowered_equal(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)), lowered, n);
}

int append_text_pair(PyObject *list, PyObject *name, Ref value) {
    if (!value) return -1;
    Ref pair = Ref::steal(PyTuple_Pack(2, name, value.get()));
    if (!pair) return -1;
    return PyList_Append(list, pair.get());
}

// What the response says about its content, read once.
struct ContentFacts {
    Ref type;               // the media type, or null when there is no content
    Ref body;
    bool streamed = false;
    long long declared = -1;  // a streamed body's length when it declares one
};

bool read_content(PyObject *content, ContentFacts &facts) {
    if (content == Py_None) return true;
    facts.type = Ref::steal(S.content_media_type.get(content));
    if (!facts.type) return false;
    facts.body = Ref::steal(S.content_body.get(content));
    if (!facts.body) return false;
    if (facts.body.get() != Py_None) return true;
    long long length = 0;
    if (!read_length(content, length)) return false;
    // A body without a fixed length (the server's own request content, say) is a stream too.
    facts.streamed = length < 0 || PyObject_TypeCheck(content, S.streamed_content_type);
    if (facts.streamed) facts.declared = length;
    return true;
}

Ref declared_length_text(long long declared) {
    return Ref::steal(PyUnicode_FromFormat("%lld", declared));
}

// The header list handed to the server. The application's pairs come first, converted; then the
// content type unless the application set one, and a streamed body's declared length unless it
// set one. Without either, the shared lists serve.
Ref header_list(PyObject *raw, const ContentFacts &facts) {
    const bool has_type = facts.type && facts.type.get() != Py_None;
    const int raw_truth = raw == Py_None ? 0 : PyObject_IsTrue(raw);
    if (raw_truth < 0) return {};
    if (!raw_truth && facts.declared < 0) {
        if (!has_type) return Ref::borrow(S.empty_headers);
        if (PyBytes_CheckExact(facts.type.get())) {
            PyObject *prebuilt = S.prebuilt_headers.find(PyBytes_AS_STRING(facts.type.get()),
                                                         size_t(PyBytes_GET_SIZE(facts.type.get())));
            if (prebuilt) return Ref::borrow(prebuilt);
        }
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    bool seen_type = false, seen_length = false;
    if (raw_truth) {
        if (!PyList_Check(raw)) {
            expected_type("list", raw);
            return {};
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
            Ref pair = Ref::borrow(PyList_GET_ITEM(raw, i));
            Ref raw_name = Ref::steal(PySequence_GetItem(pair.get(), 0));
            if (!raw_name) return {};
            Ref raw_value = Ref::steal(PySequence_GetItem(pair.get(), 1));
            if (!raw_value) return {};
            Ref name = Ref::steal(response_text(raw_name.get(), S.response_names, raw_name.get()));
            if (!name) return {};
            seen_type = seen_type || names(name.get(), S.s_content_type, "content-type", 12);
            seen_length = seen_length || names(name.get(), S.s_content_length, "content-length", 14);
            Ref value = Ref::steal(response_text(raw_value.get(), S.response_values, raw_name.get()));
            if (append_text_pair(list.get(), name.get(), std::move(value)) < 0) return {};
        }
    }
    if (has_type && !seen_type &&
        append_text_pair(list.get(), S.s_content_type,
                         Ref::steal(response_text(facts.type.get(), S.content_type_text,
                                                  S.s_content_type))) < 0)
        return {};
    if (facts.declared >= 0 && !seen_length &&
        append_text_pair(list.get(), S.s_content_length, declared_length_text(facts.declared)) < 0)
        return {};
    return list;
}

// protocol.<method>(status, headers[, body]); the result is dropped.
PyObject *respond(PyObject *protocol, PyObject *method, PyObject *status, PyObject *headers,
                  PyObject *body = nullptr) {
    PyObject *args[] = {protocol, status, headers, body};
    const size_t n = body ? 4 : 3;
    Ref result = Ref::steal(
        PyObject_VectorcallMethod(method, args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

bool is_awaitable(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return PyCoro_CheckExact(o) || (t->tp_as_async && t->tp_as_async->am_await);
}

// A chunk as what the transport takes: bytes for send_bytes or text for send_str, and the number
// of bytes it puts on the wire. Null for a chunk to skip (empty, None) or with an error set.
Ref transport_data(PyObject *chunk, PyObject *&method, long long &size) {
    if (PyBytes_CheckExact(chunk)) {
        method = S.n_send_bytes;
        size = PyBytes_GET_SIZE(chunk);
        return size ? Ref::borrow(chunk) : Ref{};
    }
    const int truth = PyObject_IsTrue(chunk);
    if (truth <= 0) return {};
    Ref data;
    if (PyBytes_Check(chunk) || PyByteArray_Check(chunk) || PyMemoryView_Check(chunk)) {
        method = S.n_send_bytes;
        data = Ref::steal(PyObject_Bytes(chunk));
        if (data) size = PyBytes_GET_SIZE(data.get());
        return data;
    }
    method = S.n_send_str;
    data = PyUnicode_CheckExact(chunk) ? Ref::borrow(chunk) : Ref::steal(PyObject_Str(chunk));
    Py_ssize_t n = 0;
    if (data && !PyUnicode_AsUTF8AndSize(data.get(), &n)) return {};
    size = n;
    return data;
}

Coro rsgi_stream_body(Ref response, Ref protocol, Ref headers, Ref content) {
    Ref transport;
    {
        Ref status = Ref::steal(PyLong_FromLong(as_response(response.get())->status));
        if (!status) co_return Raised{};
        PyObject *args[] = {protocol.get(), status.get(), headers.get()};
        Ref opened = Ref::steal(PyObject_VectorcallMethod(
            S.n_response_stream, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!opened) co_return Raised{};
        // Servers hand the transport over at once, or as something to await.
        if (is_awaitable(opened.get()))
            transport = co_await await_(std::move(opened));
        else
            transport = std::move(opened);
        if (!transport) co_return Raised{};
    }
    long long declared = -1;
    if (!read_length(content.get(), declared)) co_return Raised{};
    Ref aiter = async_iter(Ref::steal(PyObject_CallMethodNoArgs(content.get(), S.n_stream)));
    if (!aiter) co_return Raised{};
    long long sent = 0;
    for (;;) {
        Ref chunk = co_await anext_(aiter.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        PyObject *method = nullptr;
        long long size = 0;
        Ref data = transport_data(chunk.get(), method, size);
        chunk.reset();
        if (!data) {
            if (!PyErr_Occurred()) continue;
            co_return co_await abandon_on_error(std::move(aiter));
        }
        sent += size;
        if (declared >= 0 && sent > declared) {
            longer_than_declared(declared);
            co_return co_await abandon_on_error(std::move(aiter));
        }
        PyObject *args[] = {transport.get(), data.get()};
        Ref call = Ref::steal(
            PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        data.reset();
        if (!(co_await await_(std::move(call))))
            co_return co_await abandon_on_error(std::move(aiter));
    }
    if (declared >= 0 && sent != declared) co_return not_as_declared(sent, declared);
    co_return Ref::none();
}

}  // namespace

// One step: a body sent with the one call is done when the call returns; only a stream leaves
// something to await, watched for the client's disconnect when the request is given.
Await rsgi_write_step(Writing &w) {
    w.last = true;
    Ref pending = Ref::steal(send_rsgi_response_sync(w.response, w.sink));
    if (!pending || pending.get() == Py_None) return ready(std::move(pending));
    return await_(watched(std::move(pending), w.request));
}

PyObject *send_rsgi_response_sync(PyObject *response, PyObject *protocol) {
    if (!check_response_arg(response, "response")) return nullptr;
    Ref raw = Ref::borrow(as_response(response)->base._raw_headers);
    Ref content = Ref::borrow(as_response(response)->base.content);
    ContentFacts facts;
    if (!read_content(content.get(), facts)) return nullptr;
    Ref headers = header_list(raw.get(), facts);
    if (!headers) return nullptr;
    Ref status = Ref::steal(PyLong_FromLong(as_response(response)->status));
    if (!status) return nullptr;

    if (content.get() == Py_None)
        return respond(protocol, S.n_response_empty, status.get(), headers.get());
    if (facts.streamed) {
        Ref stream = Ref::steal(module_global(S.n__send_rsgi_stream));
        if (!stream) return nullptr;
        PyObject *args[] = {response, protocol, headers.get(), content.get()};
        return PyObject_Vectorcall(stream.get(), args, 4, nullptr);
    }
    PyObject *body = facts.body.get();
    if (body == Py_None)
        return respond(protocol, S.n_response_empty, status.get(), headers.get());
    if (PyBytes_CheckExact(body))
        return respond(protocol, S.n_response_bytes, status.get(), headers.get(), body);
    if (PyUnicode_CheckExact(body))
        return respond(protocol, S.n_response_str, status.get(), headers.get(), body);
    if (PyBytes_Check(body) || PyByteArray_Check(body) || PyMemoryView_Check(body)) {
        Ref copy = Ref::steal(PyObject_Bytes(body));
        if (!copy) return nullptr;
        return respond(protocol, S.n_response_bytes, status.get(), headers.get(), copy.get());
    }
    Ref text = Ref::steal(PyObject_Str(body));
    if (!text) return nullptr;
    return respond(protocol, S.n_response_str, status.get(), headers.get(), text.get());
}

PyObject *py_send_rsgi_response_sync(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    static const char *const names[] = {"response", "protocol"};
    PyObject *a[2] = {};
    if (!parse_args("send_rsgi_response_sync", args, nargs, kwnames, names, 2, a)) return nullptr;
    return send_rsgi_response_sync(a[0], a[1]);
}

PyObject *py_send_rsgi_stream(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    static const char *const names[] = {"response", "protocol", "headers", "content"};
    PyObject *a[4] = {};
    if (!parse_args("_send_rsgi_stream", args, nargs, kwnames, names, 4, a)) return nullptr;
    if (!check_response_arg(a[0], "response") || !check_arg(a[2], &PyList_Type, "headers") ||
        !check_arg_instance(a[3], S.content_type, "content"))
        return nullptr;
    return rsgi_stream_body(Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]),
                            Ref::borrow(a[3]))
        .release("_send_rsgi_stream");
}

PyObject *py_send_rsgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"response", "protocol", "request"};
    PyObject *a[3] = {nullptr, nullptr, Py_None};
    if (!parse_args("send_rsgi_response", args, nargs, kwnames, names, 2, a)) return nullptr;
    if (!check_response_arg(a[0], "response")) return nullptr;
    return written(rsgi_write_step, Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]))
        .release("send_rsgi_response");
}

}  // namespace qm::scribe
