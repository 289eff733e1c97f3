// ASCII case helpers. Header names are short, so the scalar tail matters as much as the vector
// body; SSE2 is the x86-64 baseline and AVX2 is used when the CPU reports it.
#include "ascii_case.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define QMK_X86 1
#endif

namespace {

inline bool is_upper(unsigned char c) { return static_cast<unsigned char>(c - 'A') < 26; }

[[maybe_unused]] bool scalar_is_lower(const unsigned char *s, size_t len) {
    for (size_t i = 0; i < len; ++i)
        if (is_upper(s[i])) return false;
    return true;
}

// Eight bytes at a time: the high bit of each byte of the result is set where that byte is an
// ASCII capital. Most header names are shorter than a vector, so this carries the short case.
inline uint64_t upper_bits64(uint64_t x) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t high = 0x8080808080808080ull;
    const uint64_t seven = x & ~high;
    const uint64_t ge_a = seven + ones * (0x80 - 'A');      // high bit: low seven bits >= 'A'
    const uint64_t gt_z = seven + ones * (0x80 - 'Z' - 1);  // high bit: low seven bits > 'Z'
    return ge_a & ~gt_z & ~x & high;
}

// Zero bytes may come with a null pointer (an empty buffer), which memcpy must never see.
inline uint64_t load_up_to_8(const unsigned char *s, size_t n) {
    uint64_t v = 0;
    if (n) std::memcpy(&v, s, n);
    return v;
}

// For 0 to 16 bytes: two possibly overlapping words cover them.
inline bool short_is_lower(const unsigned char *s, size_t len) {
    if (len >= 8) {
        uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + len - 8, 8);
        return (upper_bits64(a) | upper_bits64(b)) == 0;
    }
    return upper_bits64(load_up_to_8(s, len)) == 0;
}

void scalar_lower(const unsigned char *src, unsigned char *dst, size_t len) {
    for (size_t i = 0; i < len; ++i) dst[i] = src[i] | (is_upper(src[i]) ? 0x20 : 0);
}

#ifdef QMK_X86
// Bias so that 'A'..'Z' become the 26 smallest signed bytes; one signed compare finds them.
inline __m128i upper_mask_128(__m128i x) {
    const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - 'A')));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + 26)));
}

bool sse2_is_lower(const unsigned char *s, size_t len) {
    if (len <= 16) return short_is_lower(s, len);
    size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        if (_mm_movemask_epi8(upper_mask_128(x))) return false;
    }
    if (i == len) return true;
    // The last vector overlaps bytes already checked, which is harmless for a test.
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + len - 16));
    return _mm_movemask_epi8(upper_mask_128(x)) == 0;
}

void sse2_lower(const unsigned char *src, unsigned char *dst, size_t len) {
    size_t i = 0;
    for (; i + 16 <= len; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        const __m128i bit = _mm_and_si128(upper_mask_128(x), _mm_set1_epi8(0x20));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_or_si128(x, bit));
    }
    scalar_lower(src + i, dst + i, len - i);
}

__attribute__((target("avx2"))) inline __m256i upper_mask_256(__m256i x) {
    const __m256i shifted = _mm256_add_epi8(x, _mm256_set1_epi8(static_cast<char>(0x80 - 'A')));
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(-128 + 26)), shifted);
}

__attribute__((target("avx2"))) bool avx2_is_lower(const unsigned char *s, size_t len) {
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        if (_mm256_movemask_epi8(upper_mask_256(x))) return false;
    }
    return sse2_is_lower(s + i, len - i);
}

__attribute__((target("avx2"))) void avx2_lower(const unsigned char *src, unsigned char *dst,
                                                size_t len) {
    size_t i = 0;
    for (; i + 32 <= len; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i));
        const __m256i bit = _mm256_and_si256(upper_mask_256(x), _mm256_set1_epi8(0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), _mm256_or_si256(x, bit));
    }
    sse2_lower(src + i, dst + i, len - i);
}

// This runs as a static initialiser, possibly before the compiler runtime's own CPU probe;
// __builtin_cpu_init makes the answer valid whatever the order.
const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

}  // namespace

extern "C" int simd_is_ascii_lowercase(const char *s, size_t len) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
#ifdef QMK_X86
    // Most header names are shorter than a vector; the branch below is well predicted.
    if (len >= 32 && has_avx2) return avx2_is_lower(p, len);
    return sse2_is_lower(p, len);
#else
    if (len <= 16) return short_is_lower(p, len);
    return scalar_is_lower(p, len);
#endif
}

extern "C" void simd_lowercase_ascii(const char *src, char *dst, size_t len) {
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    auto *d = reinterpret_cast<unsigned char *>(dst);
#ifdef QMK_X86
    if (len >= 32 && has_avx2) return avx2_lower(s, d, len);
    sse2_lower(s, d, len);
#else
    scalar_lower(s, d, len);
#endif
}
