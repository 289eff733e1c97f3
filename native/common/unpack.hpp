// `a, b = item` with the messages of the interpreter of today, for any two-item iterable.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace qm {

// Fills two owned references; false with an error set (TypeError for what cannot be unpacked,
// ValueError for another number of items).
inline bool unpack_pair(PyObject *entry, Ref &a, Ref &b) {
    Py_ssize_t n = -1;
    if (PyTuple_CheckExact(entry)) {
        n = PyTuple_GET_SIZE(entry);
        if (n == 2) {
            a = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
            b = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
            return true;
        }
    } else if (PyList_CheckExact(entry)) {
        n = PyList_GET_SIZE(entry);
        if (n == 2) {
            a = Ref::borrow(PyList_GET_ITEM(entry, 0));
            b = Ref::borrow(PyList_GET_ITEM(entry, 1));
            return true;
        }
    }
    if (n >= 0) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        return false;
    }
    // Callers pass entries borrowed from the list, and an entry's __iter__ may empty that list:
    // the entry must outlive its own iteration (and the type test of the error path).
    Ref held = Ref::borrow(entry);
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(entry)->tp_iter &&
            !PySequence_Check(entry)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(entry)->tp_name);
        }
        return false;
    }
    Ref *slots[2] = {&a, &b};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace qm
