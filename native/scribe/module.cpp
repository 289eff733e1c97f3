// quenmark.scribe: a Response written as ASGI events or RSGI protocol calls, chunked transfer
// coding and server-sent events, and the table other modules call them by.
#include <Python.h>

#include "common/capi.hpp"
#include "common/coro.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "scribe/asgi.hpp"
#include "scribe/chunks.hpp"
#include "scribe/content_headers.hpp"
#include "scribe/rsgi.hpp"
#include "scribe/scribe_api.hpp"
#include "scribe/serve.hpp"
#include "scribe/sse.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {
namespace {

// Exported for other modules to read; the writers here use kChunkSize.
int MAX_RESPONSE_CHUNK_SIZE = kChunkSize;

#define QM_FASTCALL(f) fastcall(f), \
                       METH_FASTCALL | METH_KEYWORDS

PyMethodDef kFunctions[] = {
    {"set_headers_for_response_content", QM_FASTCALL(py_set_headers_for_response_content),
     PyDoc_STR("set_headers_for_response_content(message)\n--\n\n"
               "Appends Content-Type (unless the response has one) and Content-Length or "
               "chunked Transfer-Encoding for the response's content.")},
    {"write_response_cookie", QM_FASTCALL(py_write_response_cookie),
     PyDoc_STR("write_response_cookie(cookie)\n--\n\nThe Set-Cookie header value of a cookie.")},
    {"get_chunks", QM_FASTCALL(py_get_chunks),
     PyDoc_STR("get_chunks(data)\n--\n\n"
               "The slices of `data` of at most 61440 bytes each, then one empty byte string.")},
    {"write_chunks", QM_FASTCALL(py_write_chunks),
     PyDoc_STR("write_chunks(http_content)\n--\n\n"
               "Asynchronous generator: the content's parts in chunked transfer coding.")},
    {"send_asgi_response", QM_FASTCALL(py_send_asgi_response),
     PyDoc_STR("send_asgi_response(response, send, request=None)\n--\n\n"
               "Coroutine: sends the response as ASGI http.response.start and "
               "http.response.body events.")},
    {"extract_rsgi_headers", QM_FASTCALL(py_extract_rsgi_headers),
     PyDoc_STR("extract_rsgi_headers(raw_headers)\n--\n\n"
               "RSGI headers (a mapping or text pairs) as a list of (bytes, bytes) tuples.")},
    {"instantiate_rsgi_request", QM_FASTCALL(py_instantiate_rsgi_request),
     PyDoc_STR("instantiate_rsgi_request(scope, protocol)\n--\n\n"
               "A Request from the pool for an RSGI scope, its body read from the protocol.")},
    {"send_rsgi_response_sync", QM_FASTCALL(py_send_rsgi_response_sync),
     PyDoc_STR("send_rsgi_response_sync(response, protocol)\n--\n\n"
               "Sends the response through the RSGI protocol; for a stream, returns the "
               "coroutine that sends it.")},
    {"_send_rsgi_stream", QM_FASTCALL(py_send_rsgi_stream),
     PyDoc_STR("_send_rsgi_stream(response, protocol, headers, content)\n--\n\n"
               "Coroutine: sends the content's stream through the protocol's stream transport.")},
    {"send_rsgi_response", QM_FASTCALL(py_send_rsgi_response),
     PyDoc_STR("send_rsgi_response(response, protocol, request=None)\n--\n\n"
               "Coroutine: sends the response through the RSGI protocol.")},
    {"instantiate_asgi_request", QM_FASTCALL(py_instantiate_asgi_request),
     PyDoc_STR("instantiate_asgi_request(scope, receive)\n--\n\n"
               "A Request from the pool for an ASGI HTTP scope, its body read with `receive`.")},
    {"serve_asgi", QM_FASTCALL(py_serve_asgi),
     PyDoc_STR("serve_asgi(entry, scope, receive, send, unanswered)\n--\n\n"
               "Coroutine: one ASGI HTTP exchange. The request built from the scope is answered "
               "by `await entry(request)`, which is sent (for `unanswered`, a 400 that may fail "
               "to go out); the request and the response go back to the pools when nothing else "
               "holds them.")},
    {"serve_rsgi", QM_FASTCALL(py_serve_rsgi),
     PyDoc_STR("serve_rsgi(entry, scope, protocol, unanswered)\n--\n\n"
               "Coroutine: one RSGI HTTP exchange, as serve_asgi.")},
    {"write_sse", QM_FASTCALL(py_write_sse),
     PyDoc_STR("write_sse(event)\n--\n\nOne server-sent event in the event-stream format.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef QM_FASTCALL

int capi_set_headers_for_response_content(PyObject *message, int) {
    return set_headers_for_response_content(message);
}
PyObject *capi_write_sse(PyObject *event, int) { return write_sse(event); }
PyObject *capi_extract_rsgi_headers(PyObject *raw_headers, int) {
    return extract_rsgi_headers(raw_headers);
}
PyObject *capi_instantiate_rsgi_request(PyObject *scope, PyObject *protocol, int) {
    return instantiate_rsgi_request(scope, protocol);
}
PyObject *capi_send_rsgi_response_sync(PyObject *response, PyObject *protocol, int) {
    return send_rsgi_response_sync(response, protocol);
}

CApi kApi = {
    .header = capi_header<CApi>(kTableName, kTableVersion),
    .MAX_RESPONSE_CHUNK_SIZE = &MAX_RESPONSE_CHUNK_SIZE,
    .set_headers_for_response_content = capi_set_headers_for_response_content,
    .write_sse = capi_write_sse,
    .extract_rsgi_headers = capi_extract_rsgi_headers,
    .instantiate_rsgi_request = capi_instantiate_rsgi_request,
    .send_rsgi_response_sync = capi_send_rsgi_response_sync,
    .serve_asgi_with = serve_asgi,
    .serve_rsgi_with = serve_rsgi,
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModule,
    .m_doc = PyDoc_STR("Response writing: ASGI events, RSGI calls, chunked bodies, server-sent "
                       "events."),
    .m_size = -1,
    .m_methods = kFunctions,
};

PyObject *init_module() {
    if (init_state() < 0 || init_coroutines() < 0 || ready_chunks_type() < 0) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (publish_capi(module.get(), kCapsule, &kApi) < 0 ||
        PyModule_AddObjectRef(module.get(), "_NEW_LINES_RX", S.new_lines_rx) < 0 ||
        add_rsgi_scope_type(module.get()) < 0)
        return nullptr;
    S.globals = Py_NewRef(PyModule_GetDict(module.get()));
    return module.release();
}

}  // namespace
}  // namespace qm::scribe

PyMODINIT_FUNC PyInit_scribe() { return qm::scribe::init_module(); }
