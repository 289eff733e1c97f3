// Argument binding for METH_FASTCALL | METH_KEYWORDS functions and vectorcall constructors.
#pragma once

#include <Python.h>

#include <cstddef>

#include "errors.hpp"

namespace qm {

// Binds positional and keyword arguments to the `N` parameters `names`, of which the first
// `required` must be given. `out` receives borrowed references; a parameter that is not given
// keeps the value `out` held before the call (its default). Returns false with an error set.
template <size_t N>
bool parse_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                const char *const (&names)[N], size_t required, PyObject *(&out)[N]) {
    const Py_ssize_t max = static_cast<Py_ssize_t>(N);
    const Py_ssize_t min = static_cast<Py_ssize_t>(required);
    if (nargs > max) {
        arg_count_error(func, min == max ? Arity::Exactly : Arity::AtMost, max, nargs);
        return false;
    }
    bool given[N ? N : 1] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
        given[i] = true;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = N;
        for (size_t i = 0; i < N; ++i) {
            if (PyUnicode_EqualToUTF8(key, names[i])) {
                slot = i;
                break;
            }
        }
        if (slot == N) {
            unexpected_keyword(func, key);
            return false;
        }
        if (given[slot]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                         key);
            return false;
        }
        out[slot] = args[nargs + k];
        given[slot] = true;
    }
    for (size_t i = 0; i < required; ++i) {
        if (!given[i]) {
            arg_count_error(func, min == max ? Arity::Exactly : Arity::AtLeast, min, nargs);
            return false;
        }
    }
    return true;
}

// Binds the one parameter `name` of `func`. The usual call (one positional argument) is inline;
// the keyword form is out of line, so that the usual one saves no registers for it.
[[gnu::noinline, gnu::cold]] inline bool one_arg_by_keyword(const char *func, const char *name,
                                                            PyObject *const *args, Py_ssize_t nargs,
                                                            PyObject *kwnames, PyObject *&out) {
    const char *const names[] = {name};
    PyObject *slots[1] = {nullptr};
    if (!parse_args(func, args, nargs, kwnames, names, 1, slots)) return false;
    out = slots[0];
    return true;
}

inline bool one_arg(const char *func, const char *name, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, PyObject *&out) {
    if (nargs == 1 && !kwnames) [[likely]] {
        out = args[0];
        return true;
    }
    return one_arg_by_keyword(func, name, args, nargs, kwnames, out);
}

// Binds the two parameters `first` and `second` of `func`.
inline bool two_args(const char *func, const char *first, const char *second,
                     PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *&a,
                     PyObject *&b) {
    if (nargs == 2 && !kwnames) {
        a = args[0];
        b = args[1];
        return true;
    }
    const char *const names[] = {first, second};
    PyObject *slots[2] = {nullptr, nullptr};
    if (!parse_args(func, args, nargs, kwnames, names, 2, slots)) return false;
    a = slots[0];
    b = slots[1];
    return true;
}

// For functions that take no keywords: checks the positional count alone.
inline bool check_nargs(const char *func, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    arg_count_error(func, Arity::Exactly, expected, nargs);
    return false;
}

// For functions that take no arguments at all. A keyword is reported before a positional count.
inline bool check_no_args(const char *func, Py_ssize_t nargs, PyObject *kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        unexpected_keyword(func, PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    return check_nargs(func, nargs, 0);
}

}  // namespace qm
