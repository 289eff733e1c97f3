// Unpacking a value into exactly two items, with the messages the package uses for it.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace qm::messages {

// `a, b = item` for a tuple, a list or any iterable. 0, or -1 with TypeError (not iterable) or
// ValueError (another number of items).
inline int unpack2(PyObject *item, Ref &a, Ref &b) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n == 2) {
            a = Ref::borrow(PySequence_Fast_GET_ITEM(item, 0));
            b = Ref::borrow(PySequence_Fast_GET_ITEM(item, 1));
            return 0;
        }
        if (n > 2) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
        } else {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                         n == 1 ? "" : "s");
        }
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) return -1;
    Ref got[3];
    Py_ssize_t n = 0;
    for (; n < 3; ++n) {
        got[n] = Ref::steal(PyIter_Next(it.get()));
        if (!got[n]) {
            if (PyErr_Occurred()) return -1;
            break;
        }
    }
    if (n == 3) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
        return -1;
    }
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                     n == 1 ? "" : "s");
        return -1;
    }
    a = std::move(got[0]);
    b = std::move(got[1]);
    return 0;
}

}  // namespace qm::messages
