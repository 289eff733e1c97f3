// What the module binds once at import: the headers table, sibling types and functions, standard
// library helpers, constant objects and interned attribute names. Hot paths read these instead of
// looking anything up by name.
#pragma once

#include <Python.h>

#include "common/module_state.hpp"
#include "headers/headers_api.hpp"

namespace qm::messages {

// Makers for the entries below that take more than one call: new references, or null with an
// error set.
PyObject *charset_pattern();                  // re.compile(rb"charset=([\w\-]+)", re.IGNORECASE)
PyObject *days(int n);                        // datetime.timedelta(days=n)
PyObject *encodings_decode();                 // encodings_settings.decode

// The module's state (see common/module_state.hpp).
#define QM_MESSAGES_STATE(NAME, OBJECT, TYPE)                                                    \
    NAME(type) NAME(length) NAME(body_buffer) NAME(path) NAME(query) NAME(value) NAME(host)     \
    NAME(is_absolute) NAME(with_query) NAME(name) NAME(get) NAME(dispose) NAME(lower)          \
    NAME(decode) NAME(file) NAME(close) NAME(values) NAME(phrase) NAME(get_cookies)            \
    NAME(set_cookie) NAME(cookies) NAME(identity) NAME(client_ip) NAME(user) NAME(scheme)      \
    NAME(root_path) NAME(client) NAME(text) NAME(search) NAME(url) NAME(rstrip) NAME(_path)    \
    NAME(_raw_query) NAME(stream) NAME(content) NAME(read) NAME(charset) NAME(_data) NAME(body) \
    NAME(has_custom_loads) NAME(cancel) NAME(call_soon)                                        \
    NAME(_TLS) NAME(__dict__) NAME(requests) NAME(responses) NAME(incoming) NAME(base_path) NAME(encode)      \
    NAME(form) NAME(multipart) NAME(multipart_stream) NAME(simplify_fields) NAME(items)        \
    NAME(file_name) NAME(content_type) NAME(size) NAME(data) NAME(max_size) NAME(mode)         \
    NAME(write) NAME(seek) NAME(_multipart_to_dict_streaming) NAME(simplify_multipart_data)    \
    NAME(get_boundary_from_header) NAME(parse_multipart_async) NAME(SpooledTemporaryFile)      \
    NAME(FormPart)                                                                             \
    NAME(utf8) /* also the default charset */                                                  \
    /* Sibling modules. */                                                                     \
    TYPE(content_type, state::cls("quenmark.contents", "Content"))                             \
    OBJECT(content_dispose, state::getattr(reinterpret_cast<PyObject *>(S.content_type), "dispose")) \
    TYPE(text_content_type, state::cls("quenmark.contents", "TextContent"))                     \
    TYPE(html_content_type, state::cls("quenmark.contents", "HTMLContent"))                     \
    TYPE(json_content_type, state::cls("quenmark.contents", "JSONContent"))                     \
    TYPE(cookie_type, state::cls("quenmark.cookies", "Cookie"))                                \
    OBJECT(parse_cookie, state::attr("quenmark.cookies", "parse_cookie"))                      \
    OBJECT(write_cookie_for_response, state::attr("quenmark.cookies", "write_cookie_for_response")) \
    OBJECT(split_value, state::attr("quenmark.cookies", "split_value"))                        \
    TYPE(url_type, state::cls("quenmark.url", "URL"))                                          \
    OBJECT(bad_request, state::attr("quenmark.exceptions", "BadRequest"))                      \
    OBJECT(bad_request_format, state::attr("quenmark.exceptions", "BadRequestFormat"))         \
    OBJECT(message_aborted, state::attr("quenmark.exceptions", "MessageAborted"))              \
    OBJECT(disconnect_probe, state::attr("quenmark.disconnects", "disconnect_probe"))          \
    OBJECT(failed_request_error, state::attr("quenmark.exceptions", "FailedRequestError"))     \
    OBJECT(utcnow, state::attr("quenmark.utils.time", "utcnow"))                               \
    OBJECT(identity_type, state::attr("wardline", "Identity"))                                 \
    OBJECT(fallback_decode, encodings_decode())                                                \
    OBJECT(json_settings, state::attr("quenmark.settings.json", "json_settings"))              \
    OBJECT(json_settings_loads, state::getattr(S.json_settings, "loads"))                      \
    OBJECT(has_custom_loads_property,                                                          \
           state::getattr(reinterpret_cast<PyObject *>(Py_TYPE(S.json_settings)), "has_custom_loads")) \
    /* msgspec and asyncio, for the body coroutines. */                                        \
    OBJECT(msgspec_decode, state::attr("msgspec.json", "decode"))                              \
    OBJECT(msgspec_decode_error, state::attr("msgspec", "DecodeError"))                        \
    OBJECT(create_task, state::attr("asyncio", "create_task"))                                 \
    OBJECT(get_event_loop, state::attr("asyncio", "get_event_loop"))                           \
    OBJECT(cancelled_error, state::attr("asyncio", "CancelledError"))                          \
    /* Standard library. */                                                                    \
    OBJECT(http_status, state::attr("http", "HTTPStatus"))                                     \
    OBJECT(parse_qs, state::attr("urllib.parse", "parse_qs"))                                  \
    OBJECT(quote, state::attr("urllib.parse", "quote"))                                        \
    OBJECT(unquote, state::attr("urllib.parse", "unquote"))                                    \
    OBJECT(urlencode, state::attr("urllib.parse", "urlencode"))                                \
    OBJECT(charset_rx, charset_pattern()) /* published as the module's _charset_rx */          \
    /* Constants. */                                                                           \
    OBJECT(empty_bytes, state::bytes(""))                                                      \
    OBJECT(empty_str, state::str(""))                                                          \
    OBJECT(client_default, Py_BuildValue("(Oi)", S.empty_str, 0)) /* ("", 0) */               \
    OBJECT(one_year, days(365))                                                                \
    OBJECT(cookie_separator, state::bytes("; "))                                               \
    OBJECT(equals, state::bytes("="))                                                          \
    OBJECT(cannot_parse_json, state::str("Cannot parse content as JSON"))                      \
    OBJECT(b_json, state::bytes("json"))                                                       \
    OBJECT(b_xml, state::bytes("xml"))                                                         \
    /* Header names, the library's shared object when it has one. */                          \
    OBJECT(h_content_type, state::header_name("content-type"))                                 \
    OBJECT(h_host, state::header_name("host"))                                                 \
    OBJECT(h_cookie, state::header_name("cookie"))                                             \
    OBJECT(h_set_cookie, state::header_name("set-cookie"))                                     \
    OBJECT(h_expect, state::header_name("expect"))                                             \
    OBJECT(h_etag, state::header_name("etag"))                                                 \
    OBJECT(h_if_none_match, state::header_name("if-none-match"))                               \
    /* Request helpers. */                                                                     \
    OBJECT(build_absolute_url, state::attr("quenmark.url", "build_absolute_url"))              \
    OBJECT(b_origin, state::bytes("Origin"))                                                   \
    OBJECT(b_access_control_request_method, state::bytes("Access-Control-Request-Method"))      \
    /* Forms: the modules imported at each call (a replaced function is seen at once). */     \
    OBJECT(parse_www_form_urlencoded, state::attr("quenmark.contents", "parse_www_form_urlencoded")) \
    OBJECT(m_contents, state::str("quenmark.contents"))                                        \
    OBJECT(m_multipart, state::str("quenmark.multipart"))                                      \
    OBJECT(m_tempfile, state::str("tempfile"))                                                 \
    OBJECT(w_plus_b, state::str("w+b"))                                                        \
    OBJECT(spool_max_size, PyLong_FromLong(1048576))                                           \
    OBJECT(zero, PyLong_FromLong(0))                                                           \
    OBJECT(kw_simplify_fields, PyTuple_Pack(1, S.n_simplify_fields))                           \
    OBJECT(kw_spool, PyTuple_Pack(2, S.n_max_size, S.n_mode))                                  \
    OBJECT(kw_form_part, PyTuple_Pack(6, S.n_name, S.n_data, S.n_file_name, S.n_content_type,   \
                                      S.n_size, S.n_charset))

struct State {
    const headers::CApi *headers = nullptr;  // the headers module's table, bound first
    PyObject *module_dict = nullptr;         // the module's globals, where the pools read _TLS
    QM_STATE_FIELDS(QM_MESSAGES_STATE)
};

extern State S;

// The module's global `name`, looked up on each call so that a replaced one is seen; null with
// NameError when it is missing. New reference.
inline PyObject *module_global(PyObject *name) { return state::global(S.module_dict, name); }

// Binds the headers table and fills `S`; -1 with an error set (the module's import then fails).
int init_state();

}  // namespace qm::messages
