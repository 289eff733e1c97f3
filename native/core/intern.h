// Interning in the native core library: each known HTTP method, header name and media type maps
// to one shared object, so that callers in every module can compare by identity first.
#pragma once

#include <stddef.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

// Each returns a borrowed reference to a shared object, or NULL (no error set) when the text is
// not in the table. The caller holds the interpreter lock. The objects are created on first use
// and live as long as the process.
typedef struct _object PyObject;
QMK_API PyObject *get_interned_method_str(const char *s, size_t len);
QMK_API PyObject *get_interned_header_name_bytes(const char *s, size_t len);
QMK_API PyObject *get_interned_content_type_bytes(const char *s, size_t len);

#ifdef __cplusplus
}
#endif
