// The module-level error handlers of the default registry, and the validation-error document.
#pragma once

#include <Python.h>

#include <span>

#include "keystone/coroutine_function.hpp"

namespace qm::keystone {

std::span<const CoroutineFunctionDef> default_handlers();

// The validation-error document {"detail": [...]} for `details` in any of the shapes handlers
// receive; `default_msg` (borrowed, may be None) names an error of no known shape. New
// reference, or null with an error set.
PyObject *format_validation_details(PyObject *details, PyObject *default_msg);

}  // namespace qm::keystone
