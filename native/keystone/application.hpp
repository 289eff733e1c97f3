// KeystoneApplication: the type, its C-level operations, and what the files of the module share
// to build it.
#pragma once

#include <Python.h>

#include <span>

#include "common/coro.hpp"
#include "common/override.hpp"
#include "keystone/coroutine_function.hpp"
#include "keystone/keystone_api.hpp"

namespace qm::keystone {

extern PyTypeObject KeystoneType;

inline KeystoneObject *as_app(PyObject *o) { return reinterpret_cast<KeystoneObject *>(o); }

// Readies the type with its coroutine methods. -1 with an error set.
int ready_keystone_type(PyObject *module_name);

// ---- C-level operations (lookup.cpp) ----------------------------------------------------------
// The registry's handler for the first class of the exception's hierarchy that has one, stopping
// (with None) at `stop_at` when it is not None. New reference.
PyObject *get_exception_handler(PyObject *self, PyObject *exception, PyObject *stop_at);
int is_handled_exception(PyObject *self, PyObject *exception);
// Honours a Python subclass's override; `_impl` is the built-in body.
PyObject *get_http_exception_handler(PyObject *self, PyObject *http_exception);
PyObject *get_http_exception_handler_impl(PyObject *self, PyObject *http_exception);

// ---- Calls through `self` ---------------------------------------------------------------------
// `self.<site>(args...)` as Python's attribute lookup finds it: an override of a Python subclass
// (or a function stored on the instance, or a custom __getattribute__) is called and its result
// awaited; otherwise `builtin(self, args...)` gives what to await, without a lookup.
template <class Builtin, class... Args>
Await call_self(OverrideSite &site, PyObject *self, Builtin builtin, Args... args) {
    if (!Py_IS_TYPE(self, &KeystoneType)) {
        const int overridden = Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr
                                   ? is_overridden(site, self, &KeystoneType)
                                   : 1;
        if (overridden < 0) return Await{};
        if (overridden) return await_(call_override(site, self, args...));
    }
    return builtin(self, args...);
}

// The built-in methods as awaitables, for call_self (dispatch.cpp, log_records.cpp).
Await builtin_handle_request_handler_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_handle_http_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_handle_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_apply_exception_handler(PyObject *self, PyObject *request, PyObject *exc,
                                      PyObject *handler);
Await builtin_handle_internal_server_error(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_log_handled_exc(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_log_unhandled_exc(PyObject *self, PyObject *request, PyObject *exc);

extern OverrideSite site_handle_request_handler_exception;
extern OverrideSite site_handle_http_exception;
extern OverrideSite site_handle_exception;
extern OverrideSite site_apply_exception_handler;
extern OverrideSite site_handle_internal_server_error;
extern OverrideSite site_log_handled_exc;
extern OverrideSite site_log_unhandled_exc;

// ---- The coroutine methods, by file -----------------------------------------------------------
std::span<const CoroutineFunctionDef> handle_methods();       // handle.cpp
std::span<const CoroutineFunctionDef> dispatch_methods();     // dispatch.cpp
std::span<const CoroutineFunctionDef> log_methods();          // log_records.cpp

}  // namespace qm::keystone
