// `asgi_entry` and `rsgi_entry`: the application's ASGI `__call__` and RSGI `__rsgi__`.
#pragma once

#include <span>

#include "keystone/coroutine_function.hpp"

namespace qm::keystone {

std::span<const CoroutineFunctionDef> entries();

// Whether `o` (null or not) is the module's `asgi_entry` itself.
bool is_asgi_entry(PyObject *o);

// `asgi_entry(app, *args, **kwargs)`, for an application's own call slot: a vectorcall's
// arguments after the application.
PyObject *call_asgi_entry(PyObject *app, PyObject *const *args, size_t nargsf, PyObject *kwnames);

}  // namespace qm::keystone
