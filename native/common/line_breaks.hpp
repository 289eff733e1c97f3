// What may stand in a header name or value: no CR or LF (which would end the header line and let
// the rest pose as headers of its own) and no NUL (which servers and clients treat as the end of
// the text). Checked where a response's headers are set and again where they are written.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/errors.hpp"

namespace qm {

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
                 "Invalid header %.200R: names and values must not contain CR, LF or NUL",
                 name);
    return {};
}

}  // namespace qm
