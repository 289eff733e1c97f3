// The standard error messages of the compiled core, each written once. Every helper sets the
// Python error and returns `Raised`, which converts to the failure value of the calling
// context, so a call site reads `return qm::expected_type("bytes", obj);` in a function
// returning `PyObject *` (null) or `int` (-1) alike.
#pragma once

#include <Python.h>

namespace qm {

struct Raised {
    operator PyObject *() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
    template <class T>
    operator T *() const noexcept { return nullptr; }
};

// A typed argument received a value of another type.
inline Raised arg_type_error(const char *arg, const char *expected, PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg, expected, Py_TYPE(got)->tp_name);
    return {};
}

// A value stored in a typed local, or returned by an override, has another built-in type.
inline Raised expected_type(const char *expected, PyObject *got) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return {};
}

// The same for an extension type.
inline Raised cannot_convert(PyObject *got, PyTypeObject *expected) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(got)->tp_name,
                 expected->tp_name);
    return {};
}

// A keyword argument that the function does not take.
inline Raised unexpected_keyword(const char *func, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    return {};
}

enum class Arity { Exactly, AtLeast, AtMost };

// A wrong positional argument count.
inline Raised arg_count_error(const char *func, Arity arity, Py_ssize_t expected, Py_ssize_t given) {
    static const char *const words[] = {"exactly", "at least", "at most"};
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
                 words[static_cast<int>(arity)], expected, expected == 1 ? "" : "s", given);
    return {};
}

// Deleting a property that has a setter.
inline Raised delete_not_supported() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return {};
}

// The argument rule of the package: a parameter declared as a built-in type (bytes, str, list,
// dict, tuple) takes exactly that type or None; one declared as an extension type takes that type,
// its subclasses or None.
inline bool exact_or_none(PyObject *o, PyTypeObject *type) {
    return o == Py_None || Py_IS_TYPE(o, type);
}

inline bool instance_or_none(PyObject *o, PyTypeObject *type) {
    return o == Py_None || Py_IS_TYPE(o, type) || PyObject_TypeCheck(o, type);
}

// Checks an argument against the rule above; on failure raises the standard message.
inline bool check_arg(PyObject *o, PyTypeObject *type, const char *arg) {
    if (exact_or_none(o, type)) return true;
    arg_type_error(arg, type->tp_name, o);
    return false;
}

inline bool check_arg_instance(PyObject *o, PyTypeObject *type, const char *arg) {
    if (instance_or_none(o, type)) return true;
    arg_type_error(arg, type->tp_name, o);
    return false;
}

// Checks a value assigned to a typed local or returned by an override.
inline bool check_value(PyObject *o, PyTypeObject *type) {
    if (exact_or_none(o, type)) return true;
    expected_type(type->tp_name, o);
    return false;
}

inline bool check_value_instance(PyObject *o, PyTypeObject *type) {
    if (instance_or_none(o, type)) return true;
    cannot_convert(o, type);
    return false;
}

}  // namespace qm
