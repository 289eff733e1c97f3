// Override dispatch for the operations that are both host-visible and C-level.
//
// A C-level entry point calls its C++ body directly when `self` is exactly the built-in type:
// one pointer comparison. For an instance of a Python subclass it asks `is_overridden`, which
// looks the name up on the instance's type and compares what it finds with the built-in
// method's descriptor. The answer is cached per call site against the type's version tag, which
// CPython changes whenever the type or one of its bases is modified, so a subclass that does not
// override pays a lookup only once.
#pragma once

#include <Python.h>

#include "ref.hpp"

namespace qm {

struct OverrideSite {
    const char *name_utf8;
    PyObject *name = nullptr;        // interned; kept for the life of the process
    PyObject *builtin = nullptr;     // the base type's own descriptor (borrowed from its dict)
    PyTypeObject *cached_type = nullptr;
    unsigned int cached_version = 0;
    bool cached_overridden = false;

    constexpr explicit OverrideSite(const char *method) : name_utf8(method) {}
};

// 1: `self` has an override of the site's method to call; 0: run the built-in body; -1: error.
// Only call it when `Py_TYPE(self) != base`.
inline int is_overridden(OverrideSite &site, PyObject *self, PyTypeObject *base) {
    PyTypeObject *type = Py_TYPE(self);
    if (type == site.cached_type && type->tp_version_tag != 0 &&
        type->tp_version_tag == site.cached_version)
        return site.cached_overridden;
    if (!site.name) {
        site.name = PyUnicode_InternFromString(site.name_utf8);
        if (!site.name) return -1;
    }
    if (!site.builtin) site.builtin = _PyType_Lookup(base, site.name);
    // Reading the tag before the lookup: a change during the lookup leaves a stale tag that
    // simply misses next time.
    const unsigned int version = type->tp_version_tag;
    PyObject *found = _PyType_Lookup(type, site.name);
    const bool overridden = found != nullptr && found != site.builtin;
    site.cached_type = type;
    site.cached_version = version;
    site.cached_overridden = overridden;
    return overridden;
}

// Calls the override `self.<name>(*args)`; returns a new reference or null with an error set.
template <class... Args>
Ref call_override(const OverrideSite &site, PyObject *self, Args... args) {
    // The spare first slot lets the call prepend a bound argument without copying the stack.
    PyObject *stack[] = {nullptr, self, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        site.name, stack + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace qm
