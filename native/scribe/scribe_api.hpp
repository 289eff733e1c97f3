// The C-level table of `quenmark.scribe`, for modules that bind it. The table is append-only
// (see common/capi.hpp): new entries go at the end.
#pragma once

#include <Python.h>

#include "common/capi.hpp"

namespace qm::scribe {

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
