// The C-level table of `quenmark.scribe`, for modules that bind it. The table is append-only
// (see common/capi.hpp): new entries go at the end.
#pragma once

#include <Python.h>

#include "common/capi.hpp"

namespace qm::scribe {

// An application that answers a request without a call through Python. `start` routes the
// request; `finish` takes what awaiting start's awaitable gave (stolen; null with the error set
// when it failed) and makes it the response. Each returns a new reference: with `*ready` 1 the
// outcome itself (null with an error set is the request's failure), with `*ready` 0 something to
// await for it (null: a failure already raised, which is passed on as awaiting would).
struct Answerer {
    PyObject *(*start)(PyObject *app, PyObject *request, int *ready);
    PyObject *(*finish)(PyObject *app, PyObject *request, PyObject *result, int *ready);
};

// Object results are new references (null with an error set); int results are 0, or -1 with an
// error set. `flag` is the override flag every entry carries; module functions cannot be
// overridden and ignore it.
struct CApi {
    CApiHeader header;
    // The response chunk size, for other modules to read. The writers of this module keep their
    // own copy: changing this variable changes nothing here.
    int *MAX_RESPONSE_CHUNK_SIZE;
    // Appends Content-Type and Content-Length (or chunked Transfer-Encoding) to a Response.
    int (*set_headers_for_response_content)(PyObject *message, int flag);
    // One server-sent event in the event-stream wire format: bytes.
    PyObject *(*write_sse)(PyObject *event, int flag);
    // An RSGI header mapping or pair list as a list of (bytes, bytes) tuples.
    PyObject *(*extract_rsgi_headers)(PyObject *raw_headers, int flag);
    // A Request from the pool for an RSGI scope, reading its body from `protocol`.
    PyObject *(*instantiate_rsgi_request)(PyObject *scope, PyObject *protocol, int flag);
    // Sends a Response through an RSGI protocol: None, or a coroutine to await for a stream.
    PyObject *(*send_rsgi_response_sync)(PyObject *response, PyObject *protocol, int flag);
    // serve_asgi and serve_rsgi for an application that answers through `answerer`, in place of
    // an entry to call: the coroutine of the exchange.
    PyObject *(*serve_asgi_with)(const Answerer *answerer, PyObject *app, PyObject *scope,
                                 PyObject *receive, PyObject *send, PyObject *unanswered);
    PyObject *(*serve_rsgi_with)(const Answerer *answerer, PyObject *app, PyObject *scope,
                                 PyObject *protocol, PyObject *unanswered);
    // New entries go here, after every existing one (append-only).
};

inline constexpr const char *kModule = "quenmark.scribe";
inline constexpr const char *kCapsule = "quenmark.scribe._C_API";
inline constexpr const char *kTableName = "quenmark.scribe CApi";
inline constexpr size_t kTableVersion = 1;

// For importers: binds the table; null with an error set on failure.
inline const CApi *import() {
    return import_capi<CApi>(kModule, kCapsule, kTableName, kTableVersion);
}

}  // namespace qm::scribe
