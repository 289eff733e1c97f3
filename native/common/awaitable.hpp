// The awaitable protocol as CPython's own coroutines apply it, for C++ code that drives another
// awaitable by hand: finding the iterator behind `await o`, delegating `throw` and `close` to
// it, and carrying a result in StopIteration. coro.hpp builds on these; they are usable alone.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qm::awaitable {

// The iterator that `await o` drives: a coroutine (or a generator marked as one) is its own,
// anything else must have `__await__` returning a plain iterator. Null with TypeError otherwise
// (CPython's messages).
inline Ref get_iter(PyObject *o) {
    if (PyCoro_CheckExact(o)) return Ref::borrow(o);
    if (PyGen_CheckExact(o)) {
        PyCodeObject *code = PyGen_GetCode(reinterpret_cast<PyGenObject *>(o));
        const int flags = code->co_flags;
        Py_DECREF(code);
        if (flags & CO_ITERABLE_COROUTINE) return Ref::borrow(o);
    }
    PyTypeObject *type = Py_TYPE(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
        return {};
    }
    Ref it = Ref::steal(getter(o));
    if (!it) return {};
    if (PyCoro_CheckExact(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return {};
    }
    return it;
}

// Raises StopIteration carrying `value` (borrowed), the way a finished coroutine reports its
// result through `send` and `__next__`. The instance is made directly (a tuple or an exception is
// its value as it is, never taken for arguments) and raised without `PyErr_SetObject`'s
// normalisation and context chaining, which would cost more than the rest of a short await. It
// is what StopIteration(value) makes: the type's own allocation (zeroed, tracked), `args` the
// 1-tuple and `value`, without the call's argument tuple and the constructor's parsing.
inline void set_stop_iteration(PyObject *value) {
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(PyExc_StopIteration);
    PyObject *args = PyTuple_New(1);
    if (!args) return;
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    auto *exc = reinterpret_cast<PyStopIterationObject *>(type->tp_alloc(type, 0));
    if (!exc) {
        Py_DECREF(args);
        return;
    }
    exc->args = args;
    exc->value = Py_NewRef(value);
    PyErr_SetRaisedException(reinterpret_cast<PyObject *>(exc));
}

// If the current exception is StopIteration, clears it and returns its value (a new reference;
// None when it had none). Otherwise returns null and leaves the exception alone.
inline PyObject *take_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject *value = reinterpret_cast<PyStopIterationObject *>(exc.get())->value;
    return Py_NewRef(value ? value : Py_None);
}

// Closes an iterator that a coroutine is delegating to, as `close()` on the outer one requires.
// 0 on success, -1 with the error of the inner `close` set.
inline int close_iter(PyObject *it) {
    static PyObject *name = PyUnicode_InternFromString("close");
    if (!name) return -1;
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(it, name, &meth) < 0) {
        PyErr_FormatUnraisable("Exception ignored while closing generator %R", it);
        return 0;
    }
    if (!meth) return 0;
    Ref result = Ref::steal(PyObject_CallNoArgs(meth));
    Py_DECREF(meth);
    return result ? 0 : -1;
}

enum class Thrown { Yielded, Returned, Raised, NoThrow };

// Throws the exception instance `exc` into the iterator `it` through its `throw` method (the
// one-argument form). Yielded: `*out` is the value it yielded; Returned: `*out` is the value its
// StopIteration carried; Raised: an error is set; NoThrow: it has no `throw`, nothing happened.
inline Thrown throw_into(PyObject *it, PyObject *exc, PyObject **out) {
    static PyObject *name = PyUnicode_InternFromString("throw");
    *out = nullptr;
    if (!name) return Thrown::Raised;
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(it, name, &meth) < 0) return Thrown::Raised;
    if (!meth) return Thrown::NoThrow;
    PyObject *result = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (result) {
        *out = result;
        return Thrown::Yielded;
    }
    *out = take_stop_iteration();
    return *out ? Thrown::Returned : Thrown::Raised;
}

// Turns the arguments of `throw(value)` or the legacy `throw(type[, value[, traceback]])` into
// one exception instance (a new reference), with CPython's errors for the wrong shapes.
inline Ref exception_from_throw_args(PyObject *typ, PyObject *val, PyObject *tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return {};
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ))) {
            exc = Ref::borrow(val);
        } else if (!val || val == Py_None) {
            exc = Ref::steal(PyObject_CallNoArgs(typ));
        } else if (PyTuple_Check(val)) {
            exc = Ref::steal(PyObject_Call(typ, val, nullptr));
        } else {
            exc = Ref::steal(PyObject_CallOneArg(typ, val));
        }
        if (!exc) return {};
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc.get())->tp_name);
            return {};
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return {};
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return {};
    return exc;
}

// The same, from the arguments of a METH_FASTCALL `throw` (`what` names it in the messages),
// warning about the deprecated three-argument form as CPython does.
inline Ref exception_from_throw_call(const char *what, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s expected %s%zd argument%s, got %zd", what,
                     nargs < 1 ? "at least " : "at most ", nargs < 1 ? Py_ssize_t{1} : Py_ssize_t{3},
                     nargs < 1 ? "" : "s", nargs);
        return {};
    }
    if (nargs > 1) {
        char message[160];
        PyOS_snprintf(message, sizeof message,
                      "the (type, exc, tb) signature of %s() is deprecated, "
                      "use the single-arg signature instead.",
                      what);
        if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) < 0) return {};
    }
    return exception_from_throw_args(args[0], nargs > 1 ? args[1] : nullptr,
                                     nargs > 2 ? args[2] : nullptr);
}

}  // namespace qm::awaitable
