// Request's native operations and the helpers other files of the module use.
#pragma once

#include <Python.h>

#include <cstddef>

#include "messages/messages_api.hpp"

namespace qm::messages {

inline RequestObject *as_request(PyObject *self) { return reinterpret_cast<RequestObject *>(self); }

int expect_100_continue(PyObject *self);  // overridable
int request_reset(PyObject *self);        // overridable
// A scratch block from the request's arena, or null (never raises).
void *alloc_scratchpad(PyObject *self, size_t size, size_t alignment);

// None stays None; a known method becomes the library's shared str. New reference.
PyObject *intern_method_str(PyObject *method);

// Readies RequestType (after MessageType). -1 with an error set.
int ready_request_type();

}  // namespace qm::messages
