// ExceptionHandlersDict: the registry class, a collections.UserDict that refuses handlers of the
// wrong shape.
#pragma once

#include <Python.h>

namespace qm::keystone {

// Creates the class (a new reference). -1/null with an error set.
PyObject *new_handlers_dict_class(PyObject *module_name);

}  // namespace qm::keystone
