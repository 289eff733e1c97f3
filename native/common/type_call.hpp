// `cls(*args, **kwargs)` as type.__call__ makes it (__new__, then __init__), from vectorcall
// arguments: for a class with a vectorcall of its own that finds it cannot take its shortcut
// (a subclass, a class changed since, arguments it does not handle).
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qm {

// New reference, or null with an error set. `cls` is a class whose metaclass is `type`.
inline PyObject *call_type(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0)
                return nullptr;
    }
    return PyType_Type.tp_call(cls, positional.get(), keywords.get());
}

}  // namespace qm
