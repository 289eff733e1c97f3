// The object layouts and C-level table of `quenmark.headers`, shared with the modules that bind
// it. Tables are append-only (see common/capi.hpp); changing a layout is caught by
// the size check of `import`.
#pragma once

#include <Python.h>

#include "common/capi.hpp"

namespace qm::headers {

struct HeaderObject {
    PyObject_HEAD
    PyObject *name;   // bytes or None, normalised
    PyObject *value;  // bytes or None
};

struct HeadersObject {
    PyObject_HEAD
    PyObject *values;  // list of (name, value) tuples; the only storage
};

// Every function honours a Python subclass's override of the same-named method. Functions that
// return an object return a new reference or null with an error set; those that return int
// return 0 (or a truth value, for `contains`) or -1 with an error set.
struct CApi {
    CApiHeader header;
    PyTypeObject *header_type;
    PyTypeObject *headers_type;
    // The eleven operations, in slot order.
    PyObject *(*keys)(PyObject *self);                                // tuple
    PyObject *(*clone)(PyObject *self);                               // Headers
    PyObject *(*get)(PyObject *self, PyObject *name);                 // tuple
    PyObject *(*get_tuples)(PyObject *self, PyObject *name);          // list
    int (*add)(PyObject *self, PyObject *name, PyObject *value);
    int (*set)(PyObject *self, PyObject *name, PyObject *value);
    PyObject *(*get_single)(PyObject *self, PyObject *key);           // bytes
    PyObject *(*get_first)(PyObject *self, PyObject *key);            // bytes or None
    int (*remove)(PyObject *self, PyObject *key);
    int (*merge)(PyObject *self, PyObject *values);
    int (*contains)(PyObject *self, PyObject *key);                   // 1, 0 or -1
    // Module-level helpers (not visible to Python): both take bytes or None and return a new
    // reference to the normalised name.
    PyObject *(*intern_header_name_bytes)(PyObject *name);
    PyObject *(*simd_lower_bytes)(PyObject *name);
    // A new `Headers` around `values` (a list, adopted without copying; null for a new list).
    PyObject *(*new_headers)(PyObject *values);
    // New entries go here, after every existing one (append-only).
};

inline constexpr const char *kModule = "quenmark.headers";
inline constexpr const char *kCapsule = "quenmark.headers._C_API";
inline constexpr const char *kTableName = "quenmark.headers CApi";
inline constexpr size_t kTableVersion = 1;

// For importers: binds the table (and so the types) once; null with an error set on failure.
inline const CApi *import() {
    return import_capi<CApi>(kModule, kCapsule, kTableName, kTableVersion,
                             {{"Header", sizeof(HeaderObject)}, {"Headers", sizeof(HeadersObject)}});
}

}  // namespace qm::headers
