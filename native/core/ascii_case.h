// ASCII case functions of the native core library, vectorised for header names and methods.
// They need no interpreter.
#pragma once

#include <stddef.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Non-zero when none of the `len` bytes is an ASCII capital letter.
QMK_API int simd_is_ascii_lowercase(const char *s, size_t len);
// Copies `len` bytes from `src` to `dst`, lowering ASCII capitals. The ranges do not overlap.
QMK_API void simd_lowercase_ascii(const char *src, char *dst, size_t len);

#ifdef __cplusplus
}
#endif
