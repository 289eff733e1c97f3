// Reading a key of dicts that come with the same layout again and again: a server builds every
// ASGI scope with the same keys in the same order. The entry where the key was found last is
// looked at first (PyDict_Next from there must give this very key object, else it is a lookup as
// usual), so a hit is an index instead of a hash probe. Only a position is kept, never a value,
// and a position that no longer fits costs one probe.
#pragma once

#include <Python.h>

namespace qm {

struct RememberedKey {
    PyObject *const &key;  // an interned name of the module state, filled at import
    Py_ssize_t at = 0;     // -1: the dicts' keys are other objects than this one
};

namespace remembered_detail {

// Where `key` is among the entries of the exact dict `d`: the position to give PyDict_Next for
// it, or -1 when no entry holds this very object.
inline Py_ssize_t entry_of(PyObject *d, PyObject *key) {
    Py_ssize_t pos = 0, before = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (k == key) return before;
        before = pos;
    }
    return -1;
}

[[gnu::noinline]] inline int lookup(PyObject *mapping, RememberedKey &key, PyObject **value) {
    const int found = PyMapping_GetOptionalItem(mapping, key.key, value);
    if (found > 0 && key.at >= 0 && PyDict_CheckExact(mapping)) key.at = entry_of(mapping, key.key);
    return found;
}

}  // namespace remembered_detail

// `mapping[key]` into `*value` as a new reference: 1, or 0 when it is missing (no error), -1 with
// an error set. Any mapping; only an exact dict gets the remembered entry.
inline int find_item(PyObject *mapping, RememberedKey &key, PyObject **value) {
    if (key.at >= 0 && PyDict_CheckExact(mapping)) {
        Py_ssize_t pos = key.at;
        PyObject *k, *v;
        if (PyDict_Next(mapping, &pos, &k, &v) && k == key.key) {
            *value = Py_NewRef(v);
            return 1;
        }
    }
    return remembered_detail::lookup(mapping, key, value);
}

// `mapping[key]`, KeyError when it is missing, or with `optional` None. New reference.
inline PyObject *get_item(PyObject *mapping, RememberedKey &key, bool optional = false) {
    PyObject *value = nullptr;
    if (find_item(mapping, key, &value) == 0) {
        if (optional) Py_RETURN_NONE;
        PyErr_SetObject(PyExc_KeyError, key.key);
    }
    return value;
}

}  // namespace qm
