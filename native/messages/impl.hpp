// The C++ bodies of the overridable operations. The Python-visible methods call these directly
// (Python's own method lookup has already chosen the override, if any); everything else goes
// through the entry points of message.hpp, request.hpp and response.hpp.
#pragma once

#include <Python.h>

namespace qm::messages {

PyObject *get_headers_impl(PyObject *self, PyObject *key);
PyObject *get_first_header_impl(PyObject *self, PyObject *key);
PyObject *get_single_header_impl(PyObject *self, PyObject *key);
int remove_header_impl(PyObject *self, PyObject *key);
int has_header_impl(PyObject *self, PyObject *key);
int add_header_impl(PyObject *self, PyObject *key, PyObject *value);
int set_header_impl(PyObject *self, PyObject *key, PyObject *value);
PyObject *content_type_impl(PyObject *self);
PyObject *with_content_impl(PyObject *self, PyObject *content);
int has_body_impl(PyObject *self);
int declares_content_type_impl(PyObject *self, PyObject *type);
int declares_json_impl(PyObject *self);
int declares_xml_impl(PyObject *self);

}  // namespace qm::messages
