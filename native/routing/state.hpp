// What the module keeps for its hot paths: its own compiled patterns and unquote function (so a
// lookup can tell them apart from replacements put into the module's globals), interned names
// and the parameter keys of the first path positions.
#pragma once

#include <Python.h>

#include "common/errors.hpp"
#include "routing/routing_api.hpp"

namespace qm::routing {

extern PyTypeObject RadixNodeType;
extern PyTypeObject RadixTreeType;
extern PyTypeObject CythonRadixRouterType;
extern PyTypeObject RouteMatchType;

inline constexpr Py_ssize_t kCachedParamKeys = 64;

struct State {
    PyObject *globals = nullptr;   // the module's dict; looked up at call time where that matters
    PyObject *int_rx = nullptr;    // the objects bound to _INT_RX, _FLOAT_RX and _UUID_RX at import
    PyObject *float_rx = nullptr;
    PyObject *uuid_rx = nullptr;
    PyObject *unquote = nullptr;   // urllib.parse.unquote as bound to `unquote` at import

    PyObject *name_int_rx = nullptr;  // interned "_INT_RX", ...
    PyObject *name_float_rx = nullptr;
    PyObject *name_uuid_rx = nullptr;
    PyObject *name_unquote = nullptr;
    PyObject *name_param_names = nullptr;
    PyObject *name_handler = nullptr;
    PyObject *name_pattern = nullptr;
    PyObject *name_match = nullptr;
    PyObject *name_decode = nullptr;

    PyObject *str_tail = nullptr;   // "tail"
    PyObject *str_path = nullptr;   // "path"
    PyObject *str_utf8 = nullptr;   // "utf8"
    PyObject *str_empty = nullptr;  // ""
    PyObject *bytes_slash = nullptr;  // b"/"
    PyObject *bytes_empty = nullptr;  // b""
    PyObject *bytes_star = nullptr;   // b"*"
    PyObject *param_keys[kCachedParamKeys] = {};  // "_p_0", "_p_1", ...
};

extern State S;

// "_p_<index>": a new reference.
PyObject *param_key(Py_ssize_t index);

// A global of the module by interned name, as a new reference; NameError when it is missing.
PyObject *module_global(PyObject *name);

inline RadixNodeObject *as_node(PyObject *o) { return reinterpret_cast<RadixNodeObject *>(o); }
inline RadixTreeObject *as_tree(PyObject *o) { return reinterpret_cast<RadixTreeObject *>(o); }

inline bool is_node(PyObject *o) {
    return Py_IS_TYPE(o, &RadixNodeType) || PyObject_TypeCheck(o, &RadixNodeType);
}
inline bool is_tree(PyObject *o) {
    return Py_IS_TYPE(o, &RadixTreeType) || PyObject_TypeCheck(o, &RadixTreeType);
}

// A bytes argument that the algorithm cannot do without: None is refused like any other type.
inline bool require_bytes(PyObject *o, const char *arg) {
    if (PyBytes_CheckExact(o)) return true;
    arg_type_error(arg, "bytes", o);
    return false;
}

// A dict field that registration looks keys up in; its setter also takes None, which fails the
// way `key in None` would.
inline bool require_dict(PyObject *o) {
    if (PyDict_CheckExact(o)) return true;
    PyErr_Format(PyExc_TypeError, "argument of type '%.200s' is not a container or iterable",
                 Py_TYPE(o)->tp_name);
    return false;
}

// --- RadixNode (node.cpp) ---
// A new node for `segment` (bytes or None) with every field at its initial value.
PyObject *new_node(PyObject *segment);

// --- RadixTree (tree.cpp, match.cpp) ---
int tree_insert(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
int tree_insert_impl(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
PyObject *tree_parse_param_segment(PyObject *self, PyObject *seg);
PyObject *tree_match(PyObject *self, PyObject *path);
PyObject *tree_match_impl(PyObject *self, PyObject *path);
PyObject *tree_match_recursive(PyObject *self, PyObject *current, PyObject *segments,
                               Py_ssize_t index, PyObject *params);
PyObject *new_tree();

// --- CythonRadixRouter (router.cpp) ---
int router_add_route(PyObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names);
PyObject *router_get_match(PyObject *self, PyObject *method, PyObject *path);
int router_freeze(PyObject *self);

int add_node_type(PyObject *module);
int add_tree_type(PyObject *module);
int add_router_type(PyObject *module);
int add_route_match_type(PyObject *module);

}  // namespace qm::routing
