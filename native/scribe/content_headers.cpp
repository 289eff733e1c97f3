#include "scribe/content_headers.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "core/intern.h"
#include "scribe/wire.hpp"

namespace qm::scribe {
namespace {

// Informational, 204 and 304 responses never have a body, and a Content-Length in them would
// contradict the status (and in a 304 announce a length the resource does not have).
bool status_without_body(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

// The Content-Type value for a content's media type: the library's shared copy when it has one.
// A type that could end the header line is refused. New reference.
PyObject *content_type_value(PyObject *type) {
    if (type == Py_None) return Py_NewRef(S.b_octet_stream);
    if (!PyBytes_Check(type)) return expected_type("bytes", type);
    const Py_ssize_t n = PyBytes_GET_SIZE(type);
    if (n == 0) return Py_NewRef(S.b_octet_stream);
    if (PyObject *shared = get_interned_content_type_bytes(PyBytes_AS_STRING(type), size_t(n)))
        return Py_NewRef(shared);
    if (has_line_break_or_nul(PyBytes_AS_STRING(type), size_t(n))) return unsafe_header(S.h_content_type);
    return Py_NewRef(type);
}

// Appends (name, value). The names here are the library's shared ones already, so a plain list
// takes the pair as it is; anything else in its place gets what _add_header does.
int add(PyObject *message, PyObject *name, Ref value) {
    if (!value) return -1;
    PyObject *raw = as_response(message)->base._raw_headers;
    if (!PyList_CheckExact(raw)) return S.messages->_add_header(message, name, value.get());
    Ref pair = Ref::steal(PyTuple_New(2));
    if (!pair) return -1;
    PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(name));
    PyTuple_SET_ITEM(pair.get(), 1, value.release());
    return PyList_Append(raw, pair.get());
}

}  // namespace

bool check_response_arg(PyObject *o, const char *arg) {
    if (is_response(o)) return true;
    arg_type_error(arg, S.messages->response_type->tp_name, o);
    return false;
}

bool read_length(PyObject *content, long long &length) {
    Ref value = Ref::steal(S.content_length.get(content));
    if (!value) return false;
    length = PyLong_AsLongLong(value.get());
    return !(length == -1 && PyErr_Occurred());
}

int add_content_headers(PyObject *message, PyObject *content, bool &has_content,
                        long long &length) {
    const int truth = content == Py_None ? 0 : PyObject_IsTrue(content);
    if (truth < 0) return -1;
    has_content = truth;
    length = 0;
    if (!truth) {
        if (status_without_body(as_response(message)->status)) return 0;
        return add(message, S.h_content_length, Ref::steal(length_bytes(0)));
    }
    // An application that chose its own Content-Type (text/csv on a text body, say) keeps it
    // alone: a second one would go out beside it, and clients take the last.
    PyObject *raw = as_response(message)->base._raw_headers;
    const int declared = PyList_Check(raw) && PyList_GET_SIZE(raw) == 0
                             ? 0
                             : S.messages->_has_header(message, S.h_content_type);
    if (declared < 0) return -1;
    if (!declared) {
        Ref type = Ref::steal(S.content_media_type.get(content));
        if (!type || add(message, S.h_content_type, Ref::steal(content_type_value(type.get()))) < 0)
            return -1;
    }
    if (!read_length(content, length)) return -1;
    if (length < 0) return add(message, S.h_transfer_encoding, Ref::borrow(S.b_chunked));
    return add(message, S.h_content_length, Ref::steal(length_bytes(length)));
}

int set_headers_for_response_content(PyObject *message) {
    if (!check_response_arg(message, "message")) return -1;
    Ref content = Ref::borrow(as_response(message)->base.content);
    bool has_content = false;
    long long length = 0;
    return add_content_headers(message, content.get(), has_content, length);
}

PyObject *py_set_headers_for_response_content(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                              PyObject *kwnames) {
    static const char *const names[] = {"message"};
    PyObject *a[1] = {};
    if (!parse_args("set_headers_for_response_content", args, nargs, kwnames, names, 1, a))
        return nullptr;
    return none_or_null(set_headers_for_response_content(a[0]));
}

PyObject *py_write_response_cookie(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    static const char *const names[] = {"cookie"};
    PyObject *a[1] = {};
    if (!parse_args("write_response_cookie", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg_instance(a[0], S.cookie_type, "cookie")) return nullptr;
    Ref value = Ref::steal(PyObject_CallOneArg(S.write_cookie_for_response, a[0]));
    if (!value) return nullptr;
    if (!PyBytes_Check(value.get())) return expected_type("bytes", value.get());
    // The cookies module refuses such fields itself; this value goes straight into a header.
    if (has_line_break_or_nul(PyBytes_AS_STRING(value.get()), size_t(PyBytes_GET_SIZE(value.get())))) {
        PyErr_SetString(PyExc_ValueError, "A Set-Cookie value must not contain CR, LF or NUL");
        return nullptr;
    }
    return value.release();
}

}  // namespace qm::scribe
