// The object layouts and C-level tables of `quenmark.routing`, for modules that bind it.
// Tables are append-only (see common/capi.hpp); changing a layout is caught by
// the size check of `import`.
#pragma once

#include <Python.h>

#include "common/capi.hpp"

namespace qm::routing {

struct RadixNodeObject {
    PyObject_HEAD
    PyObject *segment;          // bytes or None
    PyObject *route;            // any
    PyObject *children;         // dict (lower-cased segment -> RadixNode) or None
    PyObject *param_child;      // RadixNode or None
    PyObject *param_name;       // str or None
    PyObject *param_names;      // list or None
    PyObject *param_validator;  // any (a compiled pattern or None)
    PyObject *wildcard_child;   // RadixNode or None
    PyObject *wildcard_name;    // str or None
    PyObject *wildcard_suffix;  // bytes or None
    bool is_leaf;
    // Private to the module: the lookup index of `children` (see key_index.hpp).
    void *child_index;
};

struct RadixTreeObject {
    PyObject_HEAD
    PyObject *root;           // RadixNode or None
    PyObject *static_routes;  // dict or None
    // Private to the module: the lookup index of `static_routes` (see key_index.hpp).
    void *static_index;
};

struct CythonRadixRouterObject {
    PyObject_HEAD
    PyObject *trees;  // dict (upper-cased method bytes -> RadixTree) or None
    // Private to the module: the lookup index of `trees` (see key_index.hpp).
    void *tree_index;
};

// The application router's native base (`_RequestRouter`): `get_match(request)` over an engine.
struct RequestRouterObject {
    PyObject_HEAD
    PyObject *_engine;  // any (a CythonRadixRouter, or anything with its get_match)
};

struct RouteMatchObject {
    PyObject_HEAD
    PyObject *handler;
    PyObject *pattern;
    PyObject *_values;  // dict or None
    PyObject *route;
};

// Functions returning an object return a new reference or null with an error set; those returning
// int return 0 or -1 with an error set. Entries marked "overridable" honour a Python subclass's
// method of the same name; the others always run the built-in body.
struct RadixTreeTable {
    // overridable
    int (*insert)(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names);
    // (name: str, validator) for one parameter segment (bytes)
    PyObject *(*_parse_param_segment)(PyObject *self, PyObject *seg);
    // overridable; (route, params) or None
    PyObject *(*match)(PyObject *self, PyObject *path);
    // (route, params) or None; `segments` a list of bytes, `params` a dict or None
    PyObject *(*_match_recursive)(PyObject *self, PyObject *current, PyObject *segments,
                                  Py_ssize_t index, PyObject *params);
};

struct CythonRadixRouterTable {
    // all three overridable
    int (*add_route)(PyObject *self, PyObject *method, PyObject *pattern, PyObject *route,
                     PyObject *param_names);
    PyObject *(*get_match)(PyObject *self, PyObject *method, PyObject *path);
    int (*freeze)(PyObject *self);
};

struct RequestRouterTable {
    // overridable; a RouteMatch, or what `_unmatched(request)` gives when no route matches
    PyObject *(*get_match)(PyObject *self, PyObject *request);
};

struct CApi {
    CApiHeader header;
    PyTypeObject *radix_node_type;
    PyTypeObject *radix_tree_type;
    PyTypeObject *router_type;
    PyTypeObject *route_match_type;
    RadixTreeTable radix_tree;
    CythonRadixRouterTable router;
    // bytes -> str: UTF-8 with replacement, then percent-decoding when a "%" is present.
    PyObject *(*fast_unquote)(PyObject *val);
    PyTypeObject *request_router_type;
    RequestRouterTable request_router;
    // New entries go here, after every existing one (append-only).
};

inline constexpr const char *kModule = "quenmark.routing";
inline constexpr const char *kCapsule = "quenmark.routing._C_API";
inline constexpr const char *kTableName = "quenmark.routing CApi";
inline constexpr size_t kTableVersion = 1;

// For importers: binds the table (and so the types) once; null with an error set on failure.
inline const CApi *import() {
    return import_capi<CApi>(kModule, kCapsule, kTableName, kTableVersion,
                             {{"RadixNode", sizeof(RadixNodeObject)},
                              {"RadixTree", sizeof(RadixTreeObject)},
                              {"CythonRadixRouter", sizeof(CythonRadixRouterObject)},
                              {"RouteMatch", sizeof(RouteMatchObject)},
                              {"_RequestRouter", sizeof(RequestRouterObject)}});
}

}  // namespace qm::routing
