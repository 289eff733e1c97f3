// send_asgi_response: a Response as the events of an ASGI `send` callable.
#pragma once

#include <Python.h>

#include "scribe/writing.hpp"

namespace qm::scribe {

PyObject *py_send_asgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);

}  // namespace qm::scribe
