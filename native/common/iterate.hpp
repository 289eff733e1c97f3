// `for item in iterable: on_item(item)`, for C-level callers that stop at the first error.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace qm {

// Calls `on_item(item)` (a borrowed item, held for the call) for each item of `iterable`, in
// order; `on_item` returns 0 to go on or -1 on error. 0, or -1 with an error set.
template <class OnItem>
int for_each_item(PyObject *iterable, OnItem on_item) {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (on_item(item.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace qm
