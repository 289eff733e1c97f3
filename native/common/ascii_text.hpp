// Short byte strings that are plain ASCII become str by a copy, without the UTF-8 decoder's
// passes: path values, query pieces. A word at a time, checked while copied.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/ascii.hpp"

namespace qm {

// Copies `n` bytes to `out` while they are ASCII and none is `stop1` or `stop2`; false (with
// `out` partly written) at the first byte that is not.
inline bool copy_plain_ascii(const char *s, Py_ssize_t n, char *out, unsigned char stop1,
                             unsigned char stop2) {
    constexpr uint64_t high = 0x8080808080808080ull;
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = load64(s + i);
        if ((w & high) | bytes_equal_mask(w, stop1) | bytes_equal_mask(w, stop2)) return false;
        std::memcpy(out + i, &w, sizeof w);
    }
    for (; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80 || c == stop1 || c == stop2) return false;
        out[i] = s[i];
    }
    return true;
}

// 1: `*text` is a new str of `s[0, n)`, which is ASCII without `stop1` or `stop2`; 0: it is not
// (nothing made); -1: error. Texts of one character are left to the decoder, which shares them.
inline int plain_ascii_text(const char *s, Py_ssize_t n, unsigned char stop1, unsigned char stop2,
                            PyObject **text) {
    if (n < 2) return 0;
    PyObject *out = PyUnicode_New(n, 127);
    if (!out) return -1;
    if (!copy_plain_ascii(s, n, reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(out)), stop1, stop2)) {
        Py_DECREF(out);
        return 0;
    }
    *text = out;
    return 1;
}

}  // namespace qm
