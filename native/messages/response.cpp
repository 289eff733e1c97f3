// The Response type: status, free slots, and cookies kept as Set-Cookie headers.
#include "messages/response.hpp"

#include <Python.h>

#include <climits>
#include <cstddef>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "messages/coroutines.hpp"
#include "messages/forms.hpp"
#include "messages/impl.hpp"
#include "messages/message.hpp"
#include "messages/method_table.hpp"
#include "messages/state.hpp"

namespace qm::messages {

bool to_status(PyObject *value, int &out) {
    const long long x = PyLong_AsLongLong(value);
    if (x == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    } else if (x >= INT_MIN && x <= INT_MAX) {
        out = int(x);
        return true;
    }
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
    return false;
}

namespace {

PyObject *response_alloc(PyTypeObject *type) {
    PyObject *self = message_alloc(type);
    if (!self) return nullptr;
    ResponseObject *r = as_response(self);
    r->state = Py_NewRef(Py_None);
    r->_context = Py_NewRef(Py_None);
    return self;
}

int response_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_response(self)->state);
    Py_VISIT(as_response(self)->_context);
    return message_traverse(self, visit, arg);
}

int response_clear(PyObject *self) {
    set_field(as_response(self)->state, Py_None);
    set_field(as_response(self)->_context, Py_None);
    return message_clear(self);
}

void response_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_message(self)->weakreflist) PyObject_ClearWeakRefs(self);
    response_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The constructor's work; `headers` is kept as given when non-empty (the pairs are the caller's,
// written by application code or the pools, so nothing is normalised).
int response_fill(PyObject *self, PyObject *status, PyObject *headers, PyObject *content) {
    if (!check_arg(headers, &PyList_Type, "headers")) return -1;
    if (!instance_or_none(content, S.content_type))
        return arg_type_error("content", S.content_type->tp_name, content);
    int code = 0;
    if (!to_status(status, code)) return -1;
    ResponseObject *r = as_response(self);
    if (headers != Py_None && PyList_GET_SIZE(headers) > 0) {
        set_field(r->base._raw_headers, headers);
    } else {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return -1;
        set_field(r->base._raw_headers, std::move(list));
    }
    r->status = code;
    set_field(r->base.content, content);
    return 0;
}

const char *const kCtorNames[] = {"status", "headers", "content"};

PyObject *response_new(PyTypeObject *type, PyObject *, PyObject *) { return response_alloc(type); }

int response_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *a[3] = {nullptr, Py_None, Py_None};
    if (!parse_init_args("Response", args, kwargs, kCtorNames, 1, a)) return -1;
    return response_fill(self, a[0], a[1], a[2]);
}

PyObject *response_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    PyObject *a[3] = {nullptr, Py_None, Py_None};
    if (!parse_args("Response", args, PyVectorcall_NARGS(nargsf), kwnames, kCtorNames, 1, a))
        return nullptr;
    Ref self = Ref::steal(response_alloc(reinterpret_cast<PyTypeObject *>(type)));
    if (!self || response_fill(self.get(), a[0], a[1], a[2]) < 0) return nullptr;
    return self.release();
}

PyObject *response_repr(PyObject *self) {
    return PyUnicode_FromFormat("<Response %d>", as_response(self)->status);
}

// ---- operations --------------------------------------------------------------------------

int is_redirect_impl(PyObject *self) {
    switch (as_response(self)->status) {
        case 301: case 302: case 303: case 307: case 308: return 1;
        default: return 0;
    }
}

// The header list of a response being reset: emptied in place when the response alone holds it, so
// that its storage takes the next response's headers without growing again; else a new list.
// The items go one at a time from the end, so that the list is whole whatever their release runs.
int empty_header_list(PyObject *&field) {
    PyObject *list = field;
    if (!PyList_CheckExact(list) || Py_REFCNT(list) != 1) {
        Ref fresh = Ref::steal(PyList_New(0));
        if (!fresh) return -1;
        set_field(field, std::move(fresh));
        return 0;
    }
    Ref held = Ref::borrow(list);
    for (Py_ssize_t n = PyList_GET_SIZE(list); n > 0; n = PyList_GET_SIZE(list)) {
        PyObject *item = PyList_GET_ITEM(list, n - 1);
        Py_SET_SIZE(list, n - 1);
        Py_DECREF(item);
    }
    return 0;
}

int response_reset_impl(PyObject *self) {
    ResponseObject *r = as_response(self);
    r->status = 200;
    set_field(r->state, Py_None);
    set_field(r->base.context, Py_None);
    Ref form = Ref::borrow(r->base._form_data);
    set_field(r->base._form_data, Py_None);
    set_field(r->base._headers, Py_None);
    if (empty_header_list(r->base._raw_headers) < 0) return -1;
    if (PyDict_Check(form.get()) && forms::close_form_files(form.get()) < 0) return -1;
    if (r->base.content != Py_None) {
        Ref content = Ref::borrow(r->base.content);
        if (dispose_content_object(content.get()) < 0) return -1;
        set_field(r->base.content, Py_None);
    }
    return 0;
}

OverrideSite is_redirect_site{"is_redirect"};
OverrideSite response_reset_site{"reset"};

// ---- cookies -----------------------------------------------------------------------------

// parse_cookie(value) for one Set-Cookie value, which must be bytes (or None, which the parser
// refuses in its own way).
Ref parse_set_cookie(PyObject *value) {
    if (!check_value(value, &PyBytes_Type)) return Ref();
    return Ref::steal(PyObject_CallOneArg(S.parse_cookie, value));
}

PyObject *py_get_cookies(PyObject *self, PyObject *) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    Ref values = Ref::steal(get_headers_impl(self, S.h_set_cookie));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref cookie = parse_set_cookie(PyList_GET_ITEM(values.get(), i));
        if (!cookie) return nullptr;
        Ref name = Ref::steal(PyObject_GetAttr(cookie.get(), S.n_name));
        if (!name || PyDict_SetItem(out.get(), name.get(), cookie.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject *name_arg(const char *func, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name"};
    PyObject *a[1] = {};
    if (!parse_args(func, args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "name")) return nullptr;
    return a[0];
}

PyObject *py_get_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *name = name_arg("get_cookie", args, nargs, kwnames);
    if (!name) return nullptr;
    Ref values = Ref::steal(get_headers_impl(self, S.h_set_cookie));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref cookie = parse_set_cookie(PyList_GET_ITEM(values.get(), i));
        if (!cookie) return nullptr;
        Ref cookie_name = Ref::steal(PyObject_GetAttr(cookie.get(), S.n_name));
        if (!cookie_name) return nullptr;
        const int eq = PyObject_RichCompareBool(cookie_name.get(), name, Py_EQ);
        if (eq < 0) return nullptr;
        if (eq) return cookie.release();
    }
    Py_RETURN_NONE;
}

PyObject *py_set_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"cookie"};
    PyObject *a[1] = {};
    if (!parse_args("set_cookie", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!instance_or_none(a[0], S.cookie_type))
        return arg_type_error("cookie", S.cookie_type->tp_name, a[0]);
    Ref value = Ref::steal(PyObject_CallOneArg(S.write_cookie_for_response, a[0]));
    if (!value || append_pair(self, S.h_set_cookie, value.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_set_cookies(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    static const char *const names[] = {"cookies"};
    PyObject *a[1] = {};
    if (!parse_args("set_cookies", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg(a[0], &PyList_Type, "cookies")) return nullptr;
    if (a[0] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    Ref list = Ref::borrow(a[0]);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref cookie = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        if (!check_value_instance(cookie.get(), S.cookie_type)) return nullptr;
        if (!Ref::steal(PyObject_CallMethodOneArg(self, S.n_set_cookie, cookie.get())))
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *py_unset_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    PyObject *name = name_arg("unset_cookie", args, nargs, kwnames);
    if (!name) return nullptr;
    Ref now = Ref::steal(PyObject_CallNoArgs(S.utcnow));
    if (!now) return nullptr;
    Ref expires = Ref::steal(PyNumber_Subtract(now.get(), S.one_year));
    if (!expires) return nullptr;
    PyObject *cargs[] = {name, S.empty_str, expires.get()};
    Ref cookie = Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject *>(S.cookie_type), cargs, 3, nullptr));
    if (!cookie) return nullptr;
    if (!Ref::steal(PyObject_CallMethodOneArg(self, S.n_set_cookie, cookie.get()))) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_remove_cookie(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) {
    PyObject *name = name_arg("remove_cookie", args, nargs, kwnames);
    if (!name) return nullptr;
    Ref to_remove = Ref::steal(PyList_New(0));
    if (!to_remove) return nullptr;
    Ref pairs = Ref::steal(get_headers_tuples(self, S.h_set_cookie));
    if (!pairs) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
        Ref cookie = parse_set_cookie(PyTuple_GET_ITEM(pair, 1));
        if (!cookie) return nullptr;
        Ref cookie_name = Ref::steal(PyObject_GetAttr(cookie.get(), S.n_name));
        if (!cookie_name) return nullptr;
        const int eq = PyObject_RichCompareBool(cookie_name.get(), name, Py_EQ);
        if (eq < 0) return nullptr;
        if (eq && PyList_Append(to_remove.get(), pair) < 0) return nullptr;
    }
    if (remove_headers(self, to_remove.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_is_redirect(PyObject *self, PyObject *) {
    return Py_NewRef(is_redirect_impl(self) ? Py_True : Py_False);
}

PyObject *py_reset(PyObject *self, PyObject *) {
    return none_or_null(response_reset_impl(self));
}

// ---- properties --------------------------------------------------------------------------

PyObject *get_status(PyObject *self, void *) { return PyLong_FromLong(as_response(self)->status); }

int set_status(PyObject *self, PyObject *value, void *) {
    if (!value) return delete_not_supported();
    int code = 0;
    if (!to_status(value, code)) return -1;
    as_response(self)->status = code;
    return 0;
}

PyObject *get_cookies_property(PyObject *self, void *) {
    return PyObject_CallMethodNoArgs(self, S.n_get_cookies);
}

PyObject *get_reason(PyObject *self, void *) {
    Ref code = Ref::steal(PyLong_FromLong(as_response(self)->status));
    if (!code) return nullptr;
    Ref member = Ref::steal(PyObject_CallOneArg(S.http_status, code.get()));
    if (!member) return nullptr;
    return PyObject_GetAttr(member.get(), S.n_phrase);
}

const Field kStateField{offsetof(ResponseObject, state), FieldKind::Any, nullptr};
const Field kContextField{offsetof(ResponseObject, _context), FieldKind::Any, nullptr};

PyGetSetDef kResponseGetSet[] = {
    {"status", get_status, set_status, "The HTTP status code.", nullptr},
    {"state", field_get, field_set, "A free slot for application data.",
     const_cast<Field *>(&kStateField)},
    {"_context", field_get, field_set, nullptr, const_cast<Field *>(&kContextField)},
    {"cookies", get_cookies_property, nullptr, "The cookies set by Set-Cookie headers.", nullptr},
    {"reason", get_reason, nullptr, "The standard reason phrase of the status.", nullptr},
    {nullptr},
};

const PyMethodDef kResponseMethods[] = {
    {"get_cookies", py_get_cookies, METH_NOARGS,
     "Cookie name -> Cookie for every Set-Cookie header (a later one wins)."},
    {"get_cookie", fastcall(py_get_cookie), METH_FASTCALL | METH_KEYWORDS,
     "get_cookie($self, name)\n--\n\nThe first cookie set under `name`, or None."},
    {"set_cookie", fastcall(py_set_cookie), METH_FASTCALL | METH_KEYWORDS,
     "set_cookie($self, cookie)\n--\n\nAppends a Set-Cookie header for `cookie`."},
    {"set_cookies", fastcall(py_set_cookies), METH_FASTCALL | METH_KEYWORDS,
     "set_cookies($self, cookies)\n--\n\nCalls set_cookie for each cookie of the list."},
    {"unset_cookie", fastcall(py_unset_cookie), METH_FASTCALL | METH_KEYWORDS,
     "unset_cookie($self, name)\n--\n\nSets an expired, empty cookie so that the client drops `name`."},
    {"remove_cookie", fastcall(py_remove_cookie),
     METH_FASTCALL | METH_KEYWORDS, "remove_cookie($self, name)\n--\n\nRemoves every Set-Cookie header for `name`."},
    {"is_redirect", py_is_redirect, METH_NOARGS, "Whether the status is a redirection."},
    {"reset", py_reset, METH_NOARGS, "Clears the response for reuse as a fresh 200 response."},
};

}  // namespace

int is_redirect(PyObject *self) {
    return dispatch_bool(is_builtin_message(self), is_redirect_site, &ResponseType,
                         is_redirect_impl, self);
}

int response_reset(PyObject *self) {
    return dispatch_void(is_builtin_message(self), response_reset_site, &ResponseType,
                         response_reset_impl, self);
}

PyTypeObject ResponseType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.messages.Response",
    .tp_basicsize = sizeof(ResponseObject),
    .tp_dealloc = response_dealloc,
    .tp_repr = response_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Response(status, headers=None, content=None)\n--\n\nAn outgoing HTTP response.",
    .tp_traverse = response_traverse,
    .tp_clear = response_clear,
    .tp_getset = kResponseGetSet,
    .tp_base = &MessageType,
    .tp_init = response_init,
    .tp_new = response_new,
    .tp_vectorcall = response_vectorcall,
};

int ready_response_type() {
    ResponseType.tp_methods = join_methods({kResponseMethods, response_coroutine_methods()});
    return PyType_Ready(&ResponseType);
}

}  // namespace qm::messages
