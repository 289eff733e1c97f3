// KeystoneApplication: the type, its C-level operations, and what the files of the module share
// to build it.
#pragma once

#include <Python.h>

#include <span>

#include "common/coro.hpp"
#include "common/override.hpp"
#include "keystone/coroutine_function.hpp"
#include "keystone/keystone_api.hpp"
#include "scribe/scribe_api.hpp"

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
// 1 when `self.<site>` finds the built-in method, 0 when it finds an override (of a Python
// subclass, a function stored on the instance, or anything a custom __getattribute__ gives),
// -1 with an error set.
inline int is_builtin(OverrideSite &site, PyObject *self) {
    if (Py_IS_TYPE(self, &KeystoneType)) return 1;
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) return 0;
    const int overridden = is_overridden(site, self, &KeystoneType);
    return overridden < 0 ? -1 : !overridden;
}

// `self.<site>(args...)` as Python's attribute lookup finds it: an override is called and its
// result awaited; the built-in method gives what to await through `builtin(self, args...)`,
// without a lookup.
template <class Builtin, class... Args>
Await call_self(OverrideSite &site, PyObject *self, Builtin builtin, Args... args) {
    const int b = is_builtin(site, self);
    if (b < 0) return Await{};
    if (!b) return await_(call_override(site, self, args...));
    return builtin(self, args...);
}

// The built-in methods as awaitables, for call_self (dispatch.cpp, log_records.cpp). A method
// whose steps before its last await are synchronous runs them at once and gives the awaitable it
// ends with (the caller awaits that directly, sparing a coroutine frame per step); anything it
// must await first (an override, a handler) makes it a coroutine of its own.
Await builtin_handle_request_handler_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_handle_http_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_handle_exception(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_apply_exception_handler(PyObject *self, PyObject *request, PyObject *exc,
                                      PyObject *handler);
Await builtin_handle_internal_server_error(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_log_handled_exc(PyObject *self, PyObject *request, PyObject *exc);
Await builtin_log_unhandled_exc(PyObject *self, PyObject *request, PyObject *exc);
// The records themselves (log_records.cpp): 0, or -1 with an error set.
int log_handled(PyObject *self, PyObject *request, PyObject *exc);
int log_unhandled(PyObject *self, PyObject *request, PyObject *exc);

extern OverrideSite site_handle_request_handler_exception;
extern OverrideSite site_handle_http_exception;
extern OverrideSite site_handle_exception;
extern OverrideSite site_apply_exception_handler;
extern OverrideSite site_handle_internal_server_error;
extern OverrideSite site_log_handled_exc;
extern OverrideSite site_log_unhandled_exc;

// ---- The coroutine methods, by file -----------------------------------------------------------
std::span<const CoroutineFunctionDef> handle_methods();       // handle.cpp

// `handle` in the steps an exchange awaits (handle.cpp), and whether `o` is the built-in `handle`.
extern const scribe::Answerer kHandleAnswerer;
bool is_builtin_handle(PyObject *o);
std::span<const CoroutineFunctionDef> dispatch_methods();     // dispatch.cpp
std::span<const CoroutineFunctionDef> log_methods();          // log_records.cpp

}  // namespace qm::keystone
