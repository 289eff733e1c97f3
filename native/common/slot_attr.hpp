// `obj.<name>` for an object of a class with __slots__, read straight from the instance while the
// name is the class's own slot: what attribute access gives, without its lookup. Each call site
// remembers the answer for the last type it saw, against the type's version tag (as override
// dispatch does, override.hpp), so a class that changes, or one whose attribute is something
// else (a property, an instance attribute, a custom __getattribute__ or __getattr__), is read
// through attribute access. Meant for sites that see one class nearly always.
#pragma once

#include <Python.h>

namespace qm {

class SlotAttr {
  public:
    explicit constexpr SlotAttr(const char *name) : name_utf8_(name) {}

    // `obj.<name>`: a new reference, or null with an error set.
    PyObject *get(PyObject *obj) {
        PyTypeObject *type = Py_TYPE(obj);
        if (type != type_ || type->tp_version_tag == 0 || type->tp_version_tag != version_) {
            if (learn(type) < 0) return nullptr;
        }
        if (offset_ >= 0) {
            PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + offset_);
            // An unset slot: attribute access raises the AttributeError.
            if (value) return Py_NewRef(value);
        }
        return PyObject_GetAttr(obj, name_);
    }

  private:
    int learn(PyTypeObject *type) {
        if (!name_ && !(name_ = PyUnicode_InternFromString(name_utf8_))) return -1;
        // Read before the lookup: a change during it leaves a stale tag that misses next time.
        const unsigned int version = type->tp_version_tag;
        offset_ = -1;
        if (type->tp_getattro == PyObject_GenericGetAttr) {
            // A member descriptor is a data descriptor: it wins over an instance's __dict__.
            PyObject *descr = _PyType_Lookup(type, name_);  // borrowed
            if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
                const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
                if (member->type == Py_T_OBJECT_EX && !(member->flags & Py_AUDIT_READ))
                    offset_ = member->offset;
            }
        }
        type_ = type;
        version_ = version;
        return 0;
    }

    const char *name_utf8_;
    PyObject *name_ = nullptr;  // interned; kept for the life of the process
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    Py_ssize_t offset_ = -1;
};

}  // namespace qm
