// The object layouts and C-level table of `quenmark.messages`, shared with `keystone` and
// `scribe`. Field order is part of the interface; changing a layout or the table means bumping
// the signature text.
#pragma once

#include <Python.h>

#include "common/capi.hpp"
#include "core/scratchpad.h"

namespace qm::messages {

struct MessageObject {
    PyObject_HEAD
    PyObject *_raw_headers;  // list of (name, value) pairs, or None
    PyObject *_headers;      // cached Headers over _raw_headers, or None
    PyObject *content;       // Content or None
    PyObject *_form_data;
    PyObject *context;
    PyObject *weakreflist;   // weak references (not a declared field)
};

// RequestObject and ResponseObject (fields after MessageObject's, in declared order) and the
// CApi table follow below.

}  // namespace qm::messages
