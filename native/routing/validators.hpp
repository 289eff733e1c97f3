// Native checks with the meaning of the module's three compiled patterns under `re.match`:
// `^\d+$` (at most 4300 digits), `^\d+(?:\.\d+)?$` and the 8-4-4-4-12 hex layout, where `\d` is
// an ASCII digit in a bytes pattern and `$` also matches just before one final line feed.
#pragma once

#include <Python.h>

namespace qm::routing {

namespace detail {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What `$` accepts: the text without one final line feed.
inline Py_ssize_t body_length(const char *s, Py_ssize_t n) {
    return n > 0 && s[n - 1] == '\n' ? n - 1 : n;
}

// Skips a run of digits from `i`; returns the index after it.
inline Py_ssize_t skip_digits(const char *s, Py_ssize_t i, Py_ssize_t n) {
    while (i < n && is_digit(s[i])) ++i;
    return i;
}

}  // namespace detail

// The interpreter's default bound on the digits int() converts (sys.get_int_max_str_digits()).
inline constexpr Py_ssize_t kMaxIntDigits = 4300;

// A segment of more digits is not an int parameter: a handler's int() of it would fail, a
// server error caused by the client.
inline bool matches_int(const char *s, Py_ssize_t n) {
    n = detail::body_length(s, n);
    return n > 0 && n <= kMaxIntDigits && detail::skip_digits(s, 0, n) == n;
}

inline bool matches_float(const char *s, Py_ssize_t n) {
    n = detail::body_length(s, n);
    Py_ssize_t i = detail::skip_digits(s, 0, n);
    if (i == 0) return false;
    if (i == n) return true;
    if (s[i] != '.') return false;
    const Py_ssize_t frac = i + 1;
    i = detail::skip_digits(s, frac, n);
    return i > frac && i == n;
}

inline bool matches_uuid(const char *s, Py_ssize_t n) {
    n = detail::body_length(s, n);
    if (n != 36) return false;
    for (Py_ssize_t i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !detail::is_hex(s[i])) return false;
    }
    return true;
}

}  // namespace qm::routing
