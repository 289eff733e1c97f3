// Percent-decoding with the host's `urllib.parse.unquote` meaning (UTF-8, errors replaced,
// malformed escapes kept, "+" left alone). The module's global `unquote` is consulted at call
// time: while it is still the function bound at import the work is done here, otherwise the
// replacement is called.
#pragma once

#include <Python.h>

#include "common/ascii_text.hpp"

namespace qm::routing {

// The part of `fast_unquote_raw` for what is not plain ASCII text without "%".
PyObject *unquote_raw_text(const char *s, Py_ssize_t n);

// `_fast_unquote` over raw bytes: decode with replacement, then unquote when a "%" is present.
// New reference. Nearly every captured value is plain ASCII: its text is a copy of the bytes,
// made without the general decoder's passes, inline.
inline PyObject *fast_unquote_raw(const char *s, Py_ssize_t n) {
    PyObject *plain = nullptr;
    if (const int r = plain_ascii_text(s, n, '%', '%', &plain)) return r > 0 ? plain : nullptr;
    return unquote_raw_text(s, n);
}

// `unquote(text)` for a str, through the module's global. New reference.
PyObject *unquote_str(PyObject *text);

// The module function `_fast_unquote(val)`; `val` must be bytes.
PyObject *fast_unquote(PyObject *val);

}  // namespace qm::routing
