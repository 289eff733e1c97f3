// The RSGI adapter: a Request from an RSGI scope, and a Response through an RSGI protocol.
// Header names and values travel as text there; the common ones are converted through the fixed
// tables of the module state instead of a codec.
#pragma once

#include <Python.h>

#include "common/coro.hpp"
#include "common/ref.hpp"
#include "scribe/writing.hpp"

namespace qm::scribe {

// The scope's headers (a mapping read through items(), or pairs) as (bytes, bytes) tuples, each
// text encoded as Latin-1. New list, or null with an error set.
PyObject *extract_rsgi_headers(PyObject *raw_headers);

// A Request from the pool for the scope's method, path, query and headers, its body read from
// `protocol`, its `scope` a view of the RSGI scope with the keys the request reads.
// With `always_content` false (the server layer's exchange), a request whose headers announce no
// body gets no content, as under ASGI; its protocol stays reachable through its scope view.
PyObject *instantiate_rsgi_request(PyObject *scope, PyObject *protocol, bool always_content = true);

// Sends the response with one call of the protocol: None, or for a stream the coroutine that
// sends it (to be awaited). Null with an error set.
PyObject *send_rsgi_response_sync(PyObject *response, PyObject *protocol);

// The view of an RSGI scope that a Request keeps (rsgi_scope.cpp), which also answers the
// request's protocol under quenmark.disconnects.RSGI_PROTOCOL. -1 with an error set.
int add_rsgi_scope_type(PyObject *module);
PyObject *new_rsgi_scope(PyObject *scope, PyObject *protocol);

PyObject *py_extract_rsgi_headers(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames);
PyObject *py_instantiate_rsgi_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames);
PyObject *py_send_rsgi_response_sync(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames);
PyObject *py_send_rsgi_stream(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames);
PyObject *py_send_rsgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);

}  // namespace qm::scribe
