// RadixNode: one node of a segment tree. Every field is a public, typed attribute.
#include <cstddef>

#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/ref.hpp"
#include "routing/key_index.hpp"
#include "routing/state.hpp"

namespace qm::routing {

namespace {

using Obj = RadixNodeObject;

// Every object field of the node, in declared order.
PyObject *Obj::*const kObjectFields[] = {
    &Obj::segment,         &Obj::route,          &Obj::children,       &Obj::param_child,
    &Obj::param_name,      &Obj::param_names,    &Obj::param_validator, &Obj::wildcard_child,
    &Obj::wildcard_name,   &Obj::wildcard_suffix,
};

// Sets the fields to their initial values; `children` gets a new dict.
int reset(Obj *self, PyObject *segment) {
    Ref children = Ref::steal(PyDict_New());
    if (!children) return -1;
    for (auto field : kObjectFields) set_field(self->*field, Py_None);
    set_field(self->segment, segment);
    set_field(self->children, std::move(children));
    self->is_leaf = false;
    return 0;
}

PyObject *node_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Obj *node = as_node(self);
    for (auto field : kObjectFields) node->*field = Py_NewRef(Py_None);
    if (reset(node, S.empty_bytes) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int node_init(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *const names[] = {"segment"};
    PyObject *values[] = {S.empty_bytes};
    if (!parse_init_args("__init__", args, kwds, names, 0, values)) return -1;
    if (!check_arg(values[0], &PyBytes_Type, "segment")) return -1;
    return reset(as_node(self), values[0]);
}

int node_traverse(PyObject *self, visitproc visit, void *arg) {
    Obj *node = as_node(self);
    for (auto field : kObjectFields) Py_VISIT(node->*field);
    return 0;
}

int node_clear(PyObject *self) {
    // None rather than null: the tree code reads fields without null checks, and a finaliser run
    // during collection may still reach this node.
    Obj *node = as_node(self);
    for (auto field : kObjectFields) set_field(node->*field, Py_None);
    free_key_index(&node->child_index);
    return 0;
}

void node_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Obj *node = as_node(self);
    for (auto field : kObjectFields) Py_CLEAR(node->*field);
    free_key_index(&node->child_index);
    // A static type: for instances of host subclasses, subtype_dealloc releases the class.
    Py_TYPE(self)->tp_free(self);
}

#define QM_FIELD(member, kind, type) \
    Field { offsetof(Obj, member), FieldKind::kind, type }

const Field kSegment = QM_FIELD(segment, Exact, &PyBytes_Type);
const Field kRoute = QM_FIELD(route, Any, nullptr);
const Field kChildren = QM_FIELD(children, Exact, &PyDict_Type);
const Field kParamChild = QM_FIELD(param_child, Instance, &RadixNodeType);
const Field kParamName = QM_FIELD(param_name, Exact, &PyUnicode_Type);
const Field kParamNames = QM_FIELD(param_names, Exact, &PyList_Type);
const Field kParamValidator = QM_FIELD(param_validator, Any, nullptr);
const Field kWildcardChild = QM_FIELD(wildcard_child, Instance, &RadixNodeType);
const Field kWildcardName = QM_FIELD(wildcard_name, Exact, &PyUnicode_Type);
const Field kWildcardSuffix = QM_FIELD(wildcard_suffix, Exact, &PyBytes_Type);

#define QM_GETSET(name, field) \
    {name, field_get, field_set, nullptr, const_cast<Field *>(&field)}

PyGetSetDef node_getset[] = {
    QM_GETSET("segment", kSegment),
    QM_GETSET("route", kRoute),
    QM_GETSET("children", kChildren),
    QM_GETSET("param_child", kParamChild),
    QM_GETSET("param_name", kParamName),
    QM_GETSET("param_names", kParamNames),
    QM_GETSET("param_validator", kParamValidator),
    QM_GETSET("wildcard_child", kWildcardChild),
    QM_GETSET("wildcard_name", kWildcardName),
    QM_GETSET("wildcard_suffix", kWildcardSuffix),
    {"is_leaf", bool_field_get, bool_field_set, nullptr,
     reinterpret_cast<void *>(offsetof(Obj, is_leaf))},
    {nullptr},
};

}  // namespace

PyTypeObject RadixNodeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.routing.RadixNode",
    .tp_basicsize = sizeof(Obj),
    .tp_dealloc = node_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("RadixNode(segment=b'')\n--\n\nOne node of a routing segment tree."),
    .tp_traverse = node_traverse,
    .tp_clear = node_clear,
    .tp_getset = node_getset,
    .tp_init = node_init,
    .tp_new = node_new,
};

PyObject *new_node(PyObject *segment) {
    PyObject *node = node_new(&RadixNodeType, nullptr, nullptr);
    if (node) set_field(as_node(node)->segment, segment);
    return node;
}

int add_node_type(PyObject *module) {
    if (PyType_Ready(&RadixNodeType) < 0) return -1;
    return PyModule_AddType(module, &RadixNodeType);
}

}  // namespace qm::routing
