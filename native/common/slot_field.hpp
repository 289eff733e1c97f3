// A field of a Python class with __slots__ (the contents module's Content, the JSON settings),
// read straight from the instance while the attribute is still that class's own slot: what
// attribute access would give, without the lookup. A subclass that puts a property (or anything
// else) in the slot's place is read through attribute access; that answer is cached per type as
// overrides are.
#pragma once

#include <Python.h>

#include "override.hpp"

namespace qm {

class SlotField {
  public:
    explicit constexpr SlotField(const char *name) : site_(name) {}

    // Finds `base`'s slot descriptor; without one the field is always read by attribute.
    // -1 with an error set.
    int bind(PyTypeObject *base) {
        base_ = base;
        if (!site_.name && !(site_.name = PyUnicode_InternFromString(site_.name_utf8))) return -1;
        PyObject *descr = _PyType_Lookup(base, site_.name);  // borrowed
        site_.builtin = descr;
        if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
            const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
            if (member->type == Py_T_OBJECT_EX) offset_ = member->offset;
        }
        return 0;
    }

    // `obj.<name>`: a new reference, or null with an error set.
    PyObject *get(PyObject *obj) {
        if (offset_ >= 0 && PyObject_TypeCheck(obj, base_)) {
            const int overridden = type_overrides(site_, Py_TYPE(obj), base_);
            if (overridden < 0) return nullptr;
            if (!overridden) {
                PyObject *value =
                    *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset_);
                // An unset slot: attribute access raises the AttributeError.
                if (value) return Py_NewRef(value);
            }
        }
        return PyObject_GetAttr(obj, site_.name);
    }

  private:
    OverrideSite site_;
    PyTypeObject *base_ = nullptr;
    Py_ssize_t offset_ = -1;
};

}  // namespace qm
