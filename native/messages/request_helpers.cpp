// Bodiless methods, CORS requests and absolute URLs of a request.
#include "messages/request_helpers.hpp"

#include <Python.h>

#include <string_view>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "core/intern.h"
#include "messages/message.hpp"
#include "messages/request.hpp"
#include "messages/state.hpp"

namespace qm::messages {
namespace {

// The C-level entries take any object where the host functions check a Request or None; both
// refuse None here, before a field is read.
bool check_request(PyObject *request) {
    if (PyObject_TypeCheck(request, &RequestType)) return true;
    arg_type_error("request", RequestType.tp_name, request);
    return false;
}

// A str method equal to `text`: the library's shared object matches by identity, anything else
// by its characters.
bool method_is(PyObject *method, std::string_view text) {
    PyObject *shared = get_interned_method_str(text.data(), text.size());
    if (method == shared) return true;
    return PyUnicode_Check(method) &&
           PyUnicode_EqualToUTF8AndSize(method, text.data(), Py_ssize_t(text.size()));
}

// Whether the (overridable) `get_first_header(key)` is non-empty.
int has_nonempty_header(PyObject *request, PyObject *key) {
    Ref value = Ref::steal(get_first_header(request, key));
    if (!value) return -1;
    return value.get() == Py_None ? 0 : PyObject_IsTrue(value.get());
}

// ensure_bytes(request.<name>), reading the property by name.
Ref attr_bytes(PyObject *request, PyObject *name) {
    Ref value = Ref::steal(PyObject_GetAttr(request, name));
    if (!value) return {};
    return Ref::steal(ensure_bytes(value.get()));
}

// build_absolute_url(scheme, host, base_path, path) for the request; `path` is bytes or None,
// or null to take `ensure_bytes(path_text)` after the request's own three values.
PyObject *absolute_url(PyObject *request, PyObject *path, PyObject *path_text) {
    Ref scheme = attr_bytes(request, S.n_scheme);
    if (!scheme) return nullptr;
    Ref host = attr_bytes(request, S.n_host);
    if (!host) return nullptr;
    Ref base_path = attr_bytes(request, S.n_base_path);
    if (!base_path) return nullptr;
    Ref path_bytes = path ? Ref::borrow(path) : Ref::steal(ensure_bytes(path_text));
    if (!path_bytes) return nullptr;
    PyObject *args[] = {scheme.get(), host.get(), base_path.get(), path_bytes.get()};
    return PyObject_Vectorcall(S.build_absolute_url, args, 4, nullptr);
}

}  // namespace

PyObject *ensure_bytes(PyObject *value) {
    if (PyUnicode_CheckExact(value)) return PyUnicode_AsUTF8String(value);
    if (PyUnicode_Check(value)) {
        Ref encoded = Ref::steal(PyObject_CallMethodNoArgs(value, S.n_encode));
        if (!encoded || !check_value(encoded.get(), &PyBytes_Type)) return nullptr;
        if (encoded.get() == Py_None) return expected_type("bytes", Py_None);
        return encoded.release();
    }
    if (!PyBytes_Check(value)) {
        PyErr_SetString(PyExc_ValueError, "Input value must be bytes or str");
        return nullptr;
    }
    if (!PyBytes_CheckExact(value)) return expected_type("bytes", value);
    return Py_NewRef(value);
}

int method_without_body(PyObject *method, int) {
    return method_is(method, "GET") || method_is(method, "HEAD") || method_is(method, "TRACE");
}

int is_cors_request(PyObject *request, int) {
    if (!check_request(request)) return -1;
    return has_nonempty_header(request, S.b_origin);
}

int is_cors_preflight_request(PyObject *request, int flag) {
    if (!check_request(request)) return -1;
    if (!method_is(as_request(request)->method, "OPTIONS")) return 0;
    const int cors = is_cors_request(request, flag);
    if (cors <= 0) return cors;
    return has_nonempty_header(request, S.b_access_control_request_method);
}

PyObject *get_request_absolute_url(PyObject *request, int) {
    if (!check_request(request)) return nullptr;
    Ref url = Ref::steal(PyObject_GetAttr(request, S.n_url));
    if (!url) return nullptr;
    Ref absolute = Ref::steal(PyObject_GetAttr(url.get(), S.n_is_absolute));
    if (!absolute) return nullptr;
    const int truth = PyObject_IsTrue(absolute.get());
    if (truth < 0) return nullptr;
    if (truth) {
        // Read again: a subclass's `url` may give another object on each read.
        Ref again = Ref::steal(PyObject_GetAttr(request, S.n_url));
        if (!again || !check_value_instance(again.get(), S.url_type)) return nullptr;
        return again.release();
    }
    Ref path = Ref::borrow(as_request(request)->_path);
    return absolute_url(request, path.get(), nullptr);
}

PyObject *get_absolute_url_to_path(PyObject *request, PyObject *path, int) {
    if (!check_request(request)) return nullptr;
    return absolute_url(request, nullptr, path);
}

namespace {

PyObject *py_method_without_body(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
    PyObject *method;
    if (!one_arg("method_without_body", "method", args, nargs, kwnames, method) ||
        !check_arg(method, &PyUnicode_Type, "method"))
        return nullptr;
    return bool_or_null(method_without_body(method, 0));
}

PyObject *py_is_cors_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    PyObject *request;
    if (!one_arg("is_cors_request", "request", args, nargs, kwnames, request)) return nullptr;
    return bool_or_null(is_cors_request(request, 0));
}

PyObject *py_is_cors_preflight_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                       PyObject *kwnames) {
    PyObject *request;
    if (!one_arg("is_cors_preflight_request", "request", args, nargs, kwnames, request))
        return nullptr;
    return bool_or_null(is_cors_preflight_request(request, 0));
}

PyObject *py_get_request_absolute_url(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames) {
    PyObject *request;
    if (!one_arg("get_request_absolute_url", "request", args, nargs, kwnames, request))
        return nullptr;
    return get_request_absolute_url(request, 0);
}

PyObject *py_get_absolute_url_to_path(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames) {
    static const char *const names[] = {"request", "path"};
    PyObject *a[2] = {};
    if (!parse_args("get_absolute_url_to_path", args, nargs, kwnames, names, 2, a) ||
        !check_arg(a[1], &PyUnicode_Type, "path"))
        return nullptr;
    return get_absolute_url_to_path(a[0], a[1], 0);
}

const PyMethodDef kFunctions[] = {
    {"method_without_body", fastcall(py_method_without_body),
     METH_FASTCALL | METH_KEYWORDS, "method_without_body(method)\n--\n\nWhether the method is GET, HEAD or TRACE."},
    {"is_cors_request", fastcall(py_is_cors_request),
     METH_FASTCALL | METH_KEYWORDS, "is_cors_request(request)\n--\n\nWhether the request has a non-empty Origin header."},
    {"is_cors_preflight_request", fastcall(py_is_cors_preflight_request),
     METH_FASTCALL | METH_KEYWORDS,
     "is_cors_preflight_request(request)\n--\n\nWhether the request is an OPTIONS request with Origin and Access-Control-Request-Method."},
    {"get_request_absolute_url", fastcall(py_get_request_absolute_url),
     METH_FASTCALL | METH_KEYWORDS,
     "get_request_absolute_url(request)\n--\n\nThe request's URL when it is absolute, else one built from scheme, host, base path and "
     "path."},
    {"get_absolute_url_to_path", fastcall(py_get_absolute_url_to_path),
     METH_FASTCALL | METH_KEYWORDS,
     "get_absolute_url_to_path(request, path)\n--\n\nThe absolute URL of `path` on the request's scheme, host and base path."},
};

}  // namespace

std::span<const PyMethodDef> request_helper_functions() { return kFunctions; }

}  // namespace qm::messages
