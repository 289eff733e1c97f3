// send_asgi_response: a Response as the events of an ASGI `send` callable.
#pragma once

#include <Python.h>

#include "common/coro.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

// The events of `response` through `send`; a stream is watched for the disconnect of `request`'s
// client when it is not None.
Coro send_asgi_body(Ref response, Ref send, Ref request);

PyObject *py_send_asgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);

}  // namespace qm::scribe
