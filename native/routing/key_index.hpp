// Lookup indexes over the dicts that a path is looked up in: a node's `children` (keys compared
// with the ASCII-lower-cased segment) and a tree's `static_routes` (keys compared with the path
// as it is). The dict stays the truth (it is public and may be changed from the host at any
// time); the index only spares the lookup the bytes object, the SipHash and the rich comparison.
// It is rebuilt when the dict it was built from is no longer its owner's, or when any indexed
// dict has changed since: every indexed dict is watched (PyDict_Watch), and each change bumps
// one global generation.
#pragma once

#include <Python.h>

#include "routing/routing_api.hpp"

namespace qm::routing {

// Registers the dict watcher. Without one (all watcher slots taken) lookups use the dicts
// directly. Returns -1 only on an unexpected error.
int init_key_index();

enum class KeyLookup { Found, Missing, Unindexed, Error };

// How the looked-up text compares with the dict's keys: lower-cased first, or as it is.
enum class KeyCase { Lowered, Exact };

// Looks up `s` among the keys of `dict`, through the index kept in `*index` (built or rebuilt
// as needed; its owner frees it with `free_key_index`). Found: `*value` is the dict's value,
// borrowed: good while the dict is not changed, so until host code may run. Unindexed: the caller
// must ask the dict itself (the index cannot represent it, e.g. a key that is not exact bytes).
KeyLookup find_key(void **index, PyObject *dict, KeyCase key_case, const char *s, Py_ssize_t n,
                   PyObject **value);

void free_key_index(void **index);

}  // namespace qm::routing
