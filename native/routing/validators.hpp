// Native checks with the meaning of the module's three compiled patterns under `re.match`:
// `^\d+$` (at most 4300 digits), `^\d+(?:\.\d+)?$` and the 8-4-4-4-12 hex layout, where `\d` is
// an ASCII digit in a bytes pattern and `$` also matches just before one final line feed.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/ascii.hpp"

namespace qm::routing {

namespace detail {

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

namespace detail {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

// The high bit of each byte of `x` within [lo, hi]; every byte of `x` below 0x80, so that no
// sum carries into the next byte.
constexpr uint64_t bytes_in_range(uint64_t x, unsigned char lo, unsigned char hi) {
    return (x + kOnes * (0x80 - lo)) & ~(x + kOnes * (0x7f - hi)) & kHigh;
}

// Whether all eight bytes are hex digits.
inline bool hex_word(uint64_t x) {
    if (x & kHigh) return false;
    const uint64_t digits = bytes_in_range(x, '0', '9');
    const uint64_t letters = bytes_in_range(x | kOnes * 0x20, 'a', 'f');  // either case
    return (digits | letters) == kHigh;
}

}  // namespace detail

// The 8-4-4-4-12 layout: the dashes in place, and the 32 digits checked eight at a time.
inline bool matches_uuid(const char *s, Py_ssize_t n) {
    n = detail::body_length(s, n);
    if (n != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    char digits[32];
    std::memcpy(digits, s, 8);
    std::memcpy(digits + 8, s + 9, 4);
    std::memcpy(digits + 12, s + 14, 4);
    std::memcpy(digits + 16, s + 19, 4);
    std::memcpy(digits + 20, s + 24, 12);
    for (int i = 0; i < 32; i += 8)
        if (!detail::hex_word(load64(digits + i))) return false;
    return true;
}

}  // namespace qm::routing
