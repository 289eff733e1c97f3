// The Message type: construction, attribute access, the Content-Type queries and the Python
// methods over the header operations.
#include "messages/message.hpp"

#include <Python.h>

#include <cstddef>

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "common/slot_attr.hpp"
#include "messages/body.hpp"
#include "messages/forms.hpp"
#include "messages/impl.hpp"
#include "messages/method_table.hpp"
#include "messages/state.hpp"

namespace qm::messages {

// ---- shared helpers ----------------------------------------------------------------------

PyObject *message_alloc(PyTypeObject *type) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    // Every object field starts as None; the weak reference list and non-object fields stay zero.
    MessageObject *m = as_message(self);
    PyObject **fields[] = {&m->_raw_headers, &m->_headers, &m->content, &m->_form_data, &m->context};
    for (PyObject **f : fields) *f = Py_NewRef(Py_None);
    return self;
}

int message_traverse(PyObject *self, visitproc visit, void *arg) {
    MessageObject *m = as_message(self);
    Py_VISIT(m->_raw_headers);
    Py_VISIT(m->_headers);
    Py_VISIT(m->content);
    Py_VISIT(m->_form_data);
    Py_VISIT(m->context);
    return 0;
}

// Fields go back to None rather than null: code that meets a message after the collector cleared
// it (a finalizer further down the cycle) then sees an empty message, not a null pointer.
int message_clear(PyObject *self) {
    MessageObject *m = as_message(self);
    set_field(m->_raw_headers, Py_None);
    set_field(m->_headers, Py_None);
    set_field(m->content, Py_None);
    set_field(m->_form_data, Py_None);
    set_field(m->context, Py_None);
    return 0;
}

// ---- Content-Type and content ------------------------------------------------------------

namespace {

OverrideSite content_dispose_site{"dispose"};

}  // namespace

int dispose_content_object(PyObject *content) {
    // Content's own dispose does nothing (an in-memory body may be shared): only a subclass's
    // own, or one put in its place since, has something to release.
    if (!content_dispose_site.builtin) content_dispose_site.builtin = S.content_dispose;
    const int overridden = is_overridden(content_dispose_site, content, S.content_type);
    if (overridden <= 0) return overridden;
    return Ref::steal(PyObject_CallMethodNoArgs(content, S.n_dispose)) ? 0 : -1;
}

namespace {

// The bytes of `type.lower()`: `type` itself when it is bytes (compared case-insensitively by
// the caller), else the result of its own `lower` method, which must be bytes.
Ref lowered_bytes(PyObject *type) {
    if (PyBytes_Check(type)) return Ref::borrow(type);
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(type, S.n_lower));
    if (r && !PyBytes_Check(r.get())) {
        expected_type("bytes", r.get());
        return Ref();
    }
    return r;
}

// A content's fields, read by slot while its class keeps them as slots.
SlotAttr content_type_attr{"type"};
SlotAttr content_length_attr{"length"};

}  // namespace

PyObject *content_type_impl(PyObject *self) {
    // Held across the truth test: a `__bool__` may replace the message's content.
    Ref content = Ref::borrow(as_message(self)->content);
    const int truth = content_truth(content.get());
    if (truth < 0) return nullptr;
    if (truth) {
        Ref type = Ref::steal(content_type_attr.get(content.get()));
        if (!type) return nullptr;
        if (PyBytes_Check(type.get()) && PyBytes_GET_SIZE(type.get()) > 0) return type.release();
    }
    return get_first_header(self, S.h_content_type);
}

PyObject *with_content_impl(PyObject *self, PyObject *content) {
    set_field(as_message(self)->content, content);
    return Py_NewRef(self);
}

int has_body_impl(PyObject *self) {
    Ref content = Ref::borrow(as_message(self)->content);
    const int truth = content_truth(content.get());
    if (truth <= 0) return truth;
    Ref length = Ref::steal(content_length_attr.get(content.get()));
    if (!length) return -1;
    const long long n = PyLong_AsLongLong(length.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    return n != 0;
}

int declares_content_type_impl(PyObject *self, PyObject *type) {
    Ref ct = Ref::steal(content_type(self));
    if (!ct) return -1;
    if (ct.get() == Py_None || PyBytes_GET_SIZE(ct.get()) == 0) return 0;
    Ref wanted = lowered_bytes(type);
    if (!wanted) return -1;
    const auto *hay = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(ct.get()));
    const auto *needle = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(wanted.get()));
    const Py_ssize_t n = PyBytes_GET_SIZE(ct.get()), k = PyBytes_GET_SIZE(wanted.get());
    if (k == 0) return 1;
    // Only where the first character matches is the rest compared.
    const unsigned char first = ascii_lower(needle[0]);
    for (Py_ssize_t i = 0; i + k <= n; ++i) {
        if (ascii_lower(hay[i]) != first) continue;
        Py_ssize_t j = 1;
        while (j < k && ascii_lower(hay[i + j]) == ascii_lower(needle[j])) ++j;
        if (j == k) return 1;
    }
    return 0;
}

int declares_json_impl(PyObject *self) { return declares_content_type(self, S.b_json); }
int declares_xml_impl(PyObject *self) { return declares_content_type(self, S.b_xml); }

static OverrideSite content_type_site{"content_type"};
static OverrideSite with_content_site{"with_content"};
static OverrideSite has_body_site{"has_body"};
static OverrideSite declares_content_type_site{"declares_content_type"};
static OverrideSite declares_json_site{"declares_json"};
static OverrideSite declares_xml_site{"declares_xml"};

PyObject *content_type(PyObject *self) {
    return dispatch_object(is_builtin_message(self), content_type_site, &MessageType,
                           Returns{&PyBytes_Type}, content_type_impl, self);
}
PyObject *with_content(PyObject *self, PyObject *content) {
    return dispatch_object(is_builtin_message(self), with_content_site, &MessageType, Returns{},
                           with_content_impl, self, content);
}
int has_body(PyObject *self) {
    return dispatch_bool(is_builtin_message(self), has_body_site, &MessageType, has_body_impl,
                         self);
}
int declares_content_type(PyObject *self, PyObject *type) {
    return dispatch_bool(is_builtin_message(self), declares_content_type_site, &MessageType,
                         declares_content_type_impl, self, type);
}
int declares_json(PyObject *self) {
    return dispatch_bool(is_builtin_message(self), declares_json_site, &MessageType,
                         declares_json_impl, self);
}
int declares_xml(PyObject *self) {
    return dispatch_bool(is_builtin_message(self), declares_xml_site, &MessageType,
                         declares_xml_impl, self);
}

int init_prop(PyObject *self, PyObject *name, PyObject *value) {
    Ref current = Ref::steal(PyObject_GetAttr(self, name));
    if (current) return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return PyObject_SetAttr(self, name, value);
}

// ---- charset -----------------------------------------------------------------------------

namespace {

inline bool charset_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// The first "charset=<name>" in any letter case, as the module's `_charset_rx` finds it.
PyObject *scan_charset(PyObject *value) {
    const auto *s = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(value));
    const Py_ssize_t n = PyBytes_GET_SIZE(value);
    static const char word[] = "charset=";
    const Py_ssize_t w = sizeof word - 1;
    for (Py_ssize_t i = 0; i + w < n; ++i) {
        Py_ssize_t j = 0;
        while (j < w && ascii_lower(s[i + j]) == static_cast<unsigned char>(word[j])) ++j;
        if (j < w) continue;
        Py_ssize_t end = i + w;
        while (end < n && charset_char(s[end])) ++end;
        if (end > i + w)
            return PyUnicode_DecodeASCII(reinterpret_cast<const char *>(s + i + w), end - i - w,
                                         nullptr);
    }
    return Py_NewRef(Py_None);
}

}  // namespace

PyObject *parse_charset(PyObject *value) {
    if (PyBytes_Check(value)) return scan_charset(value);
    // Anything else is the regular expression's to refuse, with its own error.
    Ref match = Ref::steal(PyObject_CallMethodOneArg(S.charset_rx, S.n_search, value));
    if (!match) return nullptr;
    if (match.get() == Py_None) return match.release();
    Ref group = Ref::steal(PyObject_CallMethod(match.get(), "group", "i", 1));
    if (!group) return nullptr;
    return PyObject_CallMethod(group.get(), "decode", "s", "ascii");
}

// ---- Python methods ----------------------------------------------------------------------

namespace {

template <size_t N>
bool bytes_args(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                const char *const (&names)[N], PyObject *(&out)[N]) {
    if (!parse_args(func, args, nargs, kwnames, names, N, out)) return false;
    for (size_t i = 0; i < N; ++i)
        if (!check_arg(out[i], &PyBytes_Type, names[i])) return false;
    return true;
}

// A method taking one bytes argument named `key`.
#define QM_KEY_METHOD(pyname, wrap)                                                           \
    PyObject *py_##pyname(PyObject *self, PyObject *const *args, Py_ssize_t nargs,            \
                          PyObject *kwnames) {                                                \
        static const char *const names[] = {"key"};                                           \
        PyObject *a[1] = {nullptr};                                                           \
        if (!bytes_args(#pyname, args, nargs, kwnames, names, a)) return nullptr;             \
        return wrap;                                                                          \
    }

QM_KEY_METHOD(get_headers, get_headers_impl(self, a[0]))
QM_KEY_METHOD(get_first_header, get_first_header_impl(self, a[0]))
QM_KEY_METHOD(get_single_header, get_single_header_impl(self, a[0]))
QM_KEY_METHOD(remove_header, none_or_null(remove_header_impl(self, a[0])))
QM_KEY_METHOD(has_header, bool_or_null(has_header_impl(self, a[0])))
#undef QM_KEY_METHOD

#define QM_KEY_VALUE_METHOD(pyname, impl)                                                     \
    PyObject *py_##pyname(PyObject *self, PyObject *const *args, Py_ssize_t nargs,            \
                          PyObject *kwnames) {                                                \
        static const char *const names[] = {"key", "value"};                                  \
        PyObject *a[2] = {nullptr, nullptr};                                                  \
        if (!bytes_args(#pyname, args, nargs, kwnames, names, a)) return nullptr;             \
        return none_or_null(impl(self, a[0], a[1]));                                          \
    }

QM_KEY_VALUE_METHOD(add_header, add_header_impl)
QM_KEY_VALUE_METHOD(set_header, set_header_impl)
#undef QM_KEY_VALUE_METHOD

PyObject *py_content_type(PyObject *self, PyObject *) { return content_type_impl(self); }
PyObject *py_has_body(PyObject *self, PyObject *) { return bool_or_null(has_body_impl(self)); }
PyObject *py_declares_json(PyObject *self, PyObject *) {
    return bool_or_null(declares_json_impl(self));
}
PyObject *py_declares_xml(PyObject *self, PyObject *) {
    return bool_or_null(declares_xml_impl(self));
}

PyObject *py_declares_content_type(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    static const char *const names[] = {"type"};
    PyObject *a[1] = {nullptr};
    if (!bytes_args("declares_content_type", args, nargs, kwnames, names, a)) return nullptr;
    return bool_or_null(declares_content_type_impl(self, a[0]));
}

PyObject *py_with_content(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    static const char *const names[] = {"content"};
    PyObject *a[1] = {nullptr};
    if (!parse_args("with_content", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!instance_or_none(a[0], S.content_type))
        return arg_type_error("content", S.content_type->tp_name, a[0]);
    return with_content_impl(self, a[0]);
}

const PyMethodDef kMessageMethods[] = {
    {"get_headers", fastcall(py_get_headers), METH_FASTCALL | METH_KEYWORDS,
     "get_headers($self, key)\n--\n\nThe values of every header named `key` (any letter case), in order."},
    {"get_first_header", fastcall(py_get_first_header),
     METH_FASTCALL | METH_KEYWORDS, "get_first_header($self, key)\n--\n\nThe value of the first header named `key`, or None."},
    {"get_single_header", fastcall(py_get_single_header),
     METH_FASTCALL | METH_KEYWORDS,
     "get_single_header($self, key)\n--\n\nThe value of the only header named `key`; ValueError when there are none or several."},
    {"remove_header", fastcall(py_remove_header), METH_FASTCALL | METH_KEYWORDS,
     "remove_header($self, key)\n--\n\nRemoves every header named `key`."},
    {"has_header", fastcall(py_has_header), METH_FASTCALL | METH_KEYWORDS,
     "has_header($self, key)\n--\n\nWhether a header named `key` is present."},
    {"add_header", fastcall(py_add_header), METH_FASTCALL | METH_KEYWORDS,
     "add_header($self, key, value)\n--\n\nAppends a header, keeping any others of the same name."},
    {"set_header", fastcall(py_set_header), METH_FASTCALL | METH_KEYWORDS,
     "set_header($self, key, value)\n--\n\nReplaces every header named `key` by one appended at the end."},
    {"content_type", py_content_type, METH_NOARGS,
     "The content's media type, else the first Content-Type header, else None."},
    {"with_content", fastcall(py_with_content), METH_FASTCALL | METH_KEYWORDS,
     "with_content($self, content)\n--\n\nSets the content and returns the message."},
    {"has_body", py_has_body, METH_NOARGS, "Whether the content has a body (length not 0)."},
    {"declares_content_type", fastcall(py_declares_content_type),
     METH_FASTCALL | METH_KEYWORDS,
     "declares_content_type($self, type)\n--\n\nWhether the Content-Type contains `type`, compared case-insensitively."},
    {"declares_json", py_declares_json, METH_NOARGS, "Whether the Content-Type mentions json."},
    {"declares_xml", py_declares_xml, METH_NOARGS, "Whether the Content-Type mentions xml."},
};

// ---- properties --------------------------------------------------------------------------

PyObject *get_headers_property(PyObject *self, void *) {
    MessageObject *m = as_message(self);
    if (m->_headers != Py_None) return Py_NewRef(m->_headers);
    Ref h;
    if (PyList_CheckExact(m->_raw_headers))
        h = Ref::steal(S.headers->new_headers(m->_raw_headers));
    else
        h = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(S.headers->headers_type),
                                           m->_raw_headers));
    if (!h) return nullptr;
    set_field(m->_headers, h.get());
    return h.release();
}

PyObject *get_charset(PyObject *self, void *) {
    Ref ct = Ref::steal(content_type(self));
    if (!ct) return nullptr;
    if (ct.get() == Py_None || PyBytes_GET_SIZE(ct.get()) == 0) return Py_NewRef(S.n_utf8);
    Ref cs = Ref::steal(parse_charset(ct.get()));
    if (!cs) return nullptr;
    const int truth = PyObject_IsTrue(cs.get());
    if (truth < 0) return nullptr;
    return truth ? cs.release() : Py_NewRef(S.n_utf8);
}

PyObject *get_body_buffer(PyObject *self, void *) {
    Ref content = Ref::borrow(as_message(self)->content);
    const int truth = content_truth(content.get());
    if (truth < 0) return nullptr;
    PyObject *buffer = nullptr;
    if (truth && PyObject_GetOptionalAttr(content.get(), S.n_body_buffer, &buffer) < 0)
        return nullptr;
    return buffer ? buffer : PyMemoryView_FromObject(S.empty_bytes);
}

Field kHeadersField{offsetof(MessageObject, _headers), FieldKind::Instance, nullptr};
Field kContentField{offsetof(MessageObject, content), FieldKind::Instance, nullptr};
const Field kFormDataField{offsetof(MessageObject, _form_data), FieldKind::Any, nullptr};
const Field kContextField{offsetof(MessageObject, context), FieldKind::Any, nullptr};

#define QM_FIELD(name, field) {name, field_get, field_set, nullptr, const_cast<Field *>(&field)}

PyGetSetDef kMessageGetSet[] = {
    {"headers", get_headers_property, nullptr,
     "The headers as a Headers collection over the same list (built once).", nullptr},
    {"charset", get_charset, nullptr, "The Content-Type's charset parameter, else \"utf8\".",
     nullptr},
    {"body_buffer", get_body_buffer, nullptr, "A memory view over the content's body.", nullptr},
    QM_FIELD("_headers", kHeadersField),
    QM_FIELD("content", kContentField),
    QM_FIELD("_form_data", kFormDataField),
    QM_FIELD("context", kContextField),
    {nullptr},
};
#undef QM_FIELD

// ---- the type ----------------------------------------------------------------------------

PyObject *message_new(PyTypeObject *type, PyObject *, PyObject *) { return message_alloc(type); }

int message_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"headers"};
    PyObject *a[1] = {nullptr};
    if (!parse_init_args("Message", args, kwargs, names, 1, a)) return -1;
    PyObject *headers = a[0];
    if (!check_arg(headers, &PyList_Type, "headers")) return -1;
    Ref list = Ref::steal(normalise_headers(headers));
    if (!list) return -1;
    set_field(as_message(self)->_raw_headers, std::move(list));
    return 0;
}

void message_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_message(self)->weakreflist) PyObject_ClearWeakRefs(self);
    message_clear(self);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

std::span<const PyMethodDef> message_methods() { return kMessageMethods; }

PyTypeObject MessageType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.messages.Message",
    .tp_basicsize = sizeof(MessageObject),
    .tp_dealloc = message_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Message(headers)\n--\n\nAn HTTP message: its header pairs and its content.",
    .tp_traverse = message_traverse,
    .tp_clear = message_clear,
    .tp_weaklistoffset = offsetof(MessageObject, weakreflist),
    .tp_getset = kMessageGetSet,
    .tp_init = message_init,
    .tp_new = message_new,
};

int ready_message_type() {
    kHeadersField.type = S.headers->headers_type;
    kContentField.type = S.content_type;
    MessageType.tp_methods =
        join_methods({message_methods(), body::message_methods(), forms::message_methods()});
    return PyType_Ready(&MessageType);
}

}  // namespace qm::messages
