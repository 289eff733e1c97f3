// The value of the only header with a given name, as `Headers.get_single` and
// `Message.get_single_header` both answer it, with their shared messages written once.
#pragma once

#include <Python.h>

#include "errors.hpp"

namespace qm {

// `values`: every value found for the name, as an exact tuple or list (what the lookup, or an
// override of it, returned), or None. Returns a new reference to the one value, which must be
// bytes or None; null with TypeError or ValueError when there is not exactly one.
inline PyObject *single_header_value(PyObject *values) {
    if (values == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(values);
    if (n != 1) {
        PyErr_SetString(PyExc_ValueError,
                        n > 1 ? "Headers contains more than one header with the given key"
                              : "Headers does not contain one header with the given key");
        return nullptr;
    }
    PyObject *value = PySequence_Fast_GET_ITEM(values, 0);
    if (!check_value(value, &PyBytes_Type)) return nullptr;
    return Py_NewRef(value);
}

}  // namespace qm
