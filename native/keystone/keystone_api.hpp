// The object layout and C-level table of `quenmark.keystone`. Field order is part of the
// interface; the table is append-only (see common/capi.hpp).
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/capi.hpp"

namespace qm::keystone {

struct KeystoneObject {
    PyObject_HEAD
    int show_error_details;
    PyObject *router;               // anything with get_match(request)
    PyObject *logger;               // a logging.Logger, normally
    PyObject *exceptions_handlers;  // an ExceptionHandlersDict, normally
    PyObject *_entry;               // what an HTTP exchange awaits with the request
    PyObject *_unanswered;          // what _entry gives for a request that gets no response
    vectorcallfunc vectorcall;      // the call slot of a class whose __call__ is asgi_entry
};

// Object results are new references (null with an error set); is_handled_exception answers 1 or
// 0, or -1 with an error set.
struct CApi {
    CApiHeader header;
    PyTypeObject *keystone_type;
    // Honours a Python subclass's override.
    PyObject *(*get_http_exception_handler)(PyObject *self, PyObject *http_exception);
    PyObject *(*get_exception_handler)(PyObject *self, PyObject *exception, PyObject *stop_at);
    int (*is_handled_exception)(PyObject *self, PyObject *exception);
    // New entries go here, at the end.
};

inline constexpr const char *kModule = "quenmark.keystone";
inline constexpr const char *kCapsule = "quenmark.keystone._C_API";
inline constexpr const char *kTableName = "quenmark.keystone CApi";
inline constexpr size_t kTableVersion = 1;

// For importers: binds the table and checks the layout; null with an error set.
inline const CApi *import() {
    return import_capi<CApi>(kModule, kCapsule, kTableName, kTableVersion,
                             {{"KeystoneApplication", sizeof(KeystoneObject)}});
}

}  // namespace qm::keystone
