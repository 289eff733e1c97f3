#include "messages/state.hpp"

#include <cstring>

#include "common/capi.hpp"
#include "common/ref.hpp"
#include "core/scratchpad.h"

namespace qm::messages {

State S;

namespace {

bool bind(PyObject *&slot, const char *module, const char *name) {
    slot = import_attr(module, name);
    return slot != nullptr;
}

// The messages module reads instances of these classes through attributes, but still refuses to
// load against something that is not a class.
bool bind(PyTypeObject *&slot, const char *module, const char *name) {
    slot = import_class(module, name);
    return slot != nullptr;
}

// The library's shared object for a header name, or a bytes object of our own.
PyObject *header_name(const char *text) {
    PyObject *shared = get_interned_header_name_bytes(text, std::strlen(text));
    if (shared) return Py_NewRef(shared);
    return PyBytes_FromString(text);
}

}  // namespace

int init_state() {
    S.headers = headers::import();
    if (!S.headers) return -1;
    S.headers_type = S.headers->headers_type;

    if (!bind(S.content_type, "quenmark.contents", "Content") ||
        !bind(S.asgi_content_type, "quenmark.contents", "ASGIContent") ||
        !bind(S.cookie_type, "quenmark.cookies", "Cookie") ||
        !bind(S.parse_cookie, "quenmark.cookies", "parse_cookie") ||
        !bind(S.write_cookie_for_response, "quenmark.cookies", "write_cookie_for_response") ||
        !bind(S.split_value, "quenmark.cookies", "split_value") ||
        !bind(S.url_type, "quenmark.url", "URL") ||
        !bind(S.bad_request, "quenmark.exceptions", "BadRequest") ||
        !bind(S.message_aborted, "quenmark.exceptions", "MessageAborted") ||
        !bind(S.failed_request_error, "quenmark.exceptions", "FailedRequestError") ||
        !bind(S.utcnow, "quenmark.utils.time", "utcnow") ||
        !bind(S.identity_type, "wardline", "Identity") ||
        !bind(S.session_type, "quenmark.sessions", "Session") ||
        !bind(S.http_status, "http", "HTTPStatus") ||
        !bind(S.parse_qs, "urllib.parse", "parse_qs") ||
        !bind(S.quote, "urllib.parse", "quote") ||
        !bind(S.unquote, "urllib.parse", "unquote") ||
        !bind(S.urlencode, "urllib.parse", "urlencode") ||
        !bind(S.bad_request_format, "quenmark.exceptions", "BadRequestFormat") ||
        !bind(S.json_settings, "quenmark.settings.json", "json_settings") ||
        !bind(S.msgspec_decode, "msgspec.json", "decode") ||
        !bind(S.msgspec_decode_error, "msgspec", "DecodeError") ||
        !bind(S.create_task, "asyncio", "create_task") ||
        !bind(S.get_event_loop, "asyncio", "get_event_loop") ||
        !bind(S.cancelled_error, "asyncio", "CancelledError"))
        return -1;
    {
        Ref encodings = Ref::steal(import_attr("quenmark.settings.encodings", "encodings_settings"));
        if (!encodings) return -1;
        S.fallback_decode = PyObject_GetAttrString(encodings.get(), "decode");
        if (!S.fallback_decode) return -1;
        S.json_settings_loads = PyObject_GetAttrString(S.json_settings, "loads");
        if (!S.json_settings_loads) return -1;
    }

    {
        Ref compile = Ref::steal(import_attr("re", "compile"));
        Ref ignorecase = Ref::steal(import_attr("re", "IGNORECASE"));
        if (!compile || !ignorecase) return -1;
        Ref pattern = Ref::steal(PyBytes_FromString("charset=([\\w\\-]+)"));
        if (!pattern) return -1;
        S.charset_rx = PyObject_CallFunctionObjArgs(compile.get(), pattern.get(), ignorecase.get(),
                                                    nullptr);
        if (!S.charset_rx) return -1;
    }
    {
        Ref timedelta = Ref::steal(import_attr("datetime", "timedelta"));
        if (!timedelta) return -1;
        Ref days = Ref::steal(PyLong_FromLong(365));
        if (!days) return -1;
        S.one_year = PyObject_CallOneArg(timedelta.get(), days.get());
        if (!S.one_year) return -1;
    }

    S.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    S.empty_str = PyUnicode_New(0, 0);
    S.utf8 = PyUnicode_InternFromString("utf8");
    S.cookie_separator = PyBytes_FromString("; ");
    S.equals = PyBytes_FromString("=");
    S.cannot_parse_json = PyUnicode_FromString("Cannot parse content as JSON");
    S.h_content_type = header_name("content-type");
    S.h_host = header_name("host");
    S.h_cookie = header_name("cookie");
    S.h_set_cookie = header_name("set-cookie");
    S.h_expect = header_name("expect");
    S.h_etag = header_name("etag");
    S.h_if_none_match = header_name("if-none-match");
    S.b_json = PyBytes_FromString("json");
    S.b_xml = PyBytes_FromString("xml");
    if (!S.empty_bytes || !S.empty_str || !S.utf8 || !S.cookie_separator || !S.equals ||
        !S.h_content_type || !S.h_host || !S.h_cookie || !S.h_set_cookie || !S.h_expect ||
        !S.h_etag || !S.h_if_none_match || !S.b_json || !S.b_xml || !S.cannot_parse_json)
        return -1;
    S.client_default = Py_BuildValue("(Oi)", S.empty_str, 0);
    if (!S.client_default) return -1;

#define QM_INTERN_NAME(n) \
    if (!(S.n_##n = PyUnicode_InternFromString(#n))) return -1;
    QM_MESSAGES_NAMES(QM_INTERN_NAME)
#undef QM_INTERN_NAME
    return 0;
}

}  // namespace qm::messages
