// One exchange with a server, from its scope to the pools: the request built from the scope, the
// application's entry awaited, the response written, and both objects given back to the pools
// when nothing else holds them. The server layer's `__call__` and `__rsgi__` await these.
#pragma once

#include <Python.h>

#include "scribe/scribe_api.hpp"

namespace qm::scribe {

// Whether request headers (a list of pairs) announce a body: 1 by Content-Length (unless 0) or
// Transfer-Encoding, 0 when Content-Length says there is none, -1 when they say nothing; -2 with
// an error set. `length` receives the Content-Length when it is a plain number, else -1.
int announced_body(PyObject *headers, long long &length);

// Whether a request whose headers say nothing of a body may have one: over HTTP/2 and later a
// body needs no header. The scope's `http_version` is an item of an ASGI scope, an attribute of
// an RSGI one (`by_attribute`); left out, it means HTTP/1.1. -1 with an error set.
int body_without_header(PyObject *scope, bool by_attribute);

// `type(channel)` or, for a known length, `type(channel, announced)`: a server body content
// (quenmark.contents.ASGIContent or RSGIContent), which refuses a body announced beyond its
// limit at the first chunk. New reference.
PyObject *new_server_body(PyTypeObject *type, PyObject *channel, long long announced);

// A Request from the pool for an ASGI HTTP scope. Its content reads `receive` when the headers
// announce a body (or, over HTTP/2 and later, when they announce none, as the length may be
// unknown); otherwise the request keeps `receive` (`_receive`) for the disconnect probe. New reference.
PyObject *instantiate_asgi_request(PyObject *scope, PyObject *receive);

PyObject *py_instantiate_asgi_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames);
// The exchanges: the request built from the scope, the response from `entry` (awaiting
// `entry(request)`, or with an `answerer` its steps on the application `entry`), written, and both
// objects given back. The coroutine, or null with an error set.
PyObject *serve_asgi(const Answerer *answerer, PyObject *entry, PyObject *scope, PyObject *receive,
                     PyObject *send, PyObject *unanswered);
PyObject *serve_rsgi(const Answerer *answerer, PyObject *entry, PyObject *scope, PyObject *protocol,
                     PyObject *unanswered);
PyObject *py_serve_asgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *py_serve_rsgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace qm::scribe
