// The module's types, its state, and the helpers its source files share.
#pragma once

#include <Python.h>

#include "common/errors.hpp"
#include "common/module_state.hpp"
#include "common/ref.hpp"
#include "messages/messages_api.hpp"
#include "routing/routing_api.hpp"

namespace qm::routing {

extern PyTypeObject RadixNodeType;
extern PyTypeObject RadixTreeType;
extern PyTypeObject CythonRadixRouterType;
extern PyTypeObject RouteMatchType;
extern PyTypeObject RequestRouterType;

inline constexpr Py_ssize_t kCachedParamKeys = 64;

// `re.compile(pattern)` with a bytes pattern: a new reference, or null with an error set.
PyObject *compile_pattern(const char *pattern);

// What the module keeps from its import on (see common/module_state.hpp). The compiled patterns
// and `unquote` are the objects bound to `_INT_RX`, `_FLOAT_RX`, `_UUID_RX` and `unquote` at
// import, so a lookup can tell them apart from replacements put into the module's globals.
#define QM_ROUTING_STATE(NAME, OBJECT, TYPE)                                                   \
    NAME(_INT_RX) NAME(_FLOAT_RX) NAME(_UUID_RX) NAME(unquote) NAME(param_names)               \
    NAME(match) NAME(decode) NAME(tail) NAME(path) NAME(utf8)                                  \
    NAME(method) NAME(_path) NAME(get_match) NAME(_unmatched)                                  \
    OBJECT(empty_str, state::str(""))                                                          \
    OBJECT(empty_bytes, state::bytes(""))                                                      \
    OBJECT(slash, state::bytes("/"))                                                           \
    OBJECT(star, state::bytes("*"))                                                            \
    /* The common methods as the trees' keys (request_match.cpp). */                            \
    OBJECT(b_get, state::bytes("GET")) OBJECT(b_post, state::bytes("POST"))                     \
    OBJECT(b_put, state::bytes("PUT")) OBJECT(b_delete, state::bytes("DELETE"))                 \
    OBJECT(b_patch, state::bytes("PATCH")) OBJECT(b_head, state::bytes("HEAD"))                 \
    OBJECT(b_options, state::bytes("OPTIONS"))                                                 \
    OBJECT(int_rx, compile_pattern("^\\d{1,4300}$"))                                         \
    OBJECT(float_rx, compile_pattern("^\\d+(?:\\.\\d+)?$"))                                    \
    OBJECT(uuid_rx, compile_pattern("^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-"             \
                                    "[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$"))                         \
    OBJECT(unquote, state::attr("urllib.parse", "unquote"))

struct State {
    QM_STATE_FIELDS(QM_ROUTING_STATE)
    PyObject *globals = nullptr;  // the module's dict; looked up at call time where that matters
    PyObject *param_keys[kCachedParamKeys] = {};  // "_p_0", "_p_1", ...
    // The messages table, bound at the first request lookup (the module is imported before it
    // is): the fields of an exact Request are read directly.
    const messages::CApi *messages = nullptr;
};

extern State S;

// "_p_<index>", made anew: a new reference.
PyObject *uncached_param_key(Py_ssize_t index);

// "_p_<index>": a new reference (the first ones are made at import).
inline PyObject *param_key(Py_ssize_t index) {
    if (index >= 0 && index < kCachedParamKeys) return Py_NewRef(S.param_keys[index]);
    return uncached_param_key(index);
}

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

// What a lookup found. The built-in bodies give the route and its values (a dict or None);
// `fresh` values were made by this lookup and are held nowhere else, so they may be handed on
// without a copy. An override's answer (a tuple) is kept whole in `answer` instead, to be read
// as the caller of the override would read it.
struct Found {
    Ref route;
    Ref values;
    bool fresh = false;
    Ref answer;
};

// The answer of a lookup that returned `status`, as `match` and `get_match` give it: None, the
// pair (route, values), or the override's answer itself. A new reference, or null with an error
// set.
PyObject *lookup_answer(int status, Found &found);

// --- RadixTree (tree.cpp, match.cpp) ---
int tree_insert(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
int tree_insert_impl(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
PyObject *tree_parse_param_segment(PyObject *self, PyObject *seg);
// The names of a pattern's one-segment parameters, in path order: a new list of str. A catch-all
// (`*` or a parameter of type path) ends the pattern and is not listed.
PyObject *pattern_param_names(PyObject *pattern);
// The segments of a pattern as registration reads them, for the server layer's checks: a new
// list of (kind, text, name, type), kind "static", "param" or "catch_all", text the segment as
// str, name and type as the parameter declares them (None for a static segment and for `*`).
// A catch-all ends the pattern: what follows it is not read.
PyObject *pattern_segments(PyObject *pattern);
PyObject *tree_match(PyObject *self, PyObject *path);
PyObject *tree_match_impl(PyObject *self, PyObject *path);
// The lookups behind `match`: the built-in body, and the one that honours an override as
// `tree_match` does. 1 with the match in `out`, 0 when nothing matched, -1 with an error set.
int tree_find(PyObject *self, PyObject *path, Found &out);
int tree_lookup(PyObject *self, PyObject *path, Found &out);
PyObject *tree_match_recursive(PyObject *self, PyObject *current, PyObject *segments,
                               Py_ssize_t index, PyObject *params);
PyObject *new_tree();

// --- CythonRadixRouter (router.cpp) ---
int router_add_route(PyObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names);
PyObject *router_get_match(PyObject *self, PyObject *method, PyObject *path);
int router_freeze(PyObject *self);
// The built-in body of `get_match` (the tree's own `match` is honoured). 1 with the match in
// `out`, 0 when nothing matched, -1 with an error set.
int router_find(PyObject *self, PyObject *method, PyObject *path, Found &out);

// --- RouteMatch (route_match.cpp) ---
// RouteMatch(route, values): a new reference, or null with an error set.
PyObject *new_route_match(PyObject *route, PyObject *values);
// The RouteMatch of a lookup; fresh values become its own without a copy. A new reference, or
// null with an error set.
PyObject *found_route_match(Found &found);

// --- Requests (request_match.cpp, request_router.cpp) ---
// The RouteMatch for the request's method and path from `router.get_match`, or None. A new
// reference, or null with an error set.
PyObject *match_request(PyObject *router, PyObject *request);
// `_RequestRouter.get_match(request)`, honouring an override. A new reference, or null.
PyObject *request_router_get_match(PyObject *self, PyObject *request);
PyObject *py_match_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

int add_node_type(PyObject *module);
int add_tree_type(PyObject *module);
int add_router_type(PyObject *module);
int add_route_match_type(PyObject *module);
int add_request_router_type(PyObject *module);

}  // namespace qm::routing
