// Short byte strings that are plain ASCII become str by a copy, without the UTF-8 decoder's
// passes: path values, query pieces. A word at a time, checked while copied.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/ascii.hpp"

namespace qm {

// Copies `n` bytes (at least two) to `out` while they are ASCII and none is `stop1` or `stop2`;
// false (with `out` partly written) at the first word that is not. Every byte is read and written
// in words: a text's last word overlaps the one before it, and one shorter than a word is two
// halves that may overlap, or (two or three bytes) its first, middle and last bytes.
inline bool copy_plain_ascii(const char *s, Py_ssize_t n, char *out, unsigned char stop1,
                             unsigned char stop2) {
    constexpr uint64_t high = 0x8080808080808080ull;
    auto plain = [=](uint64_t w) {
        return ((w & high) | bytes_equal_mask(w, stop1) | bytes_equal_mask(w, stop2)) == 0;
    };
    if (n < 4) {
        const char a = s[0], b = s[n >> 1], c = s[n - 1];
        // The unused bytes of the word repeat the first, so that only the text's bytes are tested.
        const uint64_t w = (static_cast<unsigned char>(a) * 0x0101010101000000ull) |
                           static_cast<unsigned char>(a) |
                           (static_cast<uint64_t>(static_cast<unsigned char>(b)) << 8) |
                           (static_cast<uint64_t>(static_cast<unsigned char>(c)) << 16);
        if (!plain(w)) return false;
        out[0] = a;
        out[n >> 1] = b;
        out[n - 1] = c;
        return true;
    }
    if (n < 8) {
        const uint64_t first = load32(s), last = load32(s + n - 4);
        if (!plain(first | (last << 32))) return false;
        std::memcpy(out, s, 4);
        std::memcpy(out + n - 4, s + n - 4, 4);
        return true;
    }
    for (Py_ssize_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t w = load64(s + i);
        if (!plain(w)) return false;
        std::memcpy(out + i, &w, sizeof w);
    }
    const uint64_t w = load64(s + n - 8);
    if (!plain(w)) return false;
    std::memcpy(out + n - 8, &w, sizeof w);
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
