// _RequestRouter: the native base of the application's router. `get_match(request)` looks the
// request up in `_engine` (match_request) and, when no route matches, answers with
// `self._unmatched(request)`, which a subclass defines (here: None). Request handling reaches
// `get_match` through the C-level table, without a method lookup or a bound call per request,
// while a subclass's or an instance's own `get_match` stays in charge.
#include "common/args.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "routing/state.hpp"

namespace qm::routing {

namespace {

using Obj = RequestRouterObject;

Obj *as_request_router(PyObject *o) { return reinterpret_cast<Obj *>(o); }

PyObject *get_match_impl(PyObject *self, PyObject *request) {
    Ref engine = Ref::borrow(as_request_router(self)->_engine);
    PyObject *found = match_request(engine.get(), request);
    if (found != Py_None) return found;
    Py_DECREF(found);
    return PyObject_CallMethodOneArg(self, S.n__unmatched, request);
}

OverrideSite get_match_site{"get_match"};

}  // namespace

PyObject *request_router_get_match(PyObject *self, PyObject *request) {
    return dispatch_object(Py_IS_TYPE(self, &RequestRouterType), get_match_site, &RequestRouterType,
                           Returns{}, get_match_impl, self, request);
}

namespace {

PyObject *request_router_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self) as_request_router(self)->_engine = Py_NewRef(Py_None);
    return self;
}

int request_router_init(PyObject *, PyObject *args, PyObject *kwds) {
    return check_no_init_args("__init__", args, kwds) ? 0 : -1;
}

int request_router_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_request_router(self)->_engine);
    return 0;
}

int request_router_clear(PyObject *self) {
    set_field(as_request_router(self)->_engine, Py_None);
    return 0;
}

void request_router_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_request_router(self)->_engine);
    // A static type: for instances of host subclasses, subtype_dealloc releases the class.
    Py_TYPE(self)->tp_free(self);
}

PyObject *py_get_match(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    static const char *const names[] = {"request"};
    PyObject *values[] = {nullptr};
    if (!parse_args("get_match", args, nargs, kwnames, names, 1, values)) return nullptr;
    return get_match_impl(self, values[0]);
}

PyObject *py_unmatched(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"request"};
    PyObject *values[] = {nullptr};
    if (!parse_args("_unmatched", args, nargs, kwnames, names, 1, values)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef request_router_methods[] = {
    {"get_match", fastcall(py_get_match), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_match($self, request)\n--\n\n"
               "The RouteMatch for the request's method and path in `_engine`; when no route "
               "matches, `self._unmatched(request)`.")},
    {"_unmatched", fastcall(py_unmatched), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_unmatched($self, request)\n--\n\n"
               "The answer for a request that no route matches: None here.")},
    {nullptr},
};

const Field kEngine{offsetof(Obj, _engine), FieldKind::Any, nullptr};

PyGetSetDef request_router_getset[] = {
    {"_engine", field_get, field_set, nullptr, const_cast<Field *>(&kEngine)},
    {nullptr},
};

}  // namespace

PyTypeObject RequestRouterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.routing._RequestRouter",
    .tp_basicsize = sizeof(Obj),
    .tp_dealloc = request_router_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("_RequestRouter()\n--\n\n"
                        "Finds a request's route in `_engine`: the application router's base."),
    .tp_traverse = request_router_traverse,
    .tp_clear = request_router_clear,
    .tp_methods = request_router_methods,
    .tp_getset = request_router_getset,
    .tp_init = request_router_init,
    .tp_new = request_router_new,
};

int add_request_router_type(PyObject *module) {
    if (PyType_Ready(&RequestRouterType) < 0) return -1;
    return PyModule_AddType(module, &RequestRouterType);
}

}  // namespace qm::routing
