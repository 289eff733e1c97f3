// The per-request bump-pointer arena of the native core library. It needs no interpreter.
// (The library's other concerns: intern.h, ascii_case.h, and the coroutine runtime behind
// common/coro.hpp.)
#pragma once

#include <stddef.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum qmk_err {
    QMK_OK = 0,
    QMK_ERR_NOMEM = 1,
    QMK_ERR_BAD_ARG = 2,
    QMK_ERR_OVERFLOW = 3,
    QMK_ERR_SIMD_UNSUPPORTED = 4,
    QMK_ERR_ARENA_EXHAUSTED = 5,
    QMK_ERR_PARSE_FAILED = 6,
    QMK_ERR_NOT_FOUND = 7,
} qmk_err;

typedef struct ScratchpadArena {
    unsigned char *buffer;
    size_t capacity;
    size_t offset;
    int is_dynamic;
} ScratchpadArena;

QMK_API qmk_err scratchpad_init(ScratchpadArena *arena, size_t capacity);
// Hands out `size` bytes aligned to `alignment` (a power of two; 0 means 1). Anything but QMK_OK
// means no block was handed out and `*out` is untouched.
QMK_API qmk_err scratchpad_alloc(ScratchpadArena *arena, size_t size, size_t alignment, void **out);
QMK_API void scratchpad_destroy(ScratchpadArena *arena);

static inline void scratchpad_reset(ScratchpadArena *arena) { arena->offset = 0; }

#ifdef __cplusplus
}
#endif
