// CythonRadixRouter: one RadixTree per HTTP method.

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "routing/key_index.hpp"
#include "routing/state.hpp"

namespace qm::routing {

namespace {

using Obj = CythonRadixRouterObject;

Obj *as_router(PyObject *o) { return reinterpret_cast<Obj *>(o); }

inline bool is_small_letter(char c) { return static_cast<unsigned char>(c - 'a') < 26; }

// The copy of `upper_method`, whose first small letter is at `i`.
[[gnu::noinline]] PyObject *upper_copy(PyObject *method, Py_ssize_t i, Ref &made) {
    const Py_ssize_t n = PyBytes_GET_SIZE(method);
    made = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(method), n));
    if (!made) return nullptr;
    char *u = PyBytes_AS_STRING(made.get());
    for (; i < n; ++i)
        if (is_small_letter(u[i])) u[i] = static_cast<char>(u[i] - 32);
    return made.get();
}

// The method upper-cased (ASCII): `method` itself, or a new bytes object kept in `*made`; null
// on error. Servers send upper-case methods, so the common case allocates nothing.
inline PyObject *upper_method(PyObject *method, Ref &made) {
    const char *s = PyBytes_AS_STRING(method);
    const Py_ssize_t n = PyBytes_GET_SIZE(method);
    Py_ssize_t i = 0;
    while (i < n && !is_small_letter(s[i])) ++i;
    return i == n ? method : upper_copy(method, i, made);
}

int check_tree(PyObject *tree) {
    if (tree != Py_None && is_tree(tree)) return 0;
    return cannot_convert(tree, &RadixTreeType);
}

int add_route_impl(PyObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                   PyObject *param_names) {
    if (!require_bytes(method, "method") || !require_bytes(pattern, "pattern") ||
        !check_arg(param_names, &PyList_Type, "param_names"))
        return -1;
    Ref upper;
    PyObject *m = upper_method(method, upper);
    if (!m) return -1;
    Ref trees = Ref::borrow(as_router(self)->trees);
    if (!require_dict(trees.get())) return -1;
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(trees.get(), m, &found) < 0) return -1;
    Ref tree = Ref::steal(found);
    if (!tree) {
        tree = Ref::steal(new_tree());
        if (!tree || PyDict_SetItem(trees.get(), m, tree.get()) < 0) return -1;
    }
    if (check_tree(tree.get()) < 0) return -1;
    return tree_insert(tree.get(), pattern, route, param_names);
}

// `trees[method]` as a new reference in `*found` (null when absent), where the index cannot
// answer (keys of other types, or no index); 0, or -1 with an error set. A router holds a handful
// of methods, and the request's method is seldom the very object that was registered: comparing
// the few keys beats hashing and the generic comparison the dict's probe would make. An exact
// bytes key equal to the method is what the dict's lookup finds too (no other key can equal it);
// without one, keys of other types take the dict's own lookup.
int find_tree(PyObject *trees, PyObject *method, PyObject **found) {
    const char *text = PyBytes_AS_STRING(method);
    const Py_ssize_t n = PyBytes_GET_SIZE(method);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool other_keys = false;
    while (PyDict_Next(trees, &pos, &key, &value)) {
        if (!PyBytes_CheckExact(key)) {
            other_keys = true;
        } else if (key == method || (PyBytes_GET_SIZE(key) == n &&
                                     same_bytes(PyBytes_AS_STRING(key), text, n))) {
            *found = Py_NewRef(value);
            return 0;
        }
    }
    if (other_keys) {
        // Held while looked up in: a key's comparison may run host code that replaces it.
        Ref held = Ref::borrow(trees);
        return PyDict_GetItemRef(held.get(), method, found);
    }
    *found = nullptr;
    return 0;
}

PyObject *get_match_impl(PyObject *self, PyObject *method, PyObject *path) {
    Found out;
    return lookup_answer(router_find(self, method, path, out), out);
}

OverrideSite add_route_site{"add_route"};
OverrideSite get_match_site{"get_match"};
OverrideSite freeze_site{"freeze"};

}  // namespace

int router_find(PyObject *self, PyObject *method, PyObject *path, Found &out) {
    if (!require_bytes(method, "method") || !require_bytes(path, "path")) return -1;
    Obj *router = as_router(self);
    PyObject *trees = router->trees;
    if (!PyDict_CheckExact(trees)) return 0;
    Ref upper;
    PyObject *m = upper_method(method, upper);
    if (!m) return -1;
    PyObject *tree = nullptr;
    Ref owned;
    const int found = find_key_or_ask(&router->tree_index, trees, KeyCase::Exact,
                                      PyBytes_AS_STRING(m), PyBytes_GET_SIZE(m), &tree, owned,
                                      [&](PyObject **value) { return find_tree(trees, m, value); });
    if (found <= 0) return found;
    if (tree == Py_None) return 0;
    if (check_tree(tree) < 0) return -1;
    // The built-in tree at once, borrowed (tree_find holds what it reads after host code may
    // have run); a subclass's through its dispatch, which runs host code.
    if (Py_IS_TYPE(tree, &RadixTreeType)) return tree_find(tree, path, out);
    Ref held = Ref::borrow(tree);
    return tree_lookup(tree, path, out);
}

int router_add_route(PyObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names) {
    return dispatch_void(Py_IS_TYPE(self, &CythonRadixRouterType), add_route_site,
                         &CythonRadixRouterType, add_route_impl, self, method, pattern, route,
                         param_names);
}

PyObject *router_get_match(PyObject *self, PyObject *method, PyObject *path) {
    return dispatch_object(Py_IS_TYPE(self, &CythonRadixRouterType), get_match_site,
                           &CythonRadixRouterType, Returns{&PyTuple_Type}, get_match_impl, self,
                           method, path);
}

int router_freeze(PyObject *self) {
    // The built-in router has nothing to prepare; only an override does any work.
    return dispatch_void(Py_IS_TYPE(self, &CythonRadixRouterType), freeze_site,
                         &CythonRadixRouterType, [](PyObject *) { return 0; }, self);
}

namespace {

int reset(Obj *self) {
    Ref trees = Ref::steal(PyDict_New());
    if (!trees) return -1;
    set_field(self->trees, std::move(trees));
    return 0;
}

PyObject *router_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_router(self)->trees = Py_NewRef(Py_None);
    if (reset(as_router(self)) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int router_init(PyObject *self, PyObject *args, PyObject *kwds) {
    if (!check_no_init_args("__init__", args, kwds)) return -1;
    return reset(as_router(self));
}

int router_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_router(self)->trees);
    return 0;
}

int router_clear(PyObject *self) {
    set_field(as_router(self)->trees, Py_None);
    free_key_index(&as_router(self)->tree_index);
    return 0;
}

void router_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_router(self)->trees);
    free_key_index(&as_router(self)->tree_index);
    // A static type: for instances of host subclasses, subtype_dealloc releases the class.
    Py_TYPE(self)->tp_free(self);
}

PyObject *py_add_route(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"method", "pattern", "route", "param_names"};
    PyObject *values[] = {nullptr, nullptr, nullptr, Py_None};
    if (!parse_args("add_route", args, nargs, kwnames, names, 3, values)) return nullptr;
    if (add_route_impl(self, values[0], values[1], values[2], values[3]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_get_match(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 2 && !kwnames) return get_match_impl(self, args[0], args[1]);
    static const char *const names[] = {"method", "path"};
    PyObject *values[] = {nullptr, nullptr};
    if (!parse_args("get_match", args, nargs, kwnames, names, 2, values)) return nullptr;
    return get_match_impl(self, values[0], values[1]);
}

PyObject *py_freeze(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    if (!check_no_args("freeze", nargs, kwnames)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef router_methods[] = {
    {"add_route", fastcall(py_add_route),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("add_route($self, method, pattern, route, param_names=None)\n--\n\n"
               "Registers `route` for `pattern` under the upper-cased `method`.")},
    {"get_match", fastcall(py_get_match),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get_match($self, method, path)\n--\n\n"
               "(route, params) for `path` among the routes of `method`, or None.")},
    {"freeze", fastcall(py_freeze),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("freeze($self, /)\n--\n\nAnnounces the end of registration.")},
    {nullptr},
};

const Field kTrees{offsetof(Obj, trees), FieldKind::Exact, &PyDict_Type};

PyGetSetDef router_getset[] = {
    {"trees", field_get, field_set, nullptr, const_cast<Field *>(&kTrees)},
    {nullptr},
};

}  // namespace

PyTypeObject CythonRadixRouterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.routing.CythonRadixRouter",
    .tp_basicsize = sizeof(Obj),
    .tp_dealloc = router_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("CythonRadixRouter()\n--\n\nOne RadixTree per HTTP method."),
    .tp_traverse = router_traverse,
    .tp_clear = router_clear,
    .tp_methods = router_methods,
    .tp_getset = router_getset,
    .tp_init = router_init,
    .tp_new = router_new,
};

int add_router_type(PyObject *module) {
    if (PyType_Ready(&CythonRadixRouterType) < 0) return -1;
    return PyModule_AddType(module, &CythonRadixRouterType);
}

}  // namespace qm::routing
