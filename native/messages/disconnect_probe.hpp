// The two module coroutines behind Request.is_disconnected, for native callers: awaiting
// `call_soon(read_stream(request))` drains whatever body data is immediately available and
// reports the client's disconnect as the content's MessageAborted.
#pragma once

#include <Python.h>

namespace qm::messages::body {

// `_read_stream(request)`: a new coroutine object, or null with an error set.
PyObject *read_stream(PyObject *request);
// `_call_soon(coro)`: a new coroutine object, or null with an error set.
PyObject *call_soon(PyObject *coro);

}  // namespace qm::messages::body
