// Declarations shared by the source files of `quenmark.headers` (not by other modules: they use
// headers_api.hpp).
#pragma once

#include <Python.h>

#include "common/header_keys.hpp"
#include "common/module_state.hpp"
#include "common/ref.hpp"
#include "headers/headers_api.hpp"

namespace qm::headers {

extern PyTypeObject HeaderType;
extern PyTypeObject HeadersType;

// What the module keeps from its import on (see common/module_state.hpp).
#define QM_HEADERS_STATE(NAME, OBJECT, TYPE)                                                    \
    NAME(add) NAME(lower) NAME(items) NAME(name) NAME(value) NAME(__class__) NAME(__name__)     \
    OBJECT(mapping, state::attr("collections.abc", "Mapping"))                                 \
    OBJECT(mutable_sequence, state::attr("collections.abc", "MutableSequence"))

struct State {
    QM_STATE_FIELDS(QM_HEADERS_STATE)
};
extern State S;

int create_state();
int ready_header_type();
int ready_headers_type();

// Name normalisation and lookups go through the header engine shared with the messages module.
using header_engine::Key;
using header_engine::normalise_key;
using header_engine::simd_lower_bytes;
// A name as `Headers` stores it: lower case, and shared where the core library knows it.
inline PyObject *intern_header_name_bytes(PyObject *name) {
    return header_engine::normalise_name(name);
}

// The entry list of a Headers object (borrowed); made on demand for an object whose list was
// cleared by the collector or never set by a subclass's __init__. Null with an error set only
// when that allocation fails.
PyObject *entry_list(PyObject *self);
PyObject *new_headers(PyObject *values);

// The eleven operations as C-level entry points (operations.cpp): each honours a Python
// subclass's override. `self` must be a Headers instance.
PyObject *keys(PyObject *self);
PyObject *clone(PyObject *self);
PyObject *get(PyObject *self, PyObject *name);
PyObject *get_tuples(PyObject *self, PyObject *name);
int add(PyObject *self, PyObject *name, PyObject *value);
int set(PyObject *self, PyObject *name, PyObject *value);
PyObject *get_single(PyObject *self, PyObject *key);
PyObject *get_first(PyObject *self, PyObject *key);
int remove(PyObject *self, PyObject *key);
int merge(PyObject *self, PyObject *values);
int contains(PyObject *self, PyObject *key);

// Their built-in bodies, which the Python-visible methods call directly. The arguments have
// already been checked.
PyObject *keys_impl(PyObject *self);
PyObject *clone_impl(PyObject *self);
PyObject *get_impl(PyObject *self, PyObject *name);
PyObject *get_tuples_impl(PyObject *self, PyObject *name);
int add_impl(PyObject *self, PyObject *name, PyObject *value);
int set_impl(PyObject *self, PyObject *name, PyObject *value);
PyObject *get_single_impl(PyObject *self, PyObject *key);
PyObject *get_first_impl(PyObject *self, PyObject *key);
int remove_impl(PyObject *self, PyObject *key);
int merge_impl(PyObject *self, PyObject *values);
int contains_impl(PyObject *self, PyObject *key);

// Bulk additions and operators (combine.cpp).
PyObject *add_many(PyObject *self, PyObject *values);
int update(PyObject *self, PyObject *values);
PyObject *add_to_instance(PyObject *instance, PyObject *item);
PyObject *headers_add(PyObject *left, PyObject *right);
PyObject *headers_inplace_add(PyObject *self, PyObject *other);

}  // namespace qm::headers
