// RouteMatch: a matched route with its handler, pattern and decoded parameter values.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/ref.hpp"
#include "common/slot_attr.hpp"
#include "common/type_call.hpp"
#include "routing/state.hpp"
#include "routing/unquote.hpp"

namespace qm::routing {

namespace {

using Obj = RouteMatchObject;

Obj *as_match(PyObject *o) { return reinterpret_cast<Obj *>(o); }

// One value as RouteMatch keeps it: bytes are raw path bytes, decoded (strictly) and unquoted;
// str has been decoded by whoever produced it (the tree percent-decodes every value it captures),
// so it is kept as it is. Unquoting it again would turn "%2541" into "A" and "%252e%252e" into
// "..", past any check the application made on the value it was meant to see.
PyObject *decode_value(PyObject *value) {
    if (PyBytes_Check(value)) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value),
                                                   PyBytes_GET_SIZE(value), "strict"));
        if (!text) return nullptr;
        return unquote_str(text.get());
    }
    return Py_NewRef(value);
}

// Whether the values hold bytes, which are decoded.
bool has_bytes(PyObject *values) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &pos, &key, &value))
        if (PyBytes_Check(value)) return true;
    return false;
}

// `fresh` values are held by no one else: when nothing in them needs decoding, the copy would
// equal them, and they are kept instead.
int setup(PyObject *self, PyObject *route, PyObject *values, bool fresh = false) {
    if (!check_arg(values, &PyDict_Type, "values")) return -1;
    Obj *m = as_match(self);
    set_field(m->route, route);
    // The routes of one application are of one class, mostly with __slots__.
    static SlotAttr route_handler{"handler"}, route_pattern{"pattern"};
    PyObject *handler = route_handler.get(route);
    if (!handler) return -1;
    set_field(m->handler, Ref::steal(handler));
    PyObject *pattern = route_pattern.get(route);
    if (!pattern) return -1;
    set_field(m->pattern, Ref::steal(pattern));
    if (values == Py_None || PyDict_GET_SIZE(values) == 0) {
        set_field(m->_values, Py_None);
        return 0;
    }
    if (fresh && !has_bytes(values)) {
        set_field(m->_values, values);
        return 0;
    }
    Ref decoded = Ref::steal(PyDict_New());
    if (!decoded) return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(values, &pos, &key, &value)) {
        // Held while a replaced unquote may run host code that changes the caller's dict.
        Ref k = Ref::borrow(key);
        Ref v = Ref::steal(decode_value(value));
        if (!v || PyDict_SetItem(decoded.get(), k.get(), v.get()) < 0) return -1;
    }
    set_field(m->_values, std::move(decoded));
    return 0;
}

PyObject *alloc(PyTypeObject *type) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Obj *m = as_match(self);
    m->handler = Py_NewRef(Py_None);
    m->pattern = Py_NewRef(Py_None);
    m->_values = Py_NewRef(Py_None);
    m->route = Py_NewRef(Py_None);
    return self;
}

PyObject *match_new(PyTypeObject *type, PyObject *, PyObject *) { return alloc(type); }

int match_init(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *const names[] = {"route", "values"};
    PyObject *values[] = {nullptr, Py_None};
    if (!parse_init_args("__init__", args, kwds, names, 1, values)) return -1;
    return setup(self, values[0], values[1]);
}

// The request path builds one of these per request: skip the argument tuple and dict.
PyObject *match_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *t = reinterpret_cast<PyTypeObject *>(type);
    if (t != &RouteMatchType) {
        // Not reached for host subclasses (they do not inherit this slot); kept for safety.
        return call_type(type, args, PyVectorcall_NARGS(nargsf), kwnames);
    }
    static const char *const names[] = {"route", "values"};
    PyObject *values[] = {nullptr, Py_None};
    if (!parse_args("__init__", args, PyVectorcall_NARGS(nargsf), kwnames, names, 1, values))
        return nullptr;
    return new_route_match(values[0], values[1]);
}

int match_traverse(PyObject *self, visitproc visit, void *arg) {
    Obj *m = as_match(self);
    Py_VISIT(m->handler);
    Py_VISIT(m->pattern);
    Py_VISIT(m->_values);
    Py_VISIT(m->route);
    return 0;
}

int match_clear(PyObject *self) {
    Obj *m = as_match(self);
    set_field(m->handler, Py_None);
    set_field(m->pattern, Py_None);
    set_field(m->_values, Py_None);
    set_field(m->route, Py_None);
    return 0;
}

void match_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Obj *m = as_match(self);
    Py_CLEAR(m->handler);
    Py_CLEAR(m->pattern);
    Py_CLEAR(m->_values);
    Py_CLEAR(m->route);
    // A static type: for instances of host subclasses, subtype_dealloc releases the class.
    Py_TYPE(self)->tp_free(self);
}

PyObject *match_repr(PyObject *self) {
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty) return nullptr;
    Ref text = Ref::steal(PyObject_Format(as_match(self)->pattern, empty.get()));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("<RouteMatch %U>", text.get());
}

PyObject *get_values(PyObject *self, void *) { return Py_NewRef(as_match(self)->_values); }

const Field kHandler{offsetof(Obj, handler), FieldKind::Any, nullptr};
const Field kPattern{offsetof(Obj, pattern), FieldKind::Any, nullptr};
const Field kValues{offsetof(Obj, _values), FieldKind::Exact, &PyDict_Type};
const Field kRoute{offsetof(Obj, route), FieldKind::Any, nullptr};

PyGetSetDef match_getset[] = {
    {"handler", field_get, field_set, nullptr, const_cast<Field *>(&kHandler)},
    {"pattern", field_get, field_set, nullptr, const_cast<Field *>(&kPattern)},
    {"_values", field_get, field_set, nullptr, const_cast<Field *>(&kValues)},
    {"route", field_get, field_set, nullptr, const_cast<Field *>(&kRoute)},
    {"values", get_values, nullptr, PyDoc_STR("The decoded parameter values, or None."), nullptr},
    {nullptr},
};

}  // namespace

PyObject *new_route_match(PyObject *route, PyObject *values) {
    Ref self = Ref::steal(alloc(&RouteMatchType));
    if (!self || setup(self.get(), route, values) < 0) return nullptr;
    return self.release();
}

PyObject *found_route_match(Found &found) {
    if (PyObject *answer = found.answer.get()) {
        // An override's answer: RouteMatch(*answer), with its errors.
        if (PyTuple_CheckExact(answer) && PyTuple_GET_SIZE(answer) == 2)
            return new_route_match(PyTuple_GET_ITEM(answer, 0), PyTuple_GET_ITEM(answer, 1));
        Ref args = Ref::steal(PySequence_Tuple(answer));
        if (!args) return nullptr;
        return PyObject_Call(reinterpret_cast<PyObject *>(&RouteMatchType), args.get(), nullptr);
    }
    Ref self = Ref::steal(alloc(&RouteMatchType));
    if (!self || setup(self.get(), found.route.get(), found.values.get(), found.fresh) < 0)
        return nullptr;
    return self.release();
}

PyTypeObject RouteMatchType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.routing.RouteMatch",
    .tp_basicsize = sizeof(Obj),
    .tp_dealloc = match_dealloc,
    .tp_repr = match_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("RouteMatch(route, values=None)\n--\n\n"
                        "A matched route, its handler and pattern, and its parameter values."),
    .tp_traverse = match_traverse,
    .tp_clear = match_clear,
    .tp_getset = match_getset,
    .tp_init = match_init,
    .tp_new = match_new,
    .tp_vectorcall = match_vectorcall,
};

int add_route_match_type(PyObject *module) {
    if (PyType_Ready(&RouteMatchType) < 0) return -1;
    return PyModule_AddType(module, &RouteMatchType);
}

}  // namespace qm::routing
