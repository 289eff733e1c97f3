// write_sse: one server-sent event in the event-stream wire format.
#pragma once

#include <Python.h>

namespace qm::scribe {

// The event's bytes; `event` must be a ServerSentEvent. New reference, or null with an error set.
PyObject *write_sse(PyObject *event);

PyObject *py_write_sse(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace qm::scribe
