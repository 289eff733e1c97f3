// The function pointer of a PyMethodDef entry for a METH_FASTCALL function (with or without
// METH_KEYWORDS). CPython keeps every method as a PyCFunction and calls it by its flags; going
// through `void (*)()` says the conversion is meant, and the overloads accept only the two
// fastcall signatures, so a function of another shape fails to compile instead of being cast.
#pragma once

#include <Python.h>

namespace qm {

using FastcallFn = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);
using FastcallKwFn = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

inline PyCFunction fastcall(FastcallFn f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline PyCFunction fastcall(FastcallKwFn f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace qm
