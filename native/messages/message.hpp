// Message's native operations (C-level entry points). Those marked overridable honour a Python
// subclass's override; the others run the built-in body. Object results are new references
// (null with an error set); int results are 0/1 or -1 with an error set.
#pragma once

#include <Python.h>

#include "messages/messages_api.hpp"

namespace qm::messages {

extern PyTypeObject MessageType;

PyObject *content_type(PyObject *self);           // overridable: bytes or None
int declares_json(PyObject *self);                // overridable
// ... the remaining operations are declared here by the message model.

}  // namespace qm::messages
