// Request properties. Each reads its source when asked: the scope is never copied or parsed up
// front, and only the URL, the host and the user object are cached once built.
#include "messages/request_properties.hpp"

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "common/args.hpp"
#include "common/ascii_text.hpp"
#include "common/errors.hpp"
#include "common/iterate.hpp"
#include "common/ref.hpp"
#include "common/unpack.hpp"
#include "messages/message.hpp"
#include "messages/request.hpp"
#include "messages/state.hpp"

namespace qm::messages {

namespace {

// bytes → str as UTF-8, strictly or with `errors`; other objects use their own `decode`. Plain
// ASCII, what paths and hosts nearly always are, is copied without the decoder's passes.
PyObject *decode_utf8(PyObject *value, const char *errors = nullptr) {
    if (PyBytes_Check(value)) {
        const char *s = PyBytes_AS_STRING(value);
        const Py_ssize_t n = PyBytes_GET_SIZE(value);
        PyObject *plain = nullptr;
        if (const int r = plain_ascii_text(s, n, 0x80, 0x80, &plain)) return r > 0 ? plain : nullptr;
        return PyUnicode_DecodeUTF8(s, n, errors);
    }
    if (errors) return PyObject_CallMethod(value, "decode", "ss", "utf8", errors);
    return PyObject_CallMethod(value, "decode", "s", "utf8");
}

// The text of a Host value; one that is not UTF-8 is the client's error (400), not a failure.
PyObject *decode_host(PyObject *value) {
    PyObject *text = decode_utf8(value);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        PyErr_SetString(S.bad_request, "Invalid Host header");
    }
    return text;
}

// scope.get(key, default), with the dictionary's own lookup for a plain dict.
PyObject *scope_get(PyObject *scope, PyObject *key, PyObject *dflt) {
    if (PyDict_CheckExact(scope)) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(scope, key, &found) < 0) return nullptr;
        return found ? found : Py_NewRef(dflt);
    }
    PyObject *args[] = {scope, key, dflt};
    return PyObject_VectorcallMethod(S.n_get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

int refuse_delete(PyObject *value) {
    if (value) return 0;
    delete_not_supported();
    return -1;
}

// Setters declared str take exactly str (None refused too).
int exact_str_value(PyObject *value) {
    if (refuse_delete(value) < 0) return -1;
    if (PyUnicode_CheckExact(value)) return 0;
    arg_type_error("value", "str", value);
    return -1;
}

// The setter of a str property whose getter works out a value until one is assigned; the closure
// is the offset of the RequestObject field that keeps the assigned value.
int set_assigned_str(PyObject *self, PyObject *value, void *closure) {
    if (exact_str_value(value) < 0) return -1;
    const auto offset = reinterpret_cast<Py_ssize_t>(closure);
    set_field(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset), value);
    return 0;
}

#define QM_ASSIGNED(member) reinterpret_cast<void *>(offsetof(RequestObject, member))

int set_bytes(PyObject *&field, PyObject *value) {
    if (!check_value(value, &PyBytes_Type)) return -1;
    set_field(field, value);
    return 0;
}

// ---- url ---------------------------------------------------------------------------------

PyObject *get_url(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_url != Py_None) {
        const int truth = PyObject_IsTrue(r->_url);
        if (truth < 0) return nullptr;
        if (truth) return Py_NewRef(r->_url);
    }
    Ref value;
    PyObject *query = r->_raw_query;
    if (PyBytes_Check(query) && PyBytes_GET_SIZE(query) > 0) {
        if (PyBytes_Check(r->_path)) {
            const Py_ssize_t np = PyBytes_GET_SIZE(r->_path), nq = PyBytes_GET_SIZE(query);
            value = Ref::steal(PyBytes_FromStringAndSize(nullptr, np + 1 + nq));
            if (!value) return nullptr;
            char *out = PyBytes_AS_STRING(value.get());
            memcpy(out, PyBytes_AS_STRING(r->_path), size_t(np));
            out[np] = '?';
            memcpy(out + np + 1, PyBytes_AS_STRING(query), size_t(nq));
        } else {
            Ref mark = Ref::steal(PyBytes_FromString("?"));
            if (!mark) return nullptr;
            Ref head = Ref::steal(PyNumber_Add(r->_path, mark.get()));
            if (!head) return nullptr;
            value = Ref::steal(PyNumber_Add(head.get(), query));
            if (!value) return nullptr;
        }
    } else {
        value = Ref::borrow(r->_path);
    }
    Ref url = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(S.url_type), value.get()));
    if (!url || !check_value_instance(url.get(), S.url_type)) return nullptr;
    set_field(r->_url, url.get());
    return url.release();
}

// Installs `url` (a URL, or None) with the path and query taken from it; the host is derived
// again and the Host header goes, since it described the previous URL.
int install_url(PyObject *self, PyObject *url) {
    RequestObject *r = as_request(self);
    const int truth = url == Py_None ? 0 : PyObject_IsTrue(url);
    if (truth < 0) return -1;
    if (truth) {
        Ref path = Ref::steal(PyObject_GetAttr(url, S.n_path));
        if (!path || set_bytes(r->_path, path.get()) < 0) return -1;
        Ref query = Ref::steal(PyObject_GetAttr(url, S.n_query));
        if (!query || set_bytes(r->_raw_query, query.get()) < 0) return -1;
    } else {
        set_field(r->_path, Py_None);
        set_field(r->_raw_query, Py_None);
    }
    set_field(r->_url, url);
    set_field(r->_host, Py_None);
    return remove_header(self, S.h_host);
}

int set_url(PyObject *self, PyObject *value, void *) {
    if (refuse_delete(value) < 0) return -1;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    Ref url = Ref::none();
    if (truth) {
        PyObject *url_type = reinterpret_cast<PyObject *>(S.url_type);
        if (PyBytes_Check(value)) {
            url = Ref::steal(PyObject_CallOneArg(url_type, value));
        } else if (PyUnicode_Check(value)) {
            Ref raw = Ref::steal(PyUnicode_AsUTF8String(value));
            if (!raw) return -1;
            url = Ref::steal(PyObject_CallOneArg(url_type, raw.get()));
        } else if (PyObject_TypeCheck(value, S.url_type)) {
            url = Ref::borrow(value);
        } else {
            PyErr_SetString(PyExc_TypeError, "Invalid value type, expected bytes, str, or URL");
            return -1;
        }
        if (!url || !check_value_instance(url.get(), S.url_type)) return -1;
    }
    return install_url(self, url.get());
}

// ---- path and query ----------------------------------------------------------------------

PyObject *get_path(PyObject *self, void *) {
    PyObject *path = as_request(self)->_path;
    if (path == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "decode");
        return nullptr;
    }
    // Bytes that are not UTF-8 are replaced, as the router replaces them.
    return decode_utf8(path, "replace");
}

// One name or value of a query: '+' means a space; percent-escapes are left to urllib's
// unquote (the rare case), so the result is what parse_qs gives for it. Bytes that are not UTF-8
// are replaced, as unquote replaces escaped ones.
PyObject *query_piece(const char *s, Py_ssize_t n) {
    PyObject *plain = nullptr;
    if (const int r = plain_ascii_text(s, n, '+', '%', &plain)) return r > 0 ? plain : nullptr;
    bool plus = false, percent = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        plus |= s[i] == '+';
        percent |= s[i] == '%';
    }
    Ref text;
    if (!plus) {
        text = Ref::steal(PyUnicode_DecodeUTF8(s, n, "replace"));
    } else {
        std::string copy(s, size_t(n));
        for (char &c : copy)
            if (c == '+') c = ' ';
        text = Ref::steal(PyUnicode_DecodeUTF8(copy.data(), n, "replace"));
    }
    if (!text || !percent) return text.release();
    return PyObject_CallOneArg(S.unquote, text.get());
}

// parse_qs of the UTF-8 text of `raw`: name -> list of values, fields without a value dropped.
// Done on the bytes: '&' and '=' are ASCII, so they split the UTF-8 text at the same places, and
// a byte sequence that is not UTF-8 is replaced alike in the whole and in its pieces.
PyObject *parse_query(PyObject *raw) {
    if (!PyBytes_Check(raw)) {
        Ref text = Ref::steal(decode_utf8(raw, "replace"));
        if (!text) return nullptr;
        return PyObject_CallOneArg(S.parse_qs, text.get());
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    const char *s = PyBytes_AS_STRING(raw);
    const Py_ssize_t n = PyBytes_GET_SIZE(raw);
    // The first names of the query by their raw bytes, with their lists (which `out` holds): a
    // name that comes again as it was, as a list parameter does, is appended to at once, with no
    // new key, list or hashing. Equal raw bytes decode to equal names.
    struct Seen {
        const char *raw;
        Py_ssize_t length;
        PyObject *values;
    };
    Seen seen[8];
    int n_seen = 0;
    Py_ssize_t start = 0;
    while (start <= n) {
        const char *amp = static_cast<const char *>(std::memchr(s + start, '&', size_t(n - start)));
        const Py_ssize_t end = amp ? amp - s : n;
        const char *field = s + start;
        const Py_ssize_t len = end - start;
        start = end + 1;
        const char *eq = len ? static_cast<const char *>(std::memchr(field, '=', size_t(len))) : nullptr;
        if (!eq || eq == field + len - 1) continue;  // no value: dropped
        const Py_ssize_t name_length = eq - field;
        PyObject *known = nullptr;
        for (int i = 0; i < n_seen && !known; ++i)
            if (seen[i].length == name_length && std::memcmp(seen[i].raw, field, size_t(name_length)) == 0)
                known = seen[i].values;
        if (known) {
            Ref value = Ref::steal(query_piece(eq + 1, field + len - eq - 1));
            if (!value || PyList_Append(known, value.get()) < 0) return nullptr;
            continue;
        }
        Ref name = Ref::steal(query_piece(field, name_length));
        if (!name) return nullptr;
        Ref value = Ref::steal(query_piece(eq + 1, field + len - eq - 1));
        if (!value) return nullptr;
        // Otherwise the new list goes in with one probe, and a name that decodes like an earlier
        // one drops it for the list already there.
        Ref list = Ref::steal(PyList_New(1));
        if (!list) return nullptr;
        PyList_SET_ITEM(list.get(), 0, Py_NewRef(value.get()));
        PyObject *values = nullptr;
        const int present = PyDict_SetDefaultRef(out.get(), name.get(), list.get(), &values);
        if (present < 0) return nullptr;
        Ref held = Ref::steal(values);
        if (present && PyList_Append(values, value.get()) < 0) return nullptr;
        if (!present && n_seen < 8) seen[n_seen++] = Seen{field, name_length, values};
    }
    return out.release();
}

PyObject *get_query(PyObject *self, void *) {
    PyObject *raw = as_request(self)->_raw_query;
    const int truth = raw == Py_None ? 0 : PyObject_IsTrue(raw);
    if (truth < 0) return nullptr;
    if (!truth) return PyDict_New();
    Ref hold = Ref::borrow(raw);
    return parse_query(raw);
}

int set_query(PyObject *self, PyObject *value, void *) {
    if (refuse_delete(value) < 0) return -1;
    Ref encoded = Ref::steal(PyObject_CallFunctionObjArgs(S.urlencode, value, Py_True, nullptr));
    if (!encoded) return -1;
    Ref raw = Ref::steal(PyUnicode_Check(encoded.get())
                             ? PyUnicode_AsUTF8String(encoded.get())
                             : PyObject_CallMethod(encoded.get(), "encode", "s", "utf8"));
    if (!raw || set_bytes(as_request(self)->_raw_query, raw.get()) < 0) return -1;
    Ref url = Ref::steal(PyObject_GetAttr(self, S.n_url));
    if (!url) return -1;
    Ref updated = Ref::steal(PyObject_CallMethodOneArg(url.get(), S.n_with_query, raw.get()));
    if (!updated) return -1;
    return PyObject_SetAttr(self, S.n_url, updated.get());
}

// ---- host, scheme, base path, client -----------------------------------------------------

PyObject *get_host(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_host != Py_None) return Py_NewRef(r->_host);
    if (r->_url != Py_None) {
        Ref url = Ref::borrow(r->_url);
        Ref absolute = Ref::steal(PyObject_GetAttr(url.get(), S.n_is_absolute));
        if (!absolute) return nullptr;
        const int truth = PyObject_IsTrue(absolute.get());
        if (truth < 0) return nullptr;
        if (truth) {
            Ref host = Ref::steal(PyObject_GetAttr(url.get(), S.n_host));
            if (!host) return nullptr;
            const int nonempty = host.get() == Py_None ? 0 : PyObject_IsTrue(host.get());
            if (nonempty < 0) return nullptr;
            Ref text = nonempty ? Ref::steal(decode_host(host.get())) : Ref::borrow(S.empty_str);
            if (!text || !check_value(text.get(), &PyUnicode_Type)) return nullptr;
            set_field(r->_host, text.get());
            return text.release();
        }
    }
    Ref value = Ref::steal(get_first_header(self, S.h_host));
    if (!value) return nullptr;
    if (value.get() == Py_None) {
        // BadRequest takes the message as its only argument.
        PyErr_SetString(S.bad_request, "Missing Host header");
        return nullptr;
    }
    Ref text = Ref::steal(decode_host(value.get()));
    if (!text || !check_value(text.get(), &PyUnicode_Type)) return nullptr;
    set_field(r->_host, text.get());
    return text.release();
}

PyObject *get_scheme(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_scheme != Py_None) return Py_NewRef(r->_scheme);
    const int truth = r->scope == Py_None ? 0 : PyObject_IsTrue(r->scope);
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(S.empty_str);
    Ref scope = Ref::borrow(r->scope);
    return scope_get(scope.get(), S.n_scheme, S.empty_str);
}

PyObject *get_base_path(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_base_path != Py_None) return Py_NewRef(r->_base_path);
    if (r->scope == Py_None) return Py_NewRef(S.empty_str);
    Ref scope = Ref::borrow(r->scope);
    PyObject *v = scope_get(scope.get(), S.n_root_path, S.empty_str);
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_NewRef(S.empty_str);
    }
    return v;
}

PyObject *get_client_ip(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->scope == Py_None) return Py_NewRef(S.empty_str);
    Ref scope = Ref::borrow(r->scope);
    Ref client = Ref::steal(scope_get(scope.get(), S.n_client, S.client_default));
    if (!client) return nullptr;
    Ref ip, port;
    if (!unpack_pair(client.get(), ip, port)) return nullptr;
    return ip.release();
}

PyObject *get_original_client_ip(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_original_client_ip != Py_None) return Py_NewRef(r->_original_client_ip);
    return PyObject_GetAttr(self, S.n_client_ip);
}

// ---- cookies -----------------------------------------------------------------------------

// unquote(text), skipping the call when there is nothing to decode (unquote returns such a
// text unchanged).
PyObject *unquote_text(PyObject *text) {
    if (PyUnicode_CheckExact(text) &&
        PyUnicode_FindChar(text, '%', 0, PyUnicode_GET_LENGTH(text), 1) == -1)
        return Py_NewRef(text);
    return PyObject_CallOneArg(S.unquote, text);
}

// After a failed decoding of a cookie's name or value: 0 (the part is skipped) when the bytes
// were not UTF-8, since the client sent them and the other cookies are still good; else -1.
int skip_undecodable() {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
    PyErr_Clear();
    return 0;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A cookie's name or value as text, decoded as UTF-8 and unquoted: 1 with `text` set, 0 when the
// bytes are not UTF-8 (the part is skipped), -1 on error. Plain ASCII without escapes, the usual
// case, is copied as it is.
int cookie_text(const char *s, Py_ssize_t n, Ref &text) {
    PyObject *plain = nullptr;
    if (const int r = plain_ascii_text(s, n, '%', '%', &plain)) {
        text = Ref::steal(plain);
        return r;
    }
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(s, n, nullptr));
    if (!decoded) return skip_undecodable();
    text = Ref::steal(unquote_text(decoded.get()));
    return text ? 1 : -1;
}

// One part of a Cookie header into `out`: split at the first "=" with blanks trimmed around both
// sides, which is `quenmark.cookies.split_value(part, b"=")` without its bytes objects (a part
// without "=" is the ValueError that skips it); the value then loses its trailing "; ". A part
// that is not UTF-8 is skipped.
int add_cookie_part(const char *s, Py_ssize_t n, PyObject *out) {
    const char *eq = static_cast<const char *>(std::memchr(s, '=', size_t(n)));
    if (!eq) return 0;
    Py_ssize_t name_begin = 0, name_end = eq - s, value_begin = name_end + 1, value_end = n;
    while (name_begin < name_end && is_blank(s[name_begin])) ++name_begin;
    while (name_end > name_begin && is_blank(s[name_end - 1])) --name_end;
    while (value_begin < value_end && is_blank(s[value_begin])) ++value_begin;
    while (value_end > value_begin && is_blank(s[value_end - 1])) --value_end;
    while (value_end > value_begin && (s[value_end - 1] == ';' || s[value_end - 1] == ' '))
        --value_end;
    Ref key, value;
    int r = cookie_text(s + name_begin, name_end - name_begin, key);
    if (r > 0) r = cookie_text(s + value_begin, value_end - value_begin, value);
    if (r <= 0) return r;
    return PyDict_SetItem(out, key.get(), value.get());
}

// The same through split_value itself, for a header value that is not bytes.
int add_cookie_part(PyObject *part, PyObject *out) {
    PyObject *args[] = {part, S.equals};
    Ref pair = Ref::steal(PyObject_Vectorcall(S.split_value, args, 2, nullptr));
    Ref name, raw;
    if (!pair || !unpack_pair(pair.get(), name, raw)) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!check_value(name.get(), &PyBytes_Type) || !check_value(raw.get(), &PyBytes_Type)) return -1;
    Ref name_text = Ref::steal(decode_utf8(name.get()));
    if (!name_text) return skip_undecodable();
    Ref key = Ref::steal(unquote_text(name_text.get()));
    if (!key) return -1;
    Ref stripped = Ref::steal(PyObject_CallMethodOneArg(raw.get(), S.n_rstrip, S.cookie_separator));
    if (!stripped) return -1;
    Ref value_text = Ref::steal(decode_utf8(stripped.get()));
    if (!value_text) return skip_undecodable();
    Ref v = Ref::steal(unquote_text(value_text.get()));
    if (!v) return -1;
    return PyDict_SetItem(out, key.get(), v.get());
}

// Adds the cookies of one Cookie header value to `out`: the value is split on b"; ".
int parse_cookie_header(PyObject *value, PyObject *out) {
    if (!PyBytes_Check(value)) {
        Ref parts = Ref::steal(PyObject_CallMethod(value, "split", "O", S.cookie_separator));
        if (!parts) return -1;
        return for_each_item(parts.get(), [out](PyObject *part) { return add_cookie_part(part, out); });
    }
    // The value's own bytes: unquote may run host code, but nothing can change a bytes object.
    Ref hold = Ref::borrow(value);
    const char *s = PyBytes_AS_STRING(value);
    const Py_ssize_t n = PyBytes_GET_SIZE(value);
    Py_ssize_t start = 0;
    for (;;) {
        Py_ssize_t end = start;
        while (end + 1 < n && !(s[end] == ';' && s[end + 1] == ' ')) ++end;
        const bool last = end + 1 >= n;
        if (last) end = n;
        if (add_cookie_part(s + start, end - start, out) < 0) return -1;
        if (last) return 0;
        start = end + 2;
    }
}

int add_cookies_of(PyObject *value, PyObject *out) {
    if (!check_value(value, &PyBytes_Type)) return -1;
    return parse_cookie_header(value, out);
}

PyObject *get_cookies(PyObject *self, void *) {
    Ref out = Ref::steal(PyDict_New());
    if (!out || for_each_header_value(self, S.h_cookie, add_cookies_of, out.get()) < 0)
        return nullptr;
    return out.release();
}

// ---- etag, session, user -----------------------------------------------------------------

PyObject *get_etag(PyObject *self, void *) { return get_first_header(self, S.h_etag); }
PyObject *get_if_none_match(PyObject *self, void *) {
    return get_first_header(self, S.h_if_none_match);
}

PyObject *get_session(PyObject *self, void *) {
    PyObject *session = as_request(self)->_session;
    if (session == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "A session is not configured for this request, activate sessions using "
                        "`app.use_sessions` method.");
        return nullptr;
    }
    return Py_NewRef(session);
}

int set_session(PyObject *self, PyObject *value, void *) {
    if (refuse_delete(value) < 0) return -1;
    set_field(as_request(self)->_session, value);
    return 0;
}

PyObject *get_user(PyObject *self, void *) {
    RequestObject *r = as_request(self);
    if (r->_user == Py_None) {
        Ref user = Ref::steal(PyObject_CallNoArgs(S.identity_type));
        if (!user) return nullptr;
        set_field(r->_user, user.get());
    }
    return Py_NewRef(r->_user);
}

int set_user(PyObject *self, PyObject *value, void *) {
    if (refuse_delete(value) < 0) return -1;
    set_field(as_request(self)->_user, value);
    return 0;
}

PyObject *get_identity(PyObject *self, void *) { return PyObject_GetAttr(self, S.n_user); }

const PyGetSetDef kProperties[] = {
    {"url", get_url, set_url, "The request URL (built from the path and query when needed).",
     nullptr},
    {"path", get_path, nullptr, "The raw path decoded as UTF-8.", nullptr},
    {"query", get_query, set_query, "The query parameters: name -> list of values.", nullptr},
    {"host", get_host, set_assigned_str, "The host, from an absolute URL or the Host header.",
     QM_ASSIGNED(_host)},
    {"scheme", get_scheme, set_assigned_str, "The scheme, from the scope unless assigned.",
     QM_ASSIGNED(_scheme)},
    {"base_path", get_base_path, set_assigned_str, "The scope's root_path unless assigned.",
     QM_ASSIGNED(_base_path)},
    {"client_ip", get_client_ip, nullptr, "The client address from the scope.", nullptr},
    {"original_client_ip", get_original_client_ip, set_assigned_str,
     "The client address, unless a proxy-aware value was assigned.",
     QM_ASSIGNED(_original_client_ip)},
    {"cookies", get_cookies, nullptr, "The cookies of the Cookie headers: name -> value.", nullptr},
    {"etag", get_etag, nullptr, "The first ETag header, or None.", nullptr},
    {"if_none_match", get_if_none_match, nullptr, "The first If-None-Match header, or None.",
     nullptr},
    {"session", get_session, set_session, "The session; TypeError when sessions are off.", nullptr},
    {"user", get_user, set_user, "The identity of the user (an anonymous Identity by default).",
     nullptr},
    {"identity", get_identity, set_user, "The same as `user`.", nullptr},
};
#undef QM_ASSIGNED

}  // namespace

std::span<const PyGetSetDef> request_properties() { return kProperties; }

PyObject *py_request_get_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"name"};
    PyObject *a[1] = {};
    if (!parse_args("get_cookie", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "name")) return nullptr;
    Ref cookies = Ref::steal(PyObject_GetAttr(self, S.n_cookies));
    if (!cookies) return nullptr;
    if (PyDict_CheckExact(cookies.get())) {
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(cookies.get(), a[0], &found) < 0) return nullptr;
        return found ? found : Py_NewRef(Py_None);
    }
    return PyObject_CallMethodOneArg(cookies.get(), S.n_get, a[0]);
}

PyObject *py_request_set_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"name", "value"};
    PyObject *a[2] = {};
    if (!parse_args("set_cookie", args, nargs, kwnames, names, 2, a)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "name") || !check_arg(a[1], &PyUnicode_Type, "value"))
        return nullptr;
    Ref qname = Ref::steal(PyObject_CallOneArg(S.quote, a[0]));
    if (!qname) return nullptr;
    Ref qvalue = Ref::steal(PyObject_CallOneArg(S.quote, a[1]));
    if (!qvalue) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromFormat("%S=%S", qname.get(), qvalue.get()));
    if (!text) return nullptr;
    Ref new_value = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!new_value) return nullptr;
    // Every Cookie header the request has is folded into the one left behind: a client may
    // split its cookies over several headers (HTTP/2 does), and keeping only the first would
    // drop the others.
    Ref existing = Ref::steal(get_headers(self, S.h_cookie));
    if (!existing) return nullptr;
    if (!PyList_CheckExact(existing.get())) return expected_type("list", existing.get());
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(existing.get()); ++i) {
        PyObject *v = PyList_GET_ITEM(existing.get(), i);
        if (!PyBytes_CheckExact(v)) return expected_type("bytes", v);
        if (PyBytes_GET_SIZE(v) > 0 && PyList_Append(parts.get(), v) < 0) return nullptr;
    }
    if (PyList_GET_SIZE(parts.get()) > 0) {
        // Cookie pairs are separated by "; " (RFC 6265), which is also what `cookies` splits
        // on: with a bare ";" every cookie set after the first would read back as part of the
        // first one's value.
        if (PyList_Append(parts.get(), new_value.get()) < 0) return nullptr;
        Ref joined = Ref::steal(PyBytes_Join(S.cookie_separator, parts.get()));
        if (!joined) return nullptr;
        if (set_header(self, S.h_cookie, joined.get()) < 0) return nullptr;
    } else if (append_pair(self, S.h_cookie, new_value.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace qm::messages
