// Typed public fields exposed as properties, with the package's assignment rules: a field
// declared as a built-in type takes exactly that type or None, one declared as an extension type
// takes that type, its subclasses or None, an untyped field takes anything; deleting an object
// field stores None, deleting a bool field raises NotImplementedError "__del__".
//
// Usage: a static `qm::Field` per attribute, passed as the getset closure:
//   static const qm::Field kSegment{offsetof(NodeObject, segment), qm::FieldKind::Exact, &PyBytes_Type};
//   {"segment", qm::field_get, qm::field_set, nullptr, const_cast<qm::Field *>(&kSegment)},
// The struct field is a `PyObject *` that always holds a reference (None, never null).
#pragma once

#include <Python.h>

#include <cstddef>

#include "errors.hpp"
#include "ref.hpp"

namespace qm {

enum class FieldKind { Any, Exact, Instance };

struct Field {
    Py_ssize_t offset;
    FieldKind kind;
    PyTypeObject *type;  // unused for FieldKind::Any
};

inline PyObject *&field_slot(PyObject *self, const Field *f) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + f->offset);
}

inline PyObject *field_get(PyObject *self, void *closure) {
    PyObject *v = field_slot(self, static_cast<const Field *>(closure));
    return Py_NewRef(v ? v : Py_None);
}

inline int field_set(PyObject *self, PyObject *value, void *closure) {
    const Field *f = static_cast<const Field *>(closure);
    if (!value) {
        value = Py_None;
    } else if (f->kind == FieldKind::Exact) {
        if (!check_value(value, f->type)) return -1;
    } else if (f->kind == FieldKind::Instance) {
        if (!check_value_instance(value, f->type)) return -1;
    }
    set_field(field_slot(self, f), value);
    return 0;
}

// A `bool` struct member at `offset` (pass the offset cast to void * as the closure).
inline PyObject *bool_field_get(PyObject *self, void *closure) {
    const auto offset = reinterpret_cast<Py_ssize_t>(closure);
    return PyBool_FromLong(*reinterpret_cast<bool *>(reinterpret_cast<char *>(self) + offset));
}

inline int bool_field_set(PyObject *self, PyObject *value, void *closure) {
    if (!value) return delete_not_supported();
    if (!PyBool_Check(value)) return expected_type("bool", value);
    const auto offset = reinterpret_cast<Py_ssize_t>(closure);
    *reinterpret_cast<bool *>(reinterpret_cast<char *>(self) + offset) = value == Py_True;
    return 0;
}

}  // namespace qm
