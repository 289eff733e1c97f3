// Request's properties derived from its fields, its scope and its headers, and the cookie
// methods that read and write its Cookie header.
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages {

std::span<const PyGetSetDef> request_properties();

PyObject *py_request_get_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);
PyObject *py_request_set_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames);

}  // namespace qm::messages
