// Percent-decoding with the host's `urllib.parse.unquote` meaning (UTF-8, errors replaced,
// malformed escapes kept, "+" left alone). The module's global `unquote` is consulted at call
// time: while it is still the function bound at import the work is done here, otherwise the
// replacement is called.
#pragma once

#include <Python.h>

namespace qm::routing {

// `_fast_unquote` over raw bytes: decode with replacement, then unquote when a "%" is present.
// New reference.
PyObject *fast_unquote_raw(const char *s, Py_ssize_t n);

// `unquote(text)` for a str, through the module's global. New reference.
PyObject *unquote_str(PyObject *text);

// The module function `_fast_unquote(val)`; `val` must be bytes.
PyObject *fast_unquote(PyObject *val);

}  // namespace qm::routing
