// Coroutine functions and methods written in C++, as the interpreter's tools see them.
//
// A `CoroutineFunction` is a callable object of its own type, made once at import, that Python
// code treats like an `async def` function:
// - it is a method descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR, vectorcall): `await app.handle(r)`
//   calls it with `app` prepended and binds nothing, while `app.handle` alone gives a bound
//   method, as for a Python function;
// - `inspect.iscoroutinefunction` is true for it and for its bound methods (it carries
//   `_is_coroutine_marker`), and `inspect.signature` reads its `__text_signature__`.
// A method checks that its first argument is an instance of the class it belongs to before its
// body runs; the body receives `self` apart from the remaining arguments.
#pragma once

#include <Python.h>

#include <span>

namespace qm::keystone {

// The body: `self` is null for a module-level function. Returns the coroutine object (a new
// reference) or null with an error set.
using CoroutineBody = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames);

// For a function whose body never suspends: the result the coroutine would give, computed at
// once (a new reference, or null with the error its coroutine would raise or the call itself
// would). Null when the function has none.
using ImmediateBody = PyObject *(*)(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

struct CoroutineFunctionDef {
    const char *name;
    const char *qualname;
    const char *text_signature;  // "(self, request)" or "(app, request, exception)"
    const char *doc;
    CoroutineBody body;
    ImmediateBody immediate = nullptr;
};

// Readies the type; -1 with an error set.
int ready_coroutine_function_type();

// A module-level coroutine function (a new reference).
PyObject *new_coroutine_function(const CoroutineFunctionDef *def, PyObject *module_name);

// The immediate body of `callable` when it is a module-level coroutine function of this module
// that has one, else null: awaiting `callable(*args)` at once then gives what it gives.
ImmediateBody immediate_body_of(PyObject *callable);

// The definition `callable` was made from when it is a coroutine function of this module, else
// null.
const CoroutineFunctionDef *coroutine_function_def(PyObject *callable);

// Adds a coroutine method per entry of `defs` to the dict that `type` will be readied with
// (call before PyType_Ready). -1 with an error set.
int add_coroutine_methods(PyTypeObject *type, std::span<const CoroutineFunctionDef> defs,
                          PyObject *module_name);

}  // namespace qm::keystone
