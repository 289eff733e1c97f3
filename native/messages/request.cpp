// The Request type: construction from a URL or from the server's method, path and query, its
// fields, and the operations that belong to it. The properties derived from the scope and the
// headers live in request_properties.cpp.
#include "messages/request.hpp"

#include <Python.h>

#include <cstddef>
#include <vector>

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "core/intern.h"
#include "core/scratchpad.h"
#include "messages/coroutines.hpp"
#include "messages/forms.hpp"
#include "messages/message.hpp"
#include "messages/method_table.hpp"
#include "messages/request_properties.hpp"
#include "messages/state.hpp"

namespace qm::messages {

PyObject *intern_method_str(PyObject *method) {
    if (method == Py_None) return Py_NewRef(method);
    if (!PyUnicode_Check(method)) return expected_type("str", method);
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(method, &n);
    if (!s) return nullptr;
    if (n != 0) {
        if (PyObject *shared = get_interned_method_str(s, size_t(n))) return Py_NewRef(shared);
    }
    return Py_NewRef(method);
}

namespace {

constexpr size_t kScratchpadCapacity = 65536;

PyObject **request_object_fields(RequestObject *r, size_t &count) {
    static_assert(offsetof(RequestObject, _is_disconnected) - offsetof(RequestObject, method) ==
                  16 * sizeof(PyObject *));
    count = 17;
    return &r->method;
}

PyObject *request_alloc(PyTypeObject *type) {
    PyObject *self = message_alloc(type);
    if (!self) return nullptr;
    size_t n;
    PyObject **fields = request_object_fields(as_request(self), n);
    for (size_t i = 0; i < n; ++i) fields[i] = Py_NewRef(Py_None);
    return self;
}

int request_traverse(PyObject *self, visitproc visit, void *arg) {
    size_t n;
    PyObject **fields = request_object_fields(as_request(self), n);
    for (size_t i = 0; i < n; ++i) Py_VISIT(fields[i]);
    return message_traverse(self, visit, arg);
}

int request_clear(PyObject *self) {
    size_t n;
    PyObject **fields = request_object_fields(as_request(self), n);
    for (size_t i = 0; i < n; ++i) set_field(fields[i], Py_None);
    return message_clear(self);
}

void request_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    RequestObject *r = as_request(self);
    if (r->_arena_initialized) {
        scratchpad_destroy(&r->_arena);
        r->_arena_initialized = 0;
    }
    if (r->base.weakreflist) PyObject_ClearWeakRefs(self);
    request_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Stores a value that must be bytes or None (the rule of `_path` and `_raw_query`).
int set_bytes_field(PyObject *&field, PyObject *value) {
    if (!check_value(value, &PyBytes_Type)) return -1;
    set_field(field, value);
    return 0;
}

// The constructor's work on a freshly allocated request; the arguments are already checked.
int request_fill(PyObject *self, PyObject *method, PyObject *url, PyObject *headers) {
    RequestObject *r = as_request(self);
    Ref url_obj = Ref::none();
    if (url != Py_None && PyBytes_GET_SIZE(url) > 0) {
        url_obj = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(S.url_type), url));
        if (!url_obj || !check_value_instance(url_obj.get(), S.url_type)) return -1;
    }
    Ref raw = Ref::steal(normalise_headers(headers));
    if (!raw) return -1;
    Ref interned = Ref::steal(intern_method_str(method));
    if (!interned) return -1;
    set_field(r->base._raw_headers, std::move(raw));
    set_field(r->method, std::move(interned));
    set_field(r->_session, Py_None);
    const int truth = url_obj.get() == Py_None ? 0 : PyObject_IsTrue(url_obj.get());
    if (truth < 0) return -1;
    if (truth) {
        Ref path = Ref::steal(PyObject_GetAttr(url_obj.get(), S.n_path));
        if (!path || set_bytes_field(r->_path, path.get()) < 0) return -1;
        Ref query = Ref::steal(PyObject_GetAttr(url_obj.get(), S.n_query));
        if (!query || set_bytes_field(r->_raw_query, query.get()) < 0) return -1;
    }
    set_field(r->_url, std::move(url_obj));
    return 0;
}

bool check_request_args(PyObject *method, PyObject *url, PyObject *headers) {
    return check_arg(method, &PyUnicode_Type, "method") && check_arg(url, &PyBytes_Type, "url") &&
           check_arg(headers, &PyList_Type, "headers");
}

PyObject *request_new(PyTypeObject *type, PyObject *, PyObject *) { return request_alloc(type); }

int request_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"method", "url", "headers"};
    PyObject *a[3] = {};
    if (!parse_init_args("Request", args, kwargs, names, 3, a)) return -1;
    if (!check_request_args(a[0], a[1], a[2])) return -1;
    return request_fill(self, a[0], a[1], a[2]);
}

PyObject *request_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) {
    static const char *const names[] = {"method", "url", "headers"};
    PyObject *a[3] = {};
    if (!parse_args("Request", args, PyVectorcall_NARGS(nargsf), kwnames, names, 3, a))
        return nullptr;
    if (!check_request_args(a[0], a[1], a[2])) return nullptr;
    Ref self = Ref::steal(request_alloc(reinterpret_cast<PyTypeObject *>(type)));
    if (!self || request_fill(self.get(), a[0], a[1], a[2]) < 0) return nullptr;
    return self.release();
}

PyObject *py_incoming(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"method", "path", "query", "headers"};
    PyObject *a[4] = {};
    if (!parse_args("incoming", args, nargs, kwnames, names, 4, a)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "method") || !check_arg(a[1], &PyBytes_Type, "path") ||
        !check_arg(a[2], &PyBytes_Type, "query") || !check_arg(a[3], &PyList_Type, "headers"))
        return nullptr;
    if (cls == reinterpret_cast<PyObject *>(&RequestType)) {
        Ref self = Ref::steal(request_alloc(&RequestType));
        if (!self || request_fill(self.get(), a[0], Py_None, a[3]) < 0) return nullptr;
        set_field(as_request(self.get())->_path, a[1]);
        set_field(as_request(self.get())->_raw_query, a[2]);
        return self.release();
    }
    PyObject *call_args[] = {a[0], Py_None, a[3]};
    Ref self = Ref::steal(PyObject_Vectorcall(cls, call_args, 3, nullptr));
    if (!self) return nullptr;
    if (PyObject_SetAttr(self.get(), S.n__path, a[1]) < 0 ||
        PyObject_SetAttr(self.get(), S.n__raw_query, a[2]) < 0)
        return nullptr;
    return self.release();
}

PyObject *request_repr(PyObject *self) {
    Ref url = Ref::steal(PyObject_GetAttr(self, S.n_url));
    if (!url) return nullptr;
    Ref value = Ref::steal(PyObject_GetAttr(url.get(), S.n_value));
    if (!value) return nullptr;
    Ref text;
    if (PyBytes_Check(value.get()))
        text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()),
                                               PyBytes_GET_SIZE(value.get()), nullptr));
    else
        text = Ref::steal(PyObject_CallMethod(value.get(), "decode", "s", "utf8"));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("<Request %S %S>", as_request(self)->method, text.get());
}

// ---- operations --------------------------------------------------------------------------

int expect_100_continue_impl(PyObject *self) {
    Ref v = Ref::steal(get_first_header(self, S.h_expect));
    if (!v) return -1;
    if (v.get() == Py_None) return 0;
    static const char expected[] = "100-continue";
    const Py_ssize_t n = PyBytes_GET_SIZE(v.get());
    if (n != Py_ssize_t(sizeof expected - 1)) return 0;
    return lowered_equal(PyBytes_AS_STRING(v.get()), expected, n);
}

int dispose_content(PyObject *self) {
    MessageObject *m = as_message(self);
    Ref content = Ref::borrow(m->content);
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(content.get(), S.n_dispose));
    return r ? 0 : -1;
}

int request_reset_impl(PyObject *self) {
    RequestObject *r = as_request(self);
    set_field(r->method, S.empty_str);
    set_field(r->_url, Py_None);
    set_field(r->_path, S.empty_bytes);
    set_field(r->_raw_query, S.empty_bytes);
    set_field(r->route_values, Py_None);
    set_field(r->scope, Py_None);
    if (PyObject_SetAttr(self, S.n_identity, Py_None) < 0) return -1;
    // The files of a parsed form (a dict of parts) go with it: nothing of an upload outlives the
    // request it came with.
    Ref form = Ref::borrow(r->base._form_data);
    PyObject **cleared[] = {&r->_user,   &r->_di_scope,     &r->state,
                            &r->_session, &r->_base_path,   &r->_original_client_ip,
                            &r->_host,    &r->_scheme,      &r->base.context,
                            &r->services, &r->base._form_data, &r->base._headers};
    for (PyObject **f : cleared) set_field(*f, Py_None);
    if (PyDict_Check(form.get()) && forms::close_form_files(form.get()) < 0) return -1;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return -1;
    set_field(r->base._raw_headers, std::move(list));
    set_field(r->_is_disconnected, Py_None);
    if (r->base.content != Py_None) {
        if (dispose_content(self) < 0) return -1;
        set_field(r->base.content, Py_None);
    }
    if (r->_arena_initialized) scratchpad_reset(&r->_arena);
    return 0;
}

int request_dispose(PyObject *self) {
    MessageObject *m = as_message(self);
    if (m->_form_data != Py_None && forms::close_form_files(m->_form_data) < 0) return -1;
    Ref content = Ref::borrow(m->content);
    const int truth = content_truth(content.get());
    if (truth < 0) return -1;
    return truth ? dispose_content(self) : 0;
}

OverrideSite expect_100_continue_site{"expect_100_continue"};
OverrideSite request_reset_site{"reset"};

}  // namespace

int expect_100_continue(PyObject *self) {
    return dispatch_bool(is_builtin_message(self), expect_100_continue_site, &RequestType,
                         expect_100_continue_impl, self);
}

int request_reset(PyObject *self) {
    return dispatch_void(is_builtin_message(self), request_reset_site, &RequestType,
                         request_reset_impl, self);
}

void *alloc_scratchpad(PyObject *self, size_t size, size_t alignment) {
    RequestObject *r = as_request(self);
    if (!r->_arena_initialized) {
        scratchpad_init(&r->_arena, kScratchpadCapacity);
        r->_arena_initialized = 1;
    }
    void *block = nullptr;
    if (scratchpad_alloc(&r->_arena, size, alignment, &block) != QMK_OK) return nullptr;
    return block;
}

namespace {

// ---- Python methods ----------------------------------------------------------------------

PyObject *py_expect_100_continue(PyObject *self, PyObject *) {
    return bool_or_null(expect_100_continue_impl(self));
}

PyObject *py_reset(PyObject *self, PyObject *) {
    return none_or_null(request_reset_impl(self));
}

PyObject *py_dispose(PyObject *self, PyObject *) {
    return none_or_null(request_dispose(self));
}

PyObject *py_scratchpad_arena_stats(PyObject *self, PyObject *) {
    RequestObject *r = as_request(self);
    if (!r->_arena_initialized) return Py_BuildValue("(iiO)", 0, 0, Py_False);
    return Py_BuildValue("(nnO)", Py_ssize_t(r->_arena.capacity), Py_ssize_t(r->_arena.offset),
                         Py_True);
}

const PyMethodDef kRequestMethods[] = {
    {"incoming", fastcall(py_incoming),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "A request of this class from the server's method, raw path, raw query and header list."},
    {"get_cookie", fastcall(py_request_get_cookie),
     METH_FASTCALL | METH_KEYWORDS, "The value of the request cookie `name`, or None."},
    {"set_cookie", fastcall(py_request_set_cookie),
     METH_FASTCALL | METH_KEYWORDS, "Adds a cookie to the request's single Cookie header."},
    {"expect_100_continue", py_expect_100_continue, METH_NOARGS,
     "Whether the client sent Expect: 100-continue."},
    {"dispose", py_dispose, METH_NOARGS,
     "Closes the files of a parsed form and disposes of the content."},
    {"reset", py_reset, METH_NOARGS, "Clears the request for reuse."},
    {"scratchpad_arena_stats", py_scratchpad_arena_stats, METH_NOARGS,
     "(capacity, offset, initialised) of the request's scratch arena."},
};

Field kUrlField{offsetof(RequestObject, _url), FieldKind::Instance, nullptr};

#define QM_EXACT(member, type)                                                                 \
    []() -> void * {                                                                           \
        static Field f{offsetof(RequestObject, member), FieldKind::Exact, type};               \
        return &f;                                                                             \
    }()
#define QM_ANY(member)                                                                         \
    []() -> void * {                                                                           \
        static Field f{offsetof(RequestObject, member), FieldKind::Any, nullptr};              \
        return &f;                                                                             \
    }()
#define QM_GETSET(name, closure) {name, field_get, field_set, nullptr, closure}

std::vector<PyGetSetDef> *request_getset() {
    auto *v = new std::vector<PyGetSetDef>{
        QM_GETSET("method", QM_EXACT(method, &PyUnicode_Type)),
        QM_GETSET("_url", &kUrlField),
        QM_GETSET("_path", QM_EXACT(_path, &PyBytes_Type)),
        QM_GETSET("_raw_query", QM_EXACT(_raw_query, &PyBytes_Type)),
        QM_GETSET("route_values", QM_ANY(route_values)),
        QM_GETSET("scope", QM_ANY(scope)),
        QM_GETSET("_user", QM_ANY(_user)),
        QM_GETSET("_di_scope", QM_ANY(_di_scope)),
        QM_GETSET("state", QM_ANY(state)),
        QM_GETSET("_session", QM_ANY(_session)),
        QM_GETSET("_base_path", QM_EXACT(_base_path, &PyUnicode_Type)),
        QM_GETSET("_original_client_ip", QM_EXACT(_original_client_ip, &PyUnicode_Type)),
        QM_GETSET("_host", QM_EXACT(_host, &PyUnicode_Type)),
        QM_GETSET("_scheme", QM_EXACT(_scheme, &PyUnicode_Type)),
        QM_GETSET("_context", QM_ANY(_context)),
        QM_GETSET("services", QM_ANY(services)),
        QM_GETSET("_is_disconnected", QM_ANY(_is_disconnected)),
    };
    for (const PyGetSetDef &p : request_properties()) v->push_back(p);
    v->push_back(PyGetSetDef{nullptr});
    return v;
}

#undef QM_EXACT
#undef QM_ANY
#undef QM_GETSET

}  // namespace

PyTypeObject RequestType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.messages.Request",
    .tp_basicsize = sizeof(RequestObject),
    .tp_dealloc = request_dealloc,
    .tp_repr = request_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "An incoming HTTP request.",
    .tp_traverse = request_traverse,
    .tp_clear = request_clear,
    .tp_base = &MessageType,
    .tp_init = request_init,
    .tp_new = request_new,
    .tp_vectorcall = request_vectorcall,
};

int ready_request_type() {
    kUrlField.type = S.url_type;
    RequestType.tp_getset = request_getset()->data();
    RequestType.tp_methods = join_methods({kRequestMethods, request_coroutine_methods()});
    return PyType_Ready(&RequestType);
}

}  // namespace qm::messages
