// Unit tests of the native core library's interpreter-free half: the ASCII case functions and
// the scratchpad arena.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ascii_case.h"
#include "scratchpad.h"

static int failures = 0;

#define CHECK(cond)                                                             \
    do {                                                                        \
        if (!(cond)) {                                                          \
            ++failures;                                                         \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
        }                                                                       \
    } while (0)

static unsigned char reference_lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

static void test_case_functions_on_every_byte() {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        char out = 0;
        simd_lowercase_ascii(&c, &out, 1);
        CHECK(static_cast<unsigned char>(out) == reference_lower(static_cast<unsigned char>(b)));
        CHECK((simd_is_ascii_lowercase(&c, 1) != 0) == !(b >= 'A' && b <= 'Z'));
    }
}

// Every length crosses the vector widths and the scalar tail; the capital letter is put at each
// position in turn, so a lane that the vector loop skips would show.
static void test_case_functions_on_every_length() {
    for (size_t len = 0; len <= 130; ++len) {
        std::vector<char> src(len + 2), dst(len + 2, '#');
        for (size_t i = 0; i < len; ++i) src[i] = static_cast<char>(0x40 + (i * 7) % 0x40);
        simd_lowercase_ascii(src.data(), dst.data(), len);
        for (size_t i = 0; i < len; ++i)
            CHECK(static_cast<unsigned char>(dst[i]) == reference_lower(static_cast<unsigned char>(src[i])));
        CHECK(dst[len] == '#');  // nothing written past the end

        std::vector<char> lower(len, 'a');
        CHECK(simd_is_ascii_lowercase(lower.data(), len) != 0);
        for (size_t pos = 0; pos < len; ++pos) {
            lower[pos] = 'Q';
            CHECK(simd_is_ascii_lowercase(lower.data(), len) == 0);
            lower[pos] = '[';  // just past 'Z'
            CHECK(simd_is_ascii_lowercase(lower.data(), len) != 0);
            lower[pos] = '@';  // just before 'A'
            CHECK(simd_is_ascii_lowercase(lower.data(), len) != 0);
            lower[pos] = 'a';
        }
    }
}

// The vector paths see each byte value in each lane: bytes with the high bit set (0xC1 is 'A' |
// 0x80) and the neighbours of the letter range must pass through unchanged wherever they sit.
static void test_case_functions_on_every_byte_in_every_lane() {
    for (size_t len : {7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 130, 256, 300}) {
        std::vector<char> src(len), dst(len + 1);
        for (size_t phase = 0; phase < 256; ++phase) {
            bool any_upper = false;
            for (size_t i = 0; i < len; ++i) {
                src[i] = static_cast<char>((i + phase) & 0xFF);
                any_upper |= src[i] >= 'A' && src[i] <= 'Z';
            }
            dst[len] = '#';
            simd_lowercase_ascii(src.data(), dst.data(), len);
            for (size_t i = 0; i < len; ++i)
                CHECK(static_cast<unsigned char>(dst[i]) ==
                      reference_lower(static_cast<unsigned char>(src[i])));
            CHECK(dst[len] == '#');
            CHECK((simd_is_ascii_lowercase(src.data(), len) != 0) == !any_upper);
        }
        std::vector<char> one(len, 'a');
        for (size_t pos = 0; pos < len; ++pos) {
            for (int b = 0; b < 256; ++b) {
                one[pos] = static_cast<char>(b);
                CHECK((simd_is_ascii_lowercase(one.data(), len) != 0) == !(b >= 'A' && b <= 'Z'));
            }
            one[pos] = 'a';
        }
    }
    // An empty buffer may come as a null pointer.
    CHECK(simd_is_ascii_lowercase(nullptr, 0) != 0);
    simd_lowercase_ascii(nullptr, nullptr, 0);
}

static void test_arena_alignment() {
    ScratchpadArena arena;
    CHECK(scratchpad_init(&arena, 65536) == QMK_OK);
    CHECK(arena.offset == 0 && arena.capacity == 65536 && arena.is_dynamic);
    for (size_t alignment : {1, 2, 8, 16, 64, 128, 4096}) {
        void *block = nullptr;
        CHECK(scratchpad_alloc(&arena, 3, alignment, &block) == QMK_OK);
        CHECK(reinterpret_cast<uintptr_t>(block) % alignment == 0);
        CHECK(static_cast<unsigned char *>(block) + 3 <= arena.buffer + arena.capacity);
    }
    void *block = nullptr;
    CHECK(scratchpad_alloc(&arena, 8, 3, &block) == QMK_ERR_BAD_ARG);  // not a power of two
    scratchpad_reset(&arena);
    CHECK(arena.offset == 0);
    CHECK(scratchpad_alloc(&arena, 16, 0, &block) == QMK_OK && block == arena.buffer);
    scratchpad_destroy(&arena);
    CHECK(arena.buffer == nullptr);
}

static void test_arena_exhaustion() {
    ScratchpadArena arena;
    CHECK(scratchpad_init(&arena, 1024) == QMK_OK);
    void *a = nullptr, *b = nullptr;
    CHECK(scratchpad_alloc(&arena, 1000, 8, &a) == QMK_OK);
    void *untouched = &b;
    b = untouched;
    CHECK(scratchpad_alloc(&arena, 100, 8, &b) != QMK_OK);
    CHECK(b == untouched);  // a refusal hands out nothing
    CHECK(scratchpad_alloc(&arena, 24, 8, &b) == QMK_OK);  // the rest still fits exactly
    CHECK(arena.offset == 1024);
    CHECK(scratchpad_alloc(&arena, 0, 1, &b) == QMK_OK);   // an empty block at the very end
    CHECK(scratchpad_alloc(&arena, 1, 1, &b) != QMK_OK);
    scratchpad_destroy(&arena);

    ScratchpadArena empty;
    CHECK(scratchpad_init(&empty, 0) == QMK_OK);
    CHECK(scratchpad_alloc(&empty, 1, 1, &b) != QMK_OK);
    scratchpad_destroy(&empty);
}

static void test_arena_overflow() {
    ScratchpadArena arena;
    CHECK(scratchpad_init(&arena, 4096) == QMK_OK);
    void *block = nullptr;
    CHECK(scratchpad_alloc(&arena, SIZE_MAX, 1, &block) != QMK_OK);
    CHECK(scratchpad_alloc(&arena, SIZE_MAX - 10, 64, &block) != QMK_OK);
    CHECK(scratchpad_alloc(&arena, 1, size_t(1) << 63, &block) != QMK_OK);
    CHECK(scratchpad_alloc(&arena, 1, SIZE_MAX, &block) != QMK_OK);
    CHECK(arena.offset == 0);  // refusals leave the arena as it was
    scratchpad_destroy(&arena);
    CHECK(scratchpad_init(&arena, SIZE_MAX) != QMK_OK);
    CHECK(arena.buffer == nullptr);
}

int main() {
    test_case_functions_on_every_byte();
    test_case_functions_on_every_length();
    test_case_functions_on_every_byte_in_every_lane();
    test_arena_alignment();
    test_arena_exhaustion();
    test_arena_overflow();
    if (failures) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::puts("core library: all checks passed");
    return 0;
}
