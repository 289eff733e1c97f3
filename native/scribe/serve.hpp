// One exchange with a server, from its scope to the pools: the request built from the scope, the
// application's entry awaited, the response written, and both objects given back to the pools
// when nothing else holds them. The server layer's `__call__` and `__rsgi__` await these.
#pragma once

#include <Python.h>


namespace qm::scribe {

// A Request from the pool for an ASGI HTTP scope. Its content reads `receive` when the headers
// announce a body (or, over HTTP/2 and later, when they announce none, as the length may be
// unknown); otherwise `receive` is kept in the scope for the disconnect probe. New reference.
PyObject *instantiate_asgi_request(PyObject *scope, PyObject *receive);

PyObject *py_instantiate_asgi_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames);
PyObject *py_serve_asgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *py_serve_rsgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace qm::scribe
