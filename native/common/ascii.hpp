// ASCII case helpers for the short names and values that lookups compare: one byte, and eight at a
// time.
#pragma once

#include <cstdint>
#include <cstring>

#include <Python.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm {

// `c` with an ASCII capital lowered.
inline unsigned char ascii_lower(unsigned char c) {
    return static_cast<unsigned char>(c - 'A') < 26 ? static_cast<unsigned char>(c | 0x20) : c;
}

inline uint64_t load64(const char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load32(const char *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Each ASCII capital of the eight bytes lowered; every other byte unchanged.
inline uint64_t lower64(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t high = 0x8080808080808080ull;
    const uint64_t seven = x & ~high;
    const uint64_t ge_a = seven + ones * (0x80 - 'A');     // high bit: byte >= 'A'
    const uint64_t gt_z = seven + ones * (0x80 - 'Z' - 1);  // high bit: byte > 'Z'
    const uint64_t upper = ge_a & ~gt_z & ~x & high;
    return x | (upper >> 2);
}

// The high bit of each byte of `x` that equals `c`, every other bit clear (no false positives:
// no carry crosses a byte).
inline uint64_t bytes_equal_mask(uint64_t x, unsigned char c) {
    constexpr uint64_t low7 = 0x7f7f7f7f7f7f7f7full;
    const uint64_t y = x ^ (0x0101010101010101ull * c);
    return ~(((y & low7) + low7) | y | low7);
}

// The first `c` in `s[0, n)`, or null: sixteen bytes at a time where SSE2 is there (the x86-64
// baseline), then a word at a time, for the short texts where a library call costs more than the
// search.
inline const char *find_byte(const char *s, Py_ssize_t n, unsigned char c) {
    Py_ssize_t i = 0;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(c));
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        if (const int m = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)))
            return s + i + __builtin_ctz(static_cast<unsigned>(m));
    }
#endif
    for (; i + 8 <= n; i += 8)
        if (const uint64_t m = bytes_equal_mask(load64(s + i), c))
            return s + i + __builtin_ctzll(m) / 8;
    for (; i < n; ++i)
        if (static_cast<unsigned char>(s[i]) == c) return s + i;
    return nullptr;
}

// Whether `a`, ASCII-lowered, equals `b` (both `n` bytes). With `b` free of capitals this is
// `a == b or a.lower() == b`.
inline bool lowered_equal(const char *a, const char *b, Py_ssize_t n) {
    if (n >= 8) {
        Py_ssize_t i = 0;
        for (; i + 8 <= n; i += 8)
            if (lower64(load64(a + i)) != load64(b + i)) return false;
        // The last word may overlap bytes already compared; that is harmless.
        return i == n || lower64(load64(a + n - 8)) == load64(b + n - 8);
    }
    if (n >= 4)
        return lower64(load32(a)) == load32(b) && lower64(load32(a + n - 4)) == load32(b + n - 4);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (ascii_lower(static_cast<unsigned char>(a[i])) != static_cast<unsigned char>(b[i]))
            return false;
    return true;
}

// `a == b` for `n` bytes each, for short texts.
inline bool same_bytes(const char *a, const char *b, Py_ssize_t n) {
    if (n >= 8) {
        Py_ssize_t i = 0;
        for (; i + 8 <= n; i += 8)
            if (load64(a + i) != load64(b + i)) return false;
        return i == n || load64(a + n - 8) == load64(b + n - 8);
    }
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace qm
