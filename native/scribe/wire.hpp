// The last check of a response's header list before it goes to an ASGI server.
#pragma once

#include <Python.h>

#include "common/errors.hpp"
#include "common/line_breaks.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

// Checks every pair of a response's header list before it goes to an ASGI server: a tuple (or
// list) of two bytes objects, none holding CR, LF or NUL. 0, or -1 with an error set.
inline int check_header_pairs(PyObject *headers) {
    if (!PyList_Check(headers)) return expected_type("list", headers);
    Ref hold = Ref::borrow(headers);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
        // Held: the messages below format objects, which may run code that changes the list.
        Ref pair = Ref::borrow(PyList_GET_ITEM(headers, i));
        if (!(PyTuple_Check(pair.get()) || PyList_Check(pair.get())) ||
            PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_TypeError,
                         "A response header must be a (name, value) pair of bytes, got %.200R",
                         pair.get());
            return -1;
        }
        Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
        PyObject *value = PySequence_Fast_GET_ITEM(pair.get(), 1);
        if (!PyBytes_Check(name.get())) return expected_type("bytes", name.get());
        if (!PyBytes_Check(value)) return expected_type("bytes", value);
        if (has_line_break_or_nul(PyBytes_AS_STRING(name.get()), size_t(PyBytes_GET_SIZE(name.get()))) ||
            has_line_break_or_nul(PyBytes_AS_STRING(value), size_t(PyBytes_GET_SIZE(value))))
            return unsafe_header(name.get());
    }
    return 0;
}

}  // namespace qm::scribe
