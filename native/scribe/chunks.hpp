// Splitting a body into the chunks the writers send, and HTTP/1.1 chunked transfer coding.
#pragma once

#include <Python.h>

namespace qm::scribe {

// The iterator type behind get_chunks. -1 with an error set.
int ready_chunks_type();

// get_chunks(data): a generator of the slices of `data` (at most kChunkSize bytes each), then one
// empty byte string.
PyObject *py_get_chunks(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// write_chunks(http_content): an asynchronous generator of the content's parts in chunked
// transfer coding.
PyObject *py_write_chunks(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

}  // namespace qm::scribe
