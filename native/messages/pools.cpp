// Per-thread free lists of requests and responses.
//
// The lists live on `_TLS`, an instance of `_ThreadLocalFreelist` (a `threading.local`), so each
// thread has its own pair and an object released in one thread is only handed out again there.
// `_TLS` is looked up in the module's globals on every call, so replacing it replaces the pools.
// A list holds at most 512 objects; acquiring takes the last one.
#include "messages/pools.hpp"

#include <Python.h>

#include <cstdint>

#include "common/args.hpp"
#include "common/capi.hpp"
#include "common/dict_changes.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "messages/message.hpp"
#include "messages/request.hpp"
#include "messages/response.hpp"
#include "messages/state.hpp"

namespace qm::messages {
namespace {

constexpr Py_ssize_t kMaxFreelistCapacity = 512;

PyTypeObject *freelist_type = nullptr;  // _ThreadLocalFreelist, owned by the module

// Reading the lists through `_TLS` costs a module-dict lookup and a `threading.local` attribute
// lookup each (the thread's dict of the local found first): most of what a pool call does. So
// each thread remembers what it read, and uses it while nothing the reading went through can
// have changed: the module's globals and the thread's dict of `_TLS` are watched (any change to
// either, such as `_TLS` replaced or `_TLS.requests` assigned, moves the count), and
// `_ThreadLocalFreelist` is the class it was, unmodified (its version tag changes with any change
// to the class, and differs for another class assigned to `__class__`). What the pools do is the
// same as reading the names on each call.
using Changes = DictChanges<struct PoolsTag>;

struct ThreadPools {
    uint64_t count = 0;             // Changes::count() when read; 0: never
    PyObject *tls = nullptr;        // borrowed: the module's globals hold it while `count` holds
    unsigned int type_version = 0;  // of Py_TYPE(tls) when read
    PyObject *lists[2] = {};        // requests, responses: borrowed from the thread's dict
};

thread_local ThreadPools t_pools;

enum Which { Requests = 0, Responses = 1 };

PyObject *pool_name(Which which) { return which == Requests ? S.n_requests : S.n_responses; }

// _ThreadLocalFreelist.__init__, run once in each thread that touches `_TLS`.
int freelist_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        arg_count_error("__init__", Arity::Exactly, 0, PyTuple_GET_SIZE(args));
        return -1;
    }
    for (PyObject *name : {S.n_requests, S.n_responses}) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyObject_SetAttr(self, name, list.get()) < 0) return -1;
    }
    return 0;
}

PyObject *make_freelist_type() {
    Ref local = Ref::steal(import_attr("threading", "local"));
    if (!local) return nullptr;
    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void *>(freelist_init)},
        {Py_tp_doc, const_cast<char *>("The calling thread's free lists of requests and responses.")},
        {0, nullptr},
    };
    PyType_Spec type_shape = {
        .name = "quenmark.messages._ThreadLocalFreelist",
        .basicsize = 0,
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
        .slots = slots,
    };
    return PyType_FromSpecWithBases(&type_shape, local.get());
}

// `_TLS.<name>`: a list, or None when the attribute is missing or None. Null with an error set.
Ref pool_attr(PyObject *tls, PyObject *name) {
    PyObject *list = nullptr;
    if (PyObject_GetOptionalAttr(tls, name, &list) < 0) return {};
    Ref pool = list ? Ref::steal(list) : Ref::none();
    if (!check_value(pool.get(), &PyList_Type)) return {};
    return pool;
}

// Remembers the lists of `_TLS` for this thread when they are the values of its attribute dict
// (what reading them gives as long as the dict and the class stay as they are).
void remember(PyObject *tls) {
    if (!Changes::available() || Py_TYPE(tls) != freelist_type ||
        !PyUnstable_Type_AssignVersionTag(freelist_type))
        return;
    const uint64_t count = Changes::count();
    ThreadPools read{count, tls, freelist_type->tp_version_tag, {}};
    Ref dict = Ref::steal(PyObject_GetAttr(tls, S.n___dict__));
    if (!dict || !PyDict_CheckExact(dict.get()) || Changes::watch(dict.get()) < 0) {
        PyErr_Clear();
        return;
    }
    for (Which which : {Requests, Responses}) {
        PyObject *name = pool_name(which);
        PyObject *stored = nullptr, *got = nullptr;
        const bool same = PyDict_GetItemRef(dict.get(), name, &stored) > 0 &&
                          PyObject_GetOptionalAttr(tls, name, &got) > 0 && got == stored &&
                          PyList_CheckExact(got);
        Py_XDECREF(stored);
        Py_XDECREF(got);
        if (!same) {
            PyErr_Clear();
            return;
        }
        read.lists[which] = got;  // the dict still holds it
    }
    // Nothing may have run in between, but the reads above would have moved the count if it did.
    if (Changes::count() == count) t_pools = read;
}

// The calling thread's list (requests or responses) of `_TLS`. When it is None or missing, both
// lists are made anew. Null with an error set.
Ref thread_pool(Which which) {
    const ThreadPools &known = t_pools;
    if (known.count == Changes::count() && Py_TYPE(known.tls)->tp_version_tag == known.type_version)
        return Ref::borrow(known.lists[which]);
    PyObject *name = pool_name(which);
    Ref tls = Ref::steal(module_global(S.n__TLS));
    if (!tls) return {};
    Ref pool = pool_attr(tls.get(), name);
    if (!pool) return {};
    if (pool.get() == Py_None) {
        for (PyObject *each : {S.n_requests, S.n_responses}) {
            Ref fresh = Ref::steal(PyList_New(0));
            if (!fresh || PyObject_SetAttr(tls.get(), each, fresh.get()) < 0) return {};
        }
        pool = pool_attr(tls.get(), name);
        if (!pool) return {};
        if (pool.get() == Py_None) {
            expected_type("list", Py_None);  // a `_TLS` that keeps giving None
            return {};
        }
    }
    remember(tls.get());
    return pool;
}

// Removes and returns the last object of a non-empty pool. The list's reference becomes the
// caller's, and the list simply ends one item earlier, as list.pop() leaves it (its storage is
// kept for the next release).
Ref pop_last(PyObject *pool) {
    const Py_ssize_t n = PyList_GET_SIZE(pool);
    Ref item = Ref::steal(PyList_GET_ITEM(pool, n - 1));
    Py_SET_SIZE(pool, n - 1);
    return item;
}

// Whether `obj` is in the pool. Only an object in the state `reset` leaves it in can be there,
// so others are answered without a look at the pool, which may hold hundreds of objects.
bool in_pool(PyObject *pool, PyObject *obj, bool looks_reset) {
    if (!looks_reset) return false;
    for (Py_ssize_t i = PyList_GET_SIZE(pool); i-- > 0;)
        if (PyList_GET_ITEM(pool, i) == obj) return true;
    return false;
}

bool request_looks_reset(PyObject *obj) {
    RequestObject *r = as_request(obj);
    return r->scope == Py_None && r->method == S.empty_str && r->_path == S.empty_bytes;
}

bool response_looks_reset(PyObject *obj) {
    ResponseObject *r = as_response(obj);
    return r->status == 200 && r->base.content == Py_None && PyList_Check(r->base._raw_headers) &&
           PyList_GET_SIZE(r->base._raw_headers) == 0;
}

// Resets `obj` with `reset` and appends it to the pool `name`, unless the pool is full. An object
// found in the pool already is refused: kept twice, it would be handed to two owners at once.
int release_to(Which which, PyObject *obj, int (*reset)(PyObject *), bool looks_reset,
               const char *what) {
    Ref pool = thread_pool(which);
    if (!pool) return -1;
    if (PyList_GET_SIZE(pool.get()) >= kMaxFreelistCapacity) return 0;
    if (in_pool(pool.get(), obj, looks_reset)) {
        PyErr_Format(PyExc_ValueError, "This %s was released already", what);
        return -1;
    }
    Ref held = Ref::borrow(obj);
    if (reset(obj) < 0) return -1;
    return PyList_Append(pool.get(), obj);
}

bool acquire_args(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers) {
    return check_arg(method, &PyUnicode_Type, "method") && check_arg(path, &PyBytes_Type, "path") &&
           check_arg(raw_query, &PyBytes_Type, "raw_query") &&
           check_arg(headers, &PyList_Type, "headers");
}

// A request from the pool, or a new one, holding `raw_headers` as its pair list.
PyObject *request_with(PyObject *method, PyObject *path, PyObject *raw_query, Ref raw_headers,
                       PyObject *scope) {
    Ref interned = Ref::steal(intern_method_str(method));
    if (!interned) return nullptr;
    Ref pool = thread_pool(Requests);
    if (!pool) return nullptr;
    if (PyList_GET_SIZE(pool.get()) == 0) {
        PyObject *args[] = {reinterpret_cast<PyObject *>(&RequestType), interned.get(), path,
                            raw_query, raw_headers.get()};
        Ref request = Ref::steal(PyObject_VectorcallMethod(
            S.n_incoming, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!request) return nullptr;
        set_field(as_request(request.get())->scope, scope);
        return request.release();
    }
    Ref request = pop_last(pool.get());
    if (!request) return nullptr;
    if (!PyObject_TypeCheck(request.get(), &RequestType))
        return cannot_convert(request.get(), &RequestType);
    // Everything else was cleared by `reset` when the request was released.
    RequestObject *r = as_request(request.get());
    set_field(r->method, std::move(interned));
    set_field(r->_path, path);
    set_field(r->_raw_query, raw_query);
    set_field(r->base._raw_headers, std::move(raw_headers));
    set_field(r->scope, scope);
    set_field(r->base.content, Py_None);
    set_field(r->_url, Py_None);
    set_field(r->route_values, Py_None);
    return request.release();
}

}  // namespace

PyObject *acquire_request(PyObject *method, PyObject *path, PyObject *raw_query, PyObject *headers,
                          PyObject *scope, int) {
    if (!acquire_args(method, path, raw_query, headers)) return nullptr;
    Ref raw_headers = Ref::steal(normalise_headers(headers));
    if (!raw_headers) return nullptr;
    return request_with(method, path, raw_query, std::move(raw_headers), scope);
}

PyObject *acquire_request_taking(PyObject *method, PyObject *path, PyObject *raw_query,
                                 PyObject *headers, PyObject *scope) {
    if (!acquire_args(method, path, raw_query, headers)) return nullptr;
    return request_with(method, path, raw_query, Ref::borrow(headers), scope);
}

PyObject *acquire_response(int, const AcquireResponseArgs *optional) {
    int status = 200;
    PyObject *headers = Py_None, *content = Py_None;
    if (optional) {
        if (optional->given > 0) status = optional->status;
        if (optional->given > 1) headers = optional->headers;
        if (optional->given > 2) content = optional->content;
    }
    if (!check_arg(headers, &PyList_Type, "headers")) return nullptr;
    if (!instance_or_none(content, S.content_type))
        return arg_type_error("content", S.content_type->tp_name, content);
    Ref pool = thread_pool(Responses);
    if (!pool) return nullptr;
    if (PyList_GET_SIZE(pool.get()) == 0) {
        Ref code = Ref::steal(PyLong_FromLong(status));
        if (!code) return nullptr;
        PyObject *args[] = {code.get(), headers, content};
        return PyObject_Vectorcall(reinterpret_cast<PyObject *>(&ResponseType), args, 3, nullptr);
    }
    Ref response = pop_last(pool.get());
    if (!response) return nullptr;
    if (!PyObject_TypeCheck(response.get(), &ResponseType))
        return cannot_convert(response.get(), &ResponseType);
    ResponseObject *r = as_response(response.get());
    r->status = status;
    // The caller's list itself, as given: a response's headers are written by the application.
    // Without one, the empty list `reset` left is kept when nothing else can have it.
    PyObject *left = r->base._raw_headers;
    const bool reusable = headers == Py_None && PyList_CheckExact(left) &&
                          PyList_GET_SIZE(left) == 0 && Py_REFCNT(left) == 1;
    if (!reusable) {
        Ref list = headers != Py_None ? Ref::borrow(headers) : Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        set_field(r->base._raw_headers, std::move(list));
    }
    set_field(r->base.content, content);
    return response.release();
}

int release_request(PyObject *request, int) {
    if (!PyObject_TypeCheck(request, &RequestType))
        return arg_type_error("request", RequestType.tp_name, request);
    return release_to(Requests, request, request_reset, request_looks_reset(request), "request");
}

int release_response(PyObject *response, int) {
    if (!PyObject_TypeCheck(response, &ResponseType))
        return arg_type_error("response", ResponseType.tp_name, response);
    return release_to(Responses, response, response_reset, response_looks_reset(response),
                      "response");
}

namespace {

PyObject *py_acquire_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    static const char *const names[] = {"method", "path", "raw_query", "headers", "scope"};
    PyObject *a[5] = {};
    if (!parse_args("acquire_request", args, nargs, kwnames, names, 5, a)) return nullptr;
    return acquire_request(a[0], a[1], a[2], a[3], a[4], 0);
}

PyObject *py_acquire_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    static const char *const names[] = {"status", "headers", "content"};
    PyObject *a[3] = {nullptr, Py_None, Py_None};
    if (!parse_args("acquire_response", args, nargs, kwnames, names, 0, a)) return nullptr;
    AcquireResponseArgs optional{3, 200, a[1], a[2]};
    if (a[0] && !to_status(a[0], optional.status)) return nullptr;
    return acquire_response(0, &optional);
}

PyObject *py_release_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    static const char *const names[] = {"request"};
    PyObject *a[1] = {};
    if (!parse_args("release_request", args, nargs, kwnames, names, 1, a)) return nullptr;
    return none_or_null(release_request(a[0], 0));
}

PyObject *py_release_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    static const char *const names[] = {"response"};
    PyObject *a[1] = {};
    if (!parse_args("release_response", args, nargs, kwnames, names, 1, a)) return nullptr;
    return none_or_null(release_response(a[0], 0));
}

const PyMethodDef kFunctions[] = {
    {"acquire_request", fastcall(py_acquire_request), METH_FASTCALL | METH_KEYWORDS,
     "acquire_request(method, path, raw_query, headers, scope)\n--\n\nA request from this thread's pool, or a new one, for the given method, path, query, "
     "headers and scope."},
    {"release_request", fastcall(py_release_request), METH_FASTCALL | METH_KEYWORDS,
     "release_request(request)\n--\n\nResets the request and keeps it for reuse in this thread (up to 512)."},
    {"acquire_response", fastcall(py_acquire_response), METH_FASTCALL | METH_KEYWORDS,
     "acquire_response(status=200, headers=None, content=None)\n--\n\nA response from this thread's pool, or a new one."},
    {"release_response", fastcall(py_release_response), METH_FASTCALL | METH_KEYWORDS,
     "release_response(response)\n--\n\nResets the response and keeps it for reuse in this thread (up to 512)."},
};

}  // namespace

std::span<const PyMethodDef> pool_functions() { return kFunctions; }

int init_pools(PyObject *module) {
    S.module_dict = Py_NewRef(PyModule_GetDict(module));
    Changes::init();
    if (Changes::available() && Changes::watch(S.module_dict) < 0) return -1;
    Ref type = Ref::steal(make_freelist_type());
    if (!type || PyModule_AddObjectRef(module, "_ThreadLocalFreelist", type.get()) < 0) return -1;
    freelist_type = reinterpret_cast<PyTypeObject *>(type.get());  // the module keeps it
    Ref tls = Ref::steal(PyObject_CallNoArgs(type.get()));
    if (!tls) return -1;
    return PyModule_AddObjectRef(module, "_TLS", tls.get());
}

}  // namespace qm::messages
