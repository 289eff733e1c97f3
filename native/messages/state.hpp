// What the module binds once at import: the headers table, sibling types and functions, standard
// library helpers, constant objects and interned attribute names. Hot paths read these instead of
// looking anything up by name.
#pragma once

#include <Python.h>

#include "headers/headers_api.hpp"

namespace qm::messages {

// Interned attribute, method and scope-key names, as `S.n_<name>`.
#define QM_MESSAGES_NAMES(X)                                                                  \
    X(type) X(length) X(body_buffer) X(path) X(query) X(value) X(host) X(is_absolute)         \
    X(with_query) X(name) X(get) X(dispose) X(lower) X(decode) X(file) X(close) X(values)     \
    X(phrase) X(get_cookies) X(set_cookie) X(cookies) X(identity) X(client_ip) X(user)        \
    X(scheme) X(root_path) X(client) X(text) X(search) X(url) X(rstrip) X(_path)              \
    X(_raw_query) X(stream) X(content) X(read) X(charset) X(_data) X(body)        \
    X(has_custom_loads) X(cancel) X(call_soon)

struct State {
    const headers::CApi *headers = nullptr;
    PyTypeObject *headers_type = nullptr;

    // Sibling modules.
    PyTypeObject *content_type = nullptr;       // quenmark.contents.Content
    PyTypeObject *asgi_content_type = nullptr;  // quenmark.contents.ASGIContent
    PyTypeObject *cookie_type = nullptr;        // quenmark.cookies.Cookie
    PyObject *parse_cookie = nullptr;
    PyObject *write_cookie_for_response = nullptr;
    PyObject *split_value = nullptr;
    PyTypeObject *url_type = nullptr;           // quenmark.url.URL
    PyObject *bad_request = nullptr;
    PyObject *message_aborted = nullptr;
    PyObject *failed_request_error = nullptr;
    PyObject *utcnow = nullptr;
    PyObject *identity_type = nullptr;          // wardline.Identity
    PyObject *session_type = nullptr;           // quenmark.sessions.Session (bound, not called)
    PyObject *bad_request_format = nullptr;
    PyObject *fallback_decode = nullptr;        // encodings_settings.decode
    PyObject *json_settings = nullptr;
    PyObject *json_settings_loads = nullptr;    // json_settings.loads

    // msgspec and asyncio, for the body coroutines.
    PyObject *msgspec_decode = nullptr;         // msgspec.json.decode
    PyObject *msgspec_decode_error = nullptr;
    PyObject *create_task = nullptr;
    PyObject *get_event_loop = nullptr;
    PyObject *cancelled_error = nullptr;

    // Standard library.
    PyObject *http_status = nullptr;            // http.HTTPStatus
    PyObject *parse_qs = nullptr;
    PyObject *quote = nullptr;
    PyObject *unquote = nullptr;
    PyObject *urlencode = nullptr;
    PyObject *charset_rx = nullptr;             // the module's _charset_rx

    // Constants.
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    PyObject *utf8 = nullptr;                   // "utf8", the default charset
    PyObject *client_default = nullptr;         // ("", 0)
    PyObject *one_year = nullptr;               // timedelta(days=365)
    PyObject *cookie_separator = nullptr;       // b"; "
    PyObject *equals = nullptr;                 // b"="
    PyObject *cannot_parse_json = nullptr;      // "Cannot parse content as JSON"
    // Header names, the library's shared object when it has one.
    PyObject *h_content_type = nullptr;
    PyObject *h_host = nullptr;
    PyObject *h_cookie = nullptr;
    PyObject *h_set_cookie = nullptr;
    PyObject *h_expect = nullptr;
    PyObject *h_etag = nullptr;
    PyObject *h_if_none_match = nullptr;
    PyObject *b_json = nullptr;
    PyObject *b_xml = nullptr;

#define QM_DECLARE_NAME(n) PyObject *n_##n = nullptr;
    QM_MESSAGES_NAMES(QM_DECLARE_NAME)
#undef QM_DECLARE_NAME
};

extern State S;

// Fills `S`; -1 with an error set (the module's import then fails).
int init_state();

}  // namespace qm::messages
