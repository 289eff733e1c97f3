// Small functions about requests (bodiless methods, CORS, absolute URLs) and `ensure_bytes`:
// entries of the module's C-level table, all but `ensure_bytes` also host-visible.
#pragma once

#include <Python.h>

#include <span>

namespace qm::messages {

// A str as its UTF-8 bytes, bytes as they are; ValueError for anything else. New reference.
PyObject *ensure_bytes(PyObject *value);
// Int results are 0/1, or -1 with an error set; `flag` is ignored (see messages_api.hpp).
int method_without_body(PyObject *method, int flag);
int is_cors_request(PyObject *request, int flag);
int is_cors_preflight_request(PyObject *request, int flag);
// New references to `URL` objects, or null with an error set.
PyObject *get_request_absolute_url(PyObject *request, int flag);
PyObject *get_absolute_url_to_path(PyObject *request, PyObject *path, int flag);

// Entries for the module's function table (no sentinel).
std::span<const PyMethodDef> request_helper_functions();

}  // namespace qm::messages
