// An RSGI scope as a Request: the path escaped back into a raw path, the query string as UTF-8,
// the headers as Latin-1 (the byte for byte form of HTTP header text), common header names and
// values from the tables.
#include <Python.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "core/intern.h"
#include "scribe/rsgi.hpp"
#include "scribe/serve.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {
namespace {

// `text` as Latin-1 bytes. Text whose characters all fit one byte is stored as those very bytes;
// any other text holds a character above U+00FF, which the codec refuses with its own error.
PyObject *latin1(PyObject *text) {
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) return PyUnicode_AsLatin1String(text);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)),
                                     PyUnicode_GET_LENGTH(text));
}

// A request header name or value as bytes: text from `table` when it is there, else through the
// codec; bytes as they are; anything else as the Latin-1 form of its str().
template <class Table>
PyObject *request_bytes(PyObject *o, const Table &table) {
    if (PyUnicode_CheckExact(o)) {
        if (PyUnicode_KIND(o) == PyUnicode_1BYTE_KIND) {
            const char *data = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(o));
            if (PyObject *known = table.find(data, size_t(PyUnicode_GET_LENGTH(o))))
                return Py_NewRef(known);
        }
        return latin1(o);
    }
    if (PyBytes_CheckExact(o)) return Py_NewRef(o);
    Ref text = Ref::steal(PyObject_Str(o));
    if (!text) return nullptr;
    return latin1(text.get());
}

// A request header name as bytes (see request_bytes), as the request keeps it: the core
// library's shared object for a name it knows, which the request would otherwise swap in.
PyObject *request_name(PyObject *o) {
    if (PyUnicode_CheckExact(o) && PyUnicode_KIND(o) == PyUnicode_1BYTE_KIND) {
        // Text of one-byte characters is its own Latin-1 form.
        const char *data = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(o));
        if (PyObject *shared = get_interned_header_name_bytes(data, size_t(PyUnicode_GET_LENGTH(o))))
            return Py_NewRef(shared);
        return request_bytes(o, S.request_names);
    }
    Ref name = Ref::steal(request_bytes(o, S.request_names));
    if (!name) return nullptr;
    PyObject *shared = get_interned_header_name_bytes(PyBytes_AS_STRING(name.get()),
                                                      size_t(PyBytes_GET_SIZE(name.get())));
    return shared ? Py_NewRef(shared) : name.release();
}

// `pair` as a (name bytes, value bytes) tuple. With `reuse`, a 2-tuple that nothing else holds
// (the caller's list, made by the server for this call, has the only reference) takes the two
// byte strings in place of its texts instead of a new tuple being made. New reference.
PyObject *bytes_pair(PyObject *pair, bool reuse) {
    // A mapping's items are 2-tuples: read in place, without the sequence protocol.
    const bool tuple2 = PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2;
    Ref name_obj = tuple2 ? Ref::borrow(PyTuple_GET_ITEM(pair, 0))
                          : Ref::steal(PySequence_GetItem(pair, 0));
    if (!name_obj) return nullptr;
    Ref value_obj = tuple2 ? Ref::borrow(PyTuple_GET_ITEM(pair, 1))
                           : Ref::steal(PySequence_GetItem(pair, 1));
    if (!value_obj) return nullptr;
    Ref name = Ref::steal(request_name(name_obj.get()));
    if (!name) return nullptr;
    Ref value = Ref::steal(request_bytes(value_obj.get(), S.request_values));
    if (!value) return nullptr;
    if (!(reuse && tuple2 && Py_REFCNT(pair) == 1))
        return PyTuple_Pack(2, name.get(), value.get());
    // The texts stay alive in name_obj and value_obj until the swap is done.
    Py_DECREF(PyTuple_GET_ITEM(pair, 0));
    PyTuple_SET_ITEM(pair, 0, name.release());
    Py_DECREF(PyTuple_GET_ITEM(pair, 1));
    PyTuple_SET_ITEM(pair, 1, value.release());
    // A tuple keeps its hash once computed: the one of the texts would now be wrong.
    reinterpret_cast<PyTupleObject *>(pair)->ob_hash = -1;
    return Py_NewRef(pair);
}

// What the scope's headers hold their pairs in: the result of their items() when they have that
// method (a mapping), else the headers themselves. New reference.
PyObject *header_pairs(PyObject *raw_headers) {
    PyTypeObject *type = Py_TYPE(raw_headers);
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset == 0 &&
        !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        // Without an instance __dict__, the attribute is what the class has: a method of its own
        // is called as such, with no bound method made for the call.
        Ref found = Ref::borrow(_PyType_Lookup(type, S.n_items));
        if (!found) return Py_NewRef(raw_headers);
        if (Py_IS_TYPE(found.get(), &PyMethodDescr_Type))
            return PyObject_Vectorcall(found.get(), &raw_headers, 1, nullptr);
    }
    PyObject *items = nullptr;
    if (PyObject_GetOptionalAttr(raw_headers, S.n_items, &items) < 0) return nullptr;
    Ref method = Ref::steal(items);
    if (!method || method.get() == Py_None) return Py_NewRef(raw_headers);
    return PyObject_CallNoArgs(method.get());
}

// Whether a byte of a decoded path must be escaped to stand in a raw one: "%", which starts an
// escape, "?" and "#", which would end the path, and spaces, controls and bytes above 0x7F.
bool escaped_in_raw_path(unsigned char c) {
    return c == '%' || c == '?' || c == '#' || c <= 0x20 || c >= 0x7F;
}

// The raw path for the text the server gives. It hands the path over percent-decoded, with no
// raw form beside it, while the router percent-decodes the values it captures: escaped again,
// the path decodes to the server's text once, instead of that text being decoded a second time
// ("/files/%252e%252e" arrives as "/files/%2e%2e" and must not reach a handler as "../.."). A
// path with nothing to escape is its UTF-8 bytes. New reference.
PyObject *raw_path(PyObject *text) {
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!utf8) return nullptr;
    const auto *s = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(utf8.get()));
    const Py_ssize_t n = PyBytes_GET_SIZE(utf8.get());
    Py_ssize_t escapes = 0;
    for (Py_ssize_t i = 0; i < n; ++i) escapes += escaped_in_raw_path(s[i]);
    if (!escapes) return utf8.release();
    PyObject *out = PyBytes_FromStringAndSize(nullptr, n + 2 * escapes);
    if (!out) return nullptr;
    char *p = PyBytes_AS_STRING(out);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!escaped_in_raw_path(s[i])) {
            *p++ = char(s[i]);
            continue;
        }
        *p++ = '%';
        *p++ = kHex[s[i] >> 4];
        *p++ = kHex[s[i] & 15];
    }
    return out;
}

// A text attribute of the scope, which must be str or None. New reference.
PyObject *scope_text(PyObject *scope, PyObject *name) {
    Ref value = Ref::steal(PyObject_GetAttr(scope, name));
    if (!value || !check_value(value.get(), &PyUnicode_Type)) return nullptr;
    return value.release();
}

}  // namespace

PyObject *extract_rsgi_headers(PyObject *raw_headers) {
    Ref source = Ref::steal(header_pairs(raw_headers));
    if (!source) return nullptr;
    if (source.get() == Py_None) return PyList_New(0);
    if (PyList_CheckExact(source.get()) && Py_REFCNT(source.get()) == 1 &&
        source.get() != raw_headers) {
        // A list made by items() for this call is nobody else's: it becomes the result, each
        // pair converted in place.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source.get()); ++i) {
            PyObject *pair = bytes_pair(PyList_GET_ITEM(source.get(), i), true);
            if (!pair) return nullptr;
            PyList_SetItem(source.get(), i, pair);
        }
        return source.release();
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    auto append = [&](PyObject *pair) {
        Ref converted = Ref::steal(bytes_pair(pair, false));
        return converted && PyList_Append(out.get(), converted.get()) == 0;
    };
    if (PyList_Check(source.get()) || PyTuple_Check(source.get())) {
        // By index, as the list may change under a header's str().
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(source.get()); ++i) {
            Ref pair = Ref::borrow(PySequence_Fast_GET_ITEM(source.get(), i));
            if (!append(pair.get())) return nullptr;
        }
        return out.release();
    }
    Ref it = Ref::steal(PyObject_GetIter(source.get()));
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        if (!append(pair.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return out.release();
}

PyObject *instantiate_rsgi_request(PyObject *scope, PyObject *protocol, bool always_content) {
    Ref path_text = Ref::steal(scope_text(scope, S.n_path));
    if (!path_text) return nullptr;
    if (path_text.get() == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
        return nullptr;
    }
    Ref path = Ref::steal(raw_path(path_text.get()));
    if (!path) return nullptr;
    // The server decodes the query string as UTF-8 (and refuses one that is not): encoded again
    // it is the client's bytes.
    Ref query_text = Ref::steal(scope_text(scope, S.n_query_string));
    if (!query_text) return nullptr;
    Ref query = query_text.get() != Py_None && PyUnicode_GET_LENGTH(query_text.get()) > 0
                    ? Ref::steal(PyUnicode_AsUTF8String(query_text.get()))
                    : Ref::borrow(S.empty_bytes);
    if (!query) return nullptr;
    Ref raw_headers = Ref::steal(PyObject_GetAttr(scope, S.n_headers));
    if (!raw_headers) return nullptr;
    Ref headers = Ref::steal(extract_rsgi_headers(raw_headers.get()));
    if (!headers) return nullptr;
    Ref method = Ref::steal(scope_text(scope, S.n_method));
    if (!method) return nullptr;
    // The request reads "scheme", "root_path" and "client" with the scope's get(): an RSGI scope
    // has them as attributes (the client as "host:port" text), so the request gets a view.
    Ref view = Ref::steal(new_rsgi_scope(scope, protocol));
    if (!view) return nullptr;
    // The list is new, and its names are the shared objects already: the request takes it over.
    Ref request = Ref::steal(S.messages->acquire_request_taking(method.get(), path.get(),
                                                                query.get(), headers.get(),
                                                                view.get()));
    if (!request) return nullptr;
    // Over HTTP/1 a request whose headers announce no body has none; over HTTP/2 and later a
    // body needs no header.
    long long announced;
    int body = announced_body(headers.get(), announced);
    if (body == -1) body = always_content ? 1 : body_without_header(scope, true);
    if (body < 0) return nullptr;
    body = body || always_content;
    if (body) {
        Ref content = Ref::steal(new_server_body(S.rsgi_content_type, protocol, announced));
        if (!content) return nullptr;
        set_field(reinterpret_cast<messages::MessageObject *>(request.get())->content,
                  std::move(content));
    }
    return request.release();
}

PyObject *py_extract_rsgi_headers(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames) {
    static const char *const names[] = {"raw_headers"};
    PyObject *a[1] = {};
    if (!parse_args("extract_rsgi_headers", args, nargs, kwnames, names, 1, a)) return nullptr;
    return extract_rsgi_headers(a[0]);
}

PyObject *py_instantiate_rsgi_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames) {
    static const char *const names[] = {"scope", "protocol"};
    PyObject *a[2] = {};
    if (!parse_args("instantiate_rsgi_request", args, nargs, kwnames, names, 2, a)) return nullptr;
    return instantiate_rsgi_request(a[0], a[1]);
}

}  // namespace qm::scribe
