// What the module binds once at import: the messages table, sibling types and functions, constant
// objects, interned names, and the fixed header tables of the RSGI adapter. Hot paths read these
// instead of looking anything up by name.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/module_state.hpp"
#include "common/slot_attr.hpp"
#include "headers/headers_api.hpp"
#include "messages/messages_api.hpp"

namespace qm::scribe {

// The size of the body events the ASGI writer sends (the value of MAX_RESPONSE_CHUNK_SIZE).
inline constexpr Py_ssize_t kChunkSize = 61440;

// A fixed set of texts, each with the object it stands for (owned for the life of the process).
// The sets are small: a scan that compares lengths first is cheaper than hashing the text.
template <size_t N>
struct TextTable {
    struct Entry {
        std::string_view text;
        PyObject *object = nullptr;
    };
    std::array<Entry, N> entries{};

    PyObject *find(const char *s, size_t n) const {
        for (const Entry &e : entries)
            if (e.text.size() == n && std::memcmp(e.text.data(), s, n) == 0) return e.object;
        return nullptr;
    }
};

// Makers for the entries below that take more than one call: new references, or null with an
// error set.
PyObject *line_break_pattern();           // re.compile(r"\r\n|\r|\n"), the module's _NEW_LINES_RX
PyObject *server_logger();                // logging.getLogger("quenmark.server")
// {"type": "http.response.start", "status": 200, "headers": None}
PyObject *start_template();
// {"type": "http.response.body", "body": b""}, with "more_body": bool(more) unless `more` is -1
PyObject *body_template(int more);

// The module's state (see common/module_state.hpp).
#define QM_SCRIBE_STATE(NAME, OBJECT, TYPE)                                                      \
    NAME(type) NAME(status) NAME(headers) NAME(body) NAME(more_body) NAME(get_parts)            \
    NAME(stream) NAME(items) NAME(path) NAME(query_string) NAME(method) NAME(client)            \
    NAME(server) NAME(write_data) NAME(data) NAME(event) NAME(id) NAME(retry) NAME(comment)     \
    NAME(aclose) NAME(sub) NAME(split) NAME(send_bytes)                                        \
    NAME(send_str) NAME(response_empty) NAME(response_bytes) NAME(response_str)                 \
    NAME(response_stream) NAME(_NEW_LINES_RX) NAME(get_chunks) NAME(_send_rsgi_stream)          \
    /* Sibling modules. */                                                                     \
    TYPE(content_type, state::cls("quenmark.contents", "Content"))                             \
    TYPE(streamed_content_type, state::cls("quenmark.contents", "StreamedContent"))            \
    TYPE(rsgi_content_type, state::cls("quenmark.contents", "RSGIContent"))                    \
    TYPE(server_sent_event_type, state::cls("quenmark.contents", "ServerSentEvent"))           \
    TYPE(cookie_type, state::cls("quenmark.cookies", "Cookie"))                                \
    OBJECT(write_cookie_for_response, state::attr("quenmark.cookies", "write_cookie_for_response")) \
    OBJECT(invalid_operation, state::attr("quenmark.exceptions", "InvalidOperation"))          \
    OBJECT(write_watched, state::attr("quenmark.disconnects", "write_watched"))                \
    /* The pattern _NEW_LINES_RX is bound to at import (someone may put another in its place). */ \
    OBJECT(new_lines_rx, line_break_pattern())                                                 \
    /* ASGI events and content headers. */                                                     \
    OBJECT(response_start, state::name("http.response.start"))                                 \
    OBJECT(response_body, state::name("http.response.body"))                                   \
    OBJECT(empty_bytes, state::bytes(""))                                                      \
    OBJECT(empty_str, state::str(""))                                                          \
    OBJECT(last_chunk, state::bytes("0\r\n\r\n"))                                              \
    OBJECT(b_chunked, state::bytes("chunked"))                                                 \
    OBJECT(b_octet_stream, state::bytes("application/octet-stream"))                           \
    OBJECT(h_content_type, state::header_name("content-type"))                                 \
    OBJECT(h_content_length, state::header_name("content-length"))                             \
    OBJECT(h_transfer_encoding, state::header_name("transfer-encoding"))                       \
    /* The RSGI side's text forms. */                                                          \
    OBJECT(s_content_type, state::name("content-type"))                                        \
    OBJECT(s_content_length, state::name("content-length"))                                    \
    OBJECT(empty_headers, PyList_New(0)) /* shared by every response without headers */      \
    /* The exchange (serve.cpp). */                                                            \
    NAME(raw_path) NAME(http_version) NAME(encode) NAME(error) NAME(recycle)                   \
    OBJECT(s_utf8, state::str("utf8"))                                                         \
    TYPE(asgi_content_type, state::cls("quenmark.contents", "ASGIContent"))                    \
    OBJECT(rsgi_protocol_key, state::attr("quenmark.disconnects", "RSGI_PROTOCOL"))            \
    OBJECT(server_logger, server_logger())                                                     \
    /* What the ASGI events are copied from (asgi.cpp). */                                       \
    OBJECT(start_template, start_template())                                                   \
    OBJECT(body_template, body_template(-1))                                                   \
    OBJECT(last_body_template, body_template(0))                                               \
    OBJECT(more_body_template, body_template(1))

inline constexpr Py_ssize_t kCachedLengths = 1024;

struct State {
    const messages::CApi *messages = nullptr;  // the messages module's table, bound first
    QM_STATE_FIELDS(QM_SCRIBE_STATE)

    // The module's globals: the writers look get_chunks, _send_rsgi_stream and _NEW_LINES_RX up
    // there at call time, so that a caller may put other objects in their place.
    PyObject *globals = nullptr;

    PyObject *lengths[kCachedLengths] = {};  // b"0", b"1", ...: made on first use

    // Content's fields, read on every response.
    SlotAttr content_media_type{"type"};
    SlotAttr content_body{"body"};
    SlotAttr content_length{"length"};

    // The RSGI adapter's tables: request header names and values (text -> bytes), response
    // header names and values and content types (bytes -> text), and the one-pair header lists
    // of the common content types (shared by every response that uses them).
    TextTable<26> request_names;
    TextTable<10> request_values;
    TextTable<25> response_names;
    TextTable<9> response_values;
    TextTable<5> content_type_text;
    TextTable<5> prebuilt_headers;
};

extern State S;

// Binds the messages table and fills `S` (all but `globals`); -1 with an error set.
int init_state();

// The decimal digits of a non-negative length as bytes. New reference.
PyObject *length_bytes(long long n);

// A global of the module by interned name, as a new reference; NameError when it is missing.
PyObject *module_global(PyObject *name);

}  // namespace qm::scribe
