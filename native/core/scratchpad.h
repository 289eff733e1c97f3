// Interface of the native core library `_qmk_core`: interning of methods, header names and
// media types, ASCII case helpers, and the per-request bump-pointer arena.
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

// Interning. Each returns a borrowed reference to a shared object, or NULL (no error set) when
// the text is not in the table. The caller holds the interpreter lock. The objects are created
// on first use and live as long as the process.
typedef struct _object PyObject;
QMK_API PyObject *get_interned_method_str(const char *s, size_t len);
QMK_API PyObject *get_interned_header_name_bytes(const char *s, size_t len);
QMK_API PyObject *get_interned_content_type_bytes(const char *s, size_t len);

// Non-zero when none of the `len` bytes is an ASCII capital letter.
QMK_API int simd_is_ascii_lowercase(const char *s, size_t len);
// Copies `len` bytes from `src` to `dst`, lowering ASCII capitals. The ranges do not overlap.
QMK_API void simd_lowercase_ascii(const char *src, char *dst, size_t len);

QMK_API qmk_err scratchpad_init(ScratchpadArena *arena, size_t capacity);
// Hands out `size` bytes aligned to `alignment` (a power of two; 0 means 1). Anything but QMK_OK
// means no block was handed out and `*out` is untouched.
QMK_API qmk_err scratchpad_alloc(ScratchpadArena *arena, size_t size, size_t alignment, void **out);
QMK_API void scratchpad_destroy(ScratchpadArena *arena);

static inline void scratchpad_reset(ScratchpadArena *arena) { arena->offset = 0; }

#ifdef __cplusplus
}
#endif
