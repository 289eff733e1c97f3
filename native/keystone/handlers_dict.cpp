// ExceptionHandlersDict is an ordinary Python class derived from UserDict; only __setitem__ is
// native. A handler must be a coroutine function taking three arguments (app, request, exc) or
// a *args parameter.
#include "keystone/handlers_dict.hpp"

#include "common/args.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

// 1: a valid handler; 0: refused; -1: error (the signature could not be read, say).
int valid_handler(PyObject *item) {
    Ref is_coroutine = Ref::steal(PyObject_CallOneArg(S.iscoroutinefunction, item));
    if (!is_coroutine) return -1;
    const int truth = PyObject_IsTrue(is_coroutine.get());
    if (truth <= 0) return truth;
    Ref signature = Ref::steal(
        PyObject_CallMethod(S.signature_class, "from_callable", "O", item));
    if (!signature) return -1;
    Ref parameters = Ref::steal(PyObject_GetAttr(signature.get(), S.n_parameters));
    if (!parameters) return -1;
    const Py_ssize_t count = PyObject_Length(parameters.get());
    if (count < 0) return -1;
    if (count == 3) return 1;
    Ref it = Ref::steal(PyObject_CallMethod(parameters.get(), "values", nullptr));
    if (!it) return -1;
    it = Ref::steal(PyObject_GetIter(it.get()));
    if (!it) return -1;
    while (Ref parameter = Ref::steal(PyIter_Next(it.get()))) {
        Ref kind = Ref::steal(PyObject_GetAttr(parameter.get(), S.n_kind));
        if (!kind) return -1;
        const int is_var_positional = PyObject_RichCompareBool(kind.get(), S.var_positional, Py_EQ);
        if (is_var_positional != 0) return is_var_positional;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Bound as a method: args[0] is the registry.
PyObject *setitem(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "__setitem__() needs the registry as its first argument");
        return nullptr;
    }
    static const char *const names[] = {"key", "item"};
    PyObject *self = args[0];
    PyObject *a[2] = {};
    if (!parse_args("__setitem__", args + 1, nargs - 1, kwnames, names, 2, a)) return nullptr;
    const int valid = valid_handler(a[1]);
    if (valid < 0) return nullptr;
    if (!valid) {
        Ref error = Ref::steal(
            PyObject_CallNoArgs(reinterpret_cast<PyObject *>(S.invalid_exception_handler)));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
        return nullptr;
    }
    Ref base = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                       S.handlers_dict_class, self, nullptr));
    if (!base) return nullptr;
    return call_method(S.n___setitem__, base.get(), a[0], a[1]);
}

PyMethodDef kSetItem = {
    "__setitem__", fastcall(setitem), METH_FASTCALL | METH_KEYWORDS,
    "__setitem__(self, key, item)\n--\n\n"
    "Registers `item` for `key` (an exception class or a status code), or raises "
    "InvalidExceptionHandler when it is not a coroutine function taking (app, request, exc)."};

}  // namespace

PyObject *new_handlers_dict_class(PyObject *module_name) {
    Ref function = Ref::steal(PyCFunction_NewEx(&kSetItem, nullptr, module_name));
    if (!function) return nullptr;
    // Binds to the instance like a function defined in the class body.
    Ref method = Ref::steal(PyInstanceMethod_New(function.get()));
    if (!method) return nullptr;
    Ref ns = Ref::steal(Py_BuildValue(
        "{sOsssssO}", "__module__", module_name, "__qualname__", "ExceptionHandlersDict", "__doc__",
        "The exception-handler registry: exception classes and status codes to handler "
        "coroutines called as handler(app, request, exc).",
        "__setitem__", method.get()));
    if (!ns) return nullptr;
    PyObject *cls = PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(O)O",
                                          "ExceptionHandlersDict", S.user_dict, ns.get());
    if (!cls) return nullptr;
    S.handlers_dict_class = Py_NewRef(cls);
    return cls;
}

}  // namespace qm::keystone
