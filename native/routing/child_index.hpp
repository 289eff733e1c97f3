// A lookup index over a node's `children` dict. The dict stays the truth (it is public and may
// be changed from the host at any time); the index only spares the lookup the bytes object, the
// SipHash and the rich comparison per path segment. It is rebuilt when the dict it was built
// from is no longer the node's, or when any indexed dict has changed since: every indexed dict
// is watched (PyDict_Watch), and each change bumps one global generation.
#pragma once

#include <Python.h>

#include "routing/routing_api.hpp"

namespace qm::routing {

// Registers the dict watcher. Without one (all watcher slots taken) lookups use the dicts
// directly. Returns -1 only on an unexpected error.
int init_child_index();

enum class ChildLookup { Found, Missing, Unindexed, Error };

// Looks up the ASCII-lower-cased `seg` among `node`'s children. Found: `*child` is a new
// reference to the value. Unindexed: the caller must ask the dict itself (the index cannot
// represent it, e.g. a key that is not exact bytes).
ChildLookup find_child(RadixNodeObject *node, const char *seg, Py_ssize_t n, PyObject **child);

void free_child_index(RadixNodeObject *node);

}  // namespace qm::routing
