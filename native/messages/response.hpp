// Response's native operations.
#pragma once

#include <Python.h>

#include <span>

#include "messages/messages_api.hpp"

namespace qm::messages {

inline ResponseObject *as_response(PyObject *self) {
    return reinterpret_cast<ResponseObject *>(self);
}

// A status as the field holds it: a signed 32-bit integer. False with OverflowError (out of
// range) or the conversion's error set.
bool to_status(PyObject *value, int &out);

int is_redirect(PyObject *self);     // overridable
int response_reset(PyObject *self);  // overridable

// Readies ResponseType (after MessageType). -1 with an error set.
int ready_response_type();

}  // namespace qm::messages
