// Argument binding for `tp_init` (a tuple and a keyword dict), with the same rules and messages
// as `parse_args` for fastcall methods.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <vector>

#include "args.hpp"
#include "ref.hpp"

namespace qm {

template <size_t N>
bool parse_init_args(const char *func, PyObject *args, PyObject *kwds,
                     const char *const (&names)[N], size_t required, PyObject *(&out)[N]) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *items = reinterpret_cast<PyTupleObject *>(args)->ob_item;
    if (!kwds || PyDict_GET_SIZE(kwds) == 0)
        return parse_args(func, items, nargs, nullptr, names, required, out);
    // Keyword calls are rare: lay the values out as a fastcall stack.
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwds);
    std::vector<PyObject *> stack;
    try {
        stack.reserve(static_cast<size_t>(nargs + nkw));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    stack.assign(items, items + nargs);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
        stack.push_back(value);  // within the reserved capacity
    }
    // The dict's values stay alive: the caller's dict holds them for the whole call.
    return parse_args(func, stack.data(), nargs, kwnames.get(), names, required, out);
}

// `tp_init` of a type whose constructor takes no arguments, with the same order of checks as
// `check_no_args`.
inline bool check_no_init_args(const char *func, PyObject *args, PyObject *kwds) {
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwds, &pos, &key, &value);
        unexpected_keyword(func, key);
        return false;
    }
    return check_nargs(func, PyTuple_GET_SIZE(args), 0);
}

}  // namespace qm
