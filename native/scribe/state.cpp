#include "scribe/state.hpp"

#include <charconv>
#include <cstring>

#include "common/capi.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

PyObject *line_break_pattern() {
    Ref compile = Ref::steal(state::attr("re", "compile"));
    Ref pattern = Ref::steal(state::str("\\r\\n|\\r|\\n"));
    if (!compile || !pattern) return nullptr;
    return PyObject_CallOneArg(compile.get(), pattern.get());
}

PyObject *server_logger() {
    Ref get_logger = Ref::steal(state::attr("logging", "getLogger"));
    Ref name = Ref::steal(state::str("quenmark.server"));
    if (!get_logger || !name) return nullptr;
    return PyObject_CallOneArg(get_logger.get(), name.get());
}

PyObject *start_template() {
    Ref event = Ref::steal(PyDict_New());
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (!event || !ok || PyDict_SetItem(event.get(), S.n_type, S.response_start) < 0 ||
        PyDict_SetItem(event.get(), S.n_status, ok.get()) < 0 ||
        PyDict_SetItem(event.get(), S.n_headers, Py_None) < 0)
        return nullptr;
    return event.release();
}

PyObject *body_template(int more) {
    Ref event = Ref::steal(PyDict_New());
    if (!event || PyDict_SetItem(event.get(), S.n_type, S.response_body) < 0 ||
        PyDict_SetItem(event.get(), S.n_body, S.empty_bytes) < 0 ||
        (more >= 0 && PyDict_SetItem(event.get(), S.n_more_body, more ? Py_True : Py_False) < 0))
        return nullptr;
    return event.release();
}

QM_STATE_DEFINE(QM_SCRIBE_STATE)

namespace {

PyObject *latin1_text(std::string_view text) {
    PyObject *s = PyUnicode_DecodeLatin1(text.data(), Py_ssize_t(text.size()), nullptr);
    if (s) PyUnicode_InternInPlace(&s);
    return s;
}

// Fills `table` with `texts`, each paired with `make(text)` (a new reference).
template <size_t N, class Make>
bool fill(TextTable<N> &table, const std::string_view (&texts)[N], Make make) {
    for (size_t i = 0; i < N; ++i) {
        PyObject *object = make(texts[i]);
        if (!object) return false;
        table.entries[i] = {texts[i], object};
    }
    return true;
}

constexpr std::string_view kRequestNames[] = {
    "host", "user-agent", "accept", "accept-encoding", "accept-language", "content-type",
    "content-length", "connection", "cookie", "authorization", "origin", "referer",
    "cache-control", "pragma", "upgrade-insecure-requests", "sec-ch-ua", "sec-ch-ua-mobile",
    "sec-ch-ua-platform", "sec-fetch-site", "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest",
    "x-forwarded-for", "x-forwarded-proto", "x-forwarded-host", "x-real-ip",
};

constexpr std::string_view kRequestValues[] = {
    "*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json",
    "text/plain", "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8",
};

constexpr std::string_view kResponseNames[] = {
    "content-type", "content-length", "server", "date", "set-cookie", "location", "connection",
    "cache-control", "vary", "access-control-allow-origin", "access-control-allow-headers",
    "access-control-allow-methods", "access-control-allow-credentials",
    "access-control-expose-headers", "access-control-max-age", "transfer-encoding",
    "www-authenticate", "authorization", "accept", "host", "etag", "last-modified",
    "strict-transport-security", "x-content-type-options", "x-frame-options",
};

constexpr std::string_view kResponseValues[] = {
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8",
    "text/html", "chunked", "keep-alive", "close", "0",
};

constexpr std::string_view kContentTypes[] = {
    "text/html; charset=utf-8", "text/html", "application/json", "text/plain",
    "text/plain; charset=utf-8",
};

int init_tables() {
    // Request names become the library's shared objects where it has them, so that the
    // messages module finds them interned already.
    auto request_name = [](std::string_view t) { return state::header_name(t.data()); };
    auto bytes = [](std::string_view t) {
        return PyBytes_FromStringAndSize(t.data(), Py_ssize_t(t.size()));
    };
    auto one_pair_list = [](std::string_view t) -> PyObject * {
        Ref value = Ref::steal(latin1_text(t));
        if (!value) return nullptr;
        Ref pair = Ref::steal(PyTuple_Pack(2, S.s_content_type, value.get()));
        if (!pair) return nullptr;
        PyObject *list = PyList_New(1);
        if (list) PyList_SET_ITEM(list, 0, pair.release());
        return list;
    };
    if (!fill(S.request_names, kRequestNames, request_name) ||
        !fill(S.request_values, kRequestValues, bytes) ||
        !fill(S.response_names, kResponseNames, latin1_text) ||
        !fill(S.response_values, kResponseValues, latin1_text) ||
        !fill(S.content_type_text, kContentTypes, latin1_text) ||
        !fill(S.prebuilt_headers, kContentTypes, one_pair_list))
        return -1;
    return 0;
}

}  // namespace

int init_state() {
    if (!S.messages && !(S.messages = messages::import())) return -1;
    // Bound for its layout check: the writers use Headers only through the messages table.
    if (!headers::import() || create_state() < 0) return -1;
    if (!S.request_names.entries[0].object && init_tables() < 0) return -1;
    return 0;
}

PyObject *length_bytes(long long n) {
    const bool cached = n >= 0 && n < kCachedLengths;
    if (cached && S.lengths[n]) return Py_NewRef(S.lengths[n]);
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    PyObject *b = PyBytes_FromStringAndSize(digits, end - digits);
    if (b && cached) S.lengths[n] = Py_NewRef(b);
    return b;
}

PyObject *module_global(PyObject *name) { return state::global(S.globals, name); }

}  // namespace qm::scribe
