// Per-thread pools of requests and responses: the four entry points of the module's C-level
// table and their host-visible functions.
#pragma once

#include <Python.h>

#include <span>

#include "messages/messages_api.hpp"

namespace qm::messages {

// A request from the calling thread's pool (or a new one), holding the given method (interned),
// path, query, headers (normalised as the Message constructor does) and scope. New reference.
PyObject *acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                          PyObject *scope, int flag);
// The same for a list of final pairs that becomes the request's own (see the table entry).
PyObject *acquire_request_taking(PyObject *method, PyObject *path, PyObject *raw_query,
                                 PyObject *headers, PyObject *scope);
// A response from the pool (or a new one); `optional` may be null. New reference.
PyObject *acquire_response(int flag, const AcquireResponseArgs *optional);
// Resets the object and keeps it for the next acquire in this thread, unless the pool is full.
// 0, or -1 with an error set (not a Request/Response, already in the pool, or `reset` failed).
int release_request(PyObject *request, int flag);
int release_response(PyObject *response, int flag);

// Entries for the module's function table (no sentinel).
std::span<const PyMethodDef> pool_functions();

// Creates `_ThreadLocalFreelist` and `_TLS` in the module. -1 with an error set.
int init_pools(PyObject *module);

}  // namespace qm::messages
