// The headers every ASGI response receives for its content, and the Set-Cookie value of a cookie.
#pragma once

#include <Python.h>

#include "messages/messages_api.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {

inline messages::ResponseObject *as_response(PyObject *o) {
    return reinterpret_cast<messages::ResponseObject *>(o);
}

inline bool is_response(PyObject *o) {
    PyTypeObject *type = S.messages->response_type;
    return Py_IS_TYPE(o, type) || PyObject_TypeCheck(o, type);
}

// Refuses anything but a Response (None included: the writers read its fields at once) with the
// typed-argument error. False with the error set.
bool check_response_arg(PyObject *o, const char *arg);

// `content.length` (a signed 64-bit int; negative for a body without a fixed length). False with
// an error set.
bool read_length(PyObject *content, long long &length);

// Appends Content-Type (unless the response declares one already) and Content-Length or chunked
// Transfer-Encoding to the response's header list. 0, or -1 with an error set.
int set_headers_for_response_content(PyObject *message);

// The same for a response whose `content` (held by the caller) was taken before, telling the
// caller whether it has content and the content's length. 0, or -1 with an error set.
int add_content_headers(PyObject *message, PyObject *content, bool &has_content,
                        long long &length);

PyObject *py_set_headers_for_response_content(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                              PyObject *kwnames);
PyObject *py_write_response_cookie(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames);

}  // namespace qm::scribe
