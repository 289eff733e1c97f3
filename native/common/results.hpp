// Python results for the C-level int convention (a value, or -1 with an error set), for the
// Python-visible wrappers of operations whose C++ bodies return int.
#pragma once

#include <Python.h>

namespace qm {

// None, or null when the operation failed.
inline PyObject *none_or_null(int r) { return r < 0 ? nullptr : Py_NewRef(Py_None); }

// True or False from a truth value, or null when the operation failed.
inline PyObject *bool_or_null(int r) { return r < 0 ? nullptr : PyBool_FromLong(r); }

}  // namespace qm
