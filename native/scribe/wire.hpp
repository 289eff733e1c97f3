// What may reach the wire in a header: no name or value holding CR or LF (which would end the
// header line and let the rest pose as headers of its own) or NUL (which servers and clients
// treat as the end of the text).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/errors.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

// Eight bytes at a time: a byte equal to CR, LF or NUL leaves a zero byte in `word ^ pattern`,
// which (x - 0x01..) & ~x & 0x80.. detects.
inline bool has_line_break_or_nul(const char *s, size_t n) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto has_zero = [](uint64_t x) { return ((x - ones) & ~x & highs) != 0; };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, sizeof word);
        if (has_zero(word) || has_zero(word ^ (ones * '\r')) || has_zero(word ^ (ones * '\n')))
            return true;
    }
    for (; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r' || c == '\n' || c == '\0') return true;
    }
    return false;
}

// The same for text, code point by code point.
inline bool text_has_line_break_or_nul(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND)
        return has_line_break_or_nul(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)),
                                     size_t(n));
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' || c == '\n' || c == '\0') return true;
    }
    return false;
}

inline Raised unsafe_header(PyObject *name) {
    PyErr_Format(PyExc_ValueError,
                 "Invalid response header %.200R: names and values must not contain CR, LF or NUL",
                 name);
    return {};
}

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
