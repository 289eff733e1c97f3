// The object layouts and C-level table of `quenmark.messages`, shared with `keystone` and
// `scribe`. Field order is part of the interface; tables are append-only (see
// common/capi.hpp); changing a layout is caught by the size check of `import`.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/capi.hpp"
#include "core/scratchpad.h"

namespace qm::messages {

struct MessageObject {
    PyObject_HEAD
    PyObject *_raw_headers;  // list of (name, value) pairs, or None
    PyObject *_headers;      // cached Headers over _raw_headers, or None
    PyObject *content;       // Content or None
    PyObject *_form_data;
    PyObject *context;
    PyObject *weakreflist;   // weak references (not a declared field)
};

// Request's object fields after Message's, in layout order, declared once: the layout below and,
// in request.cpp, allocation, traversal, clearing, the attributes and what `reset()` stores are
// generated from it. X(name, rule, type, reset): `rule` and `type` are the attribute's
// assignment rule (a qm::FieldKind and its type, see common/fields.hpp); `reset` is Early(value)
// (stored before reset() runs the identity setter), Late (None, after it), Last (None, at the
// end) or Keep (left alone). Outside the module only the names matter. Every field holds None
// on allocation.
#define QM_REQUEST_FIELDS(X)                                                                      \
    X(method, Exact, &PyUnicode_Type, Early(S.empty_str)) /* interned when known */             \
    X(_url, Instance, S.url_type, Early(Py_None))  /* built lazily from _path and _raw_query */ \
    X(_path, Exact, &PyBytes_Type, Early(S.empty_bytes))                                       \
    X(_raw_query, Exact, &PyBytes_Type, Early(S.empty_bytes))                                  \
    X(route_values, Any, nullptr, Early(Py_None))                                              \
    X(scope, Any, nullptr, Early(Py_None))  /* the server's connection scope, unchanged */     \
    X(_user, Any, nullptr, Late)                                                               \
    X(_di_scope, Any, nullptr, Late)                                                           \
    X(state, Any, nullptr, Late)                                                               \
    X(_session, Any, nullptr, Late)                                                            \
    X(_base_path, Exact, &PyUnicode_Type, Late)                                                \
    X(_original_client_ip, Exact, &PyUnicode_Type, Late)                                       \
    X(_host, Exact, &PyUnicode_Type, Late)  /* cache of the host property */                   \
    X(_scheme, Exact, &PyUnicode_Type, Late)                                                   \
    X(_context, Any, nullptr, Keep)                                                            \
    X(services, Any, nullptr, Late)                                                            \
    X(_receive, Any, nullptr, Late)  /* ASGI `receive` of a request without a body */           \
    X(_is_disconnected, Any, nullptr, Last)  /* None, False or True */

#define QM_DECLARE_OBJECT_FIELD(name, ...) PyObject *name;

struct RequestObject {
    MessageObject base;
    QM_REQUEST_FIELDS(QM_DECLARE_OBJECT_FIELD)
    ScratchpadArena _arena;
    int _arena_initialized;
};

struct ResponseObject {
    MessageObject base;
    int status;
    PyObject *state;
    PyObject *_context;
};

// The optional arguments of `acquire_response`: the first `given` of status, headers and content
// are used, the others keep their defaults (200, None, None).
struct AcquireResponseArgs {
    int given;
    int status;
    PyObject *headers;  // list or None
    PyObject *content;  // Content or None
};

// The native operations, in table order: Message's 19, then Request's 3, then Response's 2.
// Operations marked overridable in the comments honour a Python subclass's override. Object
// results are new references (null with an error set); int results are 0/1 (a truth value) or
// 0 (done), and -1 with an error set.
struct CApi {
    CApiHeader header;
    PyTypeObject *message_type;
    PyTypeObject *request_type;
    PyTypeObject *response_type;
    // Message
    PyObject *(*get_headers)(PyObject *self, PyObject *key);                  // 1 overridable; list
    PyObject *(*get_first_header)(PyObject *self, PyObject *key);             // 2 overridable
    PyObject *(*get_single_header)(PyObject *self, PyObject *key);            // 3 overridable
    int (*remove_header)(PyObject *self, PyObject *key);                      // 4 overridable
    int (*_has_header)(PyObject *self, PyObject *key);                        // 5
    int (*has_header)(PyObject *self, PyObject *key);                         // 6 overridable
    int (*_add_header)(PyObject *self, PyObject *key, PyObject *value);       // 7
    int (*_add_header_if_missing)(PyObject *self, PyObject *key, PyObject *value);  // 8
    int (*add_header)(PyObject *self, PyObject *key, PyObject *value);        // 9 overridable
    int (*set_header)(PyObject *self, PyObject *key, PyObject *value);        // 10 overridable
    PyObject *(*content_type)(PyObject *self);                                // 11 overridable
    int (*remove_headers)(PyObject *self, PyObject *headers);                 // 12
    PyObject *(*get_headers_tuples)(PyObject *self, PyObject *key);           // 13; list
    int (*init_prop)(PyObject *self, PyObject *name, PyObject *value);        // 14
    PyObject *(*with_content)(PyObject *self, PyObject *content);             // 15 overridable
    int (*has_body)(PyObject *self);                                          // 16 overridable
    int (*declares_content_type)(PyObject *self, PyObject *type);             // 17 overridable
    int (*declares_json)(PyObject *self);                                     // 18 overridable
    int (*declares_xml)(PyObject *self);                                      // 19 overridable
    // Request
    int (*expect_100_continue)(PyObject *self);                               // 20 overridable
    int (*request_reset)(PyObject *self);                                     // 21 overridable
    // 22: a block of `size` bytes aligned to `alignment` (64 by convention) from the request's
    // scratchpad, valid until the request is reset; null when the arena cannot serve it. Never
    // raises.
    void *(*alloc_scratchpad)(PyObject *self, size_t size, size_t alignment);
    // Response
    int (*is_redirect)(PyObject *self);                                       // 23 overridable
    int (*response_reset)(PyObject *self);                                    // 24 overridable
    // Module-level helpers: new references; None passes through. Unlike the headers module's
    // function of the same name, this one never lower-cases: a message stores names in the case
    // it was given them and only swaps in the shared object for an exact match.
    PyObject *(*intern_header_name_bytes)(PyObject *name);
    PyObject *(*intern_method_str)(PyObject *method);
    // Request helpers and pools. `flag` is the override flag every entry carries; module
    // functions cannot be overridden and ignore it. Int results: 0/1, or -1 with an error set.
    PyObject *(*ensure_bytes)(PyObject *value);  // str (as UTF-8) or bytes -> bytes
    int (*method_without_body)(PyObject *method, int flag);
    int (*is_cors_preflight_request)(PyObject *request, int flag);
    int (*is_cors_request)(PyObject *request, int flag);
    PyObject *(*get_absolute_url_to_path)(PyObject *request, PyObject *path, int flag);
    PyObject *(*get_request_absolute_url)(PyObject *request, int flag);
    PyObject *(*acquire_request)(PyObject *method, PyObject *path, PyObject *raw_query,
                                 PyObject *headers, PyObject *scope, int flag);
    PyObject *(*acquire_response)(int flag, const AcquireResponseArgs *optional);  // may be null
    // 0 once the object is back in the pool (or dropped because the pool is full), -1 with an
    // error set.
    int (*release_request)(PyObject *request, int flag);
    int (*release_response)(PyObject *response, int flag);
    // acquire_request for a header list the caller hands over: a request from the pool keeps
    // `headers` itself, with no copy (a new one is made by Request.incoming, which copies), so it
    // is a new list nothing else holds, of (bytes, bytes) tuples whose names are the core
    // library's shared objects where it has them (what acquire_request's copy would hold). The
    // list is not checked further.
    PyObject *(*acquire_request_taking)(PyObject *method, PyObject *path, PyObject *raw_query,
                                        PyObject *headers, PyObject *scope);
    // New entries go here, after every existing one (append-only).
};

inline constexpr const char *kModule = "quenmark.messages";
inline constexpr const char *kCapsule = "quenmark.messages._C_API";
inline constexpr const char *kTableName = "quenmark.messages CApi";
inline constexpr size_t kTableVersion = 1;

// For importers: binds the table and checks the three layouts; null with an error set.
inline const CApi *import() {
    return import_capi<CApi>(kModule, kCapsule, kTableName, kTableVersion,
                             {{"Message", sizeof(MessageObject)},
                              {"Request", sizeof(RequestObject)},
                              {"Response", sizeof(ResponseObject)}});
}

}  // namespace qm::messages
