// The Request type: construction from a URL or from the server's method, path and query, its
// fields, and the operations that belong to it. The properties derived from the scope and the
// headers live in request_properties.cpp.
#include "messages/request.hpp"

#include <Python.h>

#include <cstddef>
#include <iterator>
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
    const char *s;
    if (PyUnicode_IS_COMPACT_ASCII(method)) {  // its characters are its UTF-8 already
        n = PyUnicode_GET_LENGTH(method);
        s = static_cast<const char *>(PyUnicode_DATA(method));
    } else if (!(s = PyUnicode_AsUTF8AndSize(method, &n))) {
        return nullptr;
    }
    if (n != 0) {
        if (PyObject *shared = get_interned_method_str(s, size_t(n))) return Py_NewRef(shared);
    }
    return Py_NewRef(method);
}

namespace {

constexpr size_t kScratchpadCapacity = 65536;

using Obj = RequestObject;

// Every object field of Request (not Message's), in declared order.
#define QM_MEMBER(name, ...) &Obj::name,
PyObject *Obj::*const kObjectFields[] = {QM_REQUEST_FIELDS(QM_MEMBER)};
#undef QM_MEMBER

PyObject *request_alloc(PyTypeObject *type) {
    PyObject *self = message_alloc(type);
    if (!self) return nullptr;
    for (auto field : kObjectFields) as_request(self)->*field = Py_NewRef(Py_None);
    return self;
}

int request_traverse(PyObject *self, visitproc visit, void *arg) {
    for (auto field : kObjectFields) Py_VISIT(as_request(self)->*field);
    return message_traverse(self, visit, arg);
}

int request_clear(PyObject *self) {
    for (auto field : kObjectFields) set_field(as_request(self)->*field, Py_None);
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

// "<Request METHOD target>", the target being the URL's text, or the raw path when the path and
// query make no URL; bytes that are not UTF-8 are shown replaced. A request is represented in
// error logs, so what a client sent must not make this fail.
PyObject *request_repr(PyObject *self) {
    Ref value;
    Ref url = Ref::steal(PyObject_GetAttr(self, S.n_url));
    if (url) {
        value = Ref::steal(PyObject_GetAttr(url.get(), S.n_value));
    } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        value = Ref::borrow(as_request(self)->_path);
    }
    if (!value) return nullptr;
    Ref text;
    if (PyBytes_Check(value.get()))
        text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()),
                                               PyBytes_GET_SIZE(value.get()), "replace"));
    else
        text = Ref::steal(PyObject_CallMethod(value.get(), "decode", "ss", "utf8", "replace"));
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
    Ref content = Ref::borrow(as_message(self)->content);
    return dispose_content_object(content.get());
}

// What reset() does with each field (the last column of QM_REQUEST_FIELDS). Each phase is a type
// of its own, so that every pass of reset() compiles to just the stores it makes.
namespace field_reset {

enum class Phase { Early, Late, Last, Keep };

template <Phase kPhase>
struct Rule {
    PyObject *value;  // borrowed; what Early stores (Late and Last store None)
};

inline Rule<Phase::Early> Early(PyObject *value) { return {value}; }
inline constexpr Rule<Phase::Late> Late{nullptr};
inline constexpr Rule<Phase::Last> Last{nullptr};
inline constexpr Rule<Phase::Keep> Keep{nullptr};

template <Phase kPass, Phase kPhase>
inline void store(PyObject *&field, Rule<kPhase> rule) {
    if constexpr (kPass == kPhase) set_field(field, kPhase == Phase::Early ? rule.value : Py_None);
}

}  // namespace field_reset

int request_reset_impl(PyObject *self) {
    RequestObject *r = as_request(self);
#define QM_RESET_STORE(name, kind, type, reset) field_reset::store<kPass>(r->name, field_reset::reset);
    auto store = [&]<field_reset::Phase kPass>() { QM_REQUEST_FIELDS(QM_RESET_STORE) };
#undef QM_RESET_STORE
    store.template operator()<field_reset::Phase::Early>();
    // Through the `identity` setter, which a subclass may have replaced; the built-in one stores
    // `_user`, which the next step clears anyway.
    if (!Py_IS_TYPE(self, &RequestType) && PyObject_SetAttr(self, S.n_identity, Py_None) < 0)
        return -1;
    // The files of a parsed form (a dict of parts) go with it: nothing of an upload outlives the
    // request it came with.
    Ref form = Ref::borrow(r->base._form_data);
    store.template operator()<field_reset::Phase::Late>();
    for (PyObject **f : {&r->base.context, &r->base._form_data, &r->base._headers})
        set_field(*f, Py_None);
    if (PyDict_Check(form.get()) && forms::close_form_files(form.get()) < 0) return -1;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return -1;
    set_field(r->base._raw_headers, std::move(list));
    store.template operator()<field_reset::Phase::Last>();
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
     "incoming($type, method, path, query, headers)\n--\n\nA request of this class from the server's method, raw path, raw query and header list."},
    {"get_cookie", fastcall(py_request_get_cookie),
     METH_FASTCALL | METH_KEYWORDS, "get_cookie($self, name)\n--\n\nThe value of the request cookie `name`, or None."},
    {"set_cookie", fastcall(py_request_set_cookie),
     METH_FASTCALL | METH_KEYWORDS, "set_cookie($self, name, value)\n--\n\nAdds a cookie to the request's single Cookie header."},
    {"expect_100_continue", py_expect_100_continue, METH_NOARGS,
     "Whether the client sent Expect: 100-continue."},
    {"dispose", py_dispose, METH_NOARGS,
     "Closes the files of a parsed form and disposes of the content."},
    {"reset", py_reset, METH_NOARGS, "Clears the request for reuse."},
    {"scratchpad_arena_stats", py_scratchpad_arena_stats, METH_NOARGS,
     "(capacity, offset, initialised) of the request's scratch arena."},
};

// The attributes of the fields, then the derived properties. Made once the module's state is
// bound (the URL type comes from it); they live as long as the process, as a type's must.
PyGetSetDef *request_getset() {
#define QM_FIELD_RULE(name, rule, type, reset) Field{offsetof(Obj, name), FieldKind::rule, type},
    static Field rules[] = {QM_REQUEST_FIELDS(QM_FIELD_RULE)};
#undef QM_FIELD_RULE
#define QM_FIELD_NAME(name, ...) #name,
    static const char *const names[] = {QM_REQUEST_FIELDS(QM_FIELD_NAME)};
#undef QM_FIELD_NAME
    auto *table = new std::vector<PyGetSetDef>();
    for (size_t i = 0; i < std::size(rules); ++i)
        table->push_back({names[i], field_get, field_set, nullptr, &rules[i]});
    for (const PyGetSetDef &p : request_properties()) table->push_back(p);
    table->push_back(PyGetSetDef{nullptr});
    return table->data();
}

}  // namespace

PyTypeObject RequestType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.messages.Request",
    .tp_basicsize = sizeof(RequestObject),
    .tp_dealloc = request_dealloc,
    .tp_repr = request_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Request(method, url, headers)\n--\n\nAn incoming HTTP request.",
    .tp_traverse = request_traverse,
    .tp_clear = request_clear,
    .tp_base = &MessageType,
    .tp_init = request_init,
    .tp_new = request_new,
    .tp_vectorcall = request_vectorcall,
};

int ready_request_type() {
    RequestType.tp_getset = request_getset();
    RequestType.tp_methods = join_methods({kRequestMethods, request_coroutine_methods()});
    return PyType_Ready(&RequestType);
}

}  // namespace qm::messages
