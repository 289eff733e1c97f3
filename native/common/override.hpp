// Override dispatch for the operations that are both host-visible and C-level.
//
// A C-level entry point calls its C++ body directly when `self` is exactly the built-in type:
// one pointer comparison. For an instance of a Python subclass it asks `is_overridden`, which
// looks the name up as Python's own attribute lookup would: on the instance's type, comparing
// what it finds with the built-in method's descriptor, and then in the instance's `__dict__`,
// where a stored function shadows the method. The type's answer is cached per call site against
// the type's version tag, which CPython changes whenever the type or one of its bases is
// modified, so a subclass that does not override pays one type lookup only once; instances that
// have a `__dict__` add one dictionary lookup per call.
#pragma once

#include <Python.h>

#include "errors.hpp"
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

// Whether the instance's own `__dict__` holds `name`. Methods are non-data descriptors, so such
// an entry shadows the type's method, as it does for `self.name(...)` in Python. Types without
// instance dictionaries (the built-in ones, subclasses with `__slots__`) answer at once.
inline int instance_shadows(PyObject *self, PyObject *name) {
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return 0;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return -1;
    if (!PyDict_Check(dict.get())) return 0;
    return PyDict_Contains(dict.get(), name);
}

// The type's part of the answer, cached per call site.
inline int type_overrides(OverrideSite &site, PyTypeObject *type, PyTypeObject *base) {
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

// 1: `self` has an override of the site's method to call; 0: run the built-in body; -1: error.
// Only call it when `Py_TYPE(self) != base`.
inline int is_overridden(OverrideSite &site, PyObject *self, PyTypeObject *base) {
    const int by_type = type_overrides(site, Py_TYPE(self), base);
    if (by_type != 0) return by_type;
    return instance_shadows(self, site.name);
}

// Calls the override `self.<name>(*args)`; returns a new reference or null with an error set.
template <class... Args>
Ref call_override(const OverrideSite &site, PyObject *self, Args... args) {
    // The spare first slot lets the call prepend a bound argument without copying the stack.
    PyObject *stack[] = {nullptr, self, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        site.name, stack + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- The C-level entry point of an overridable operation, written once ---------------------
//
// `builtin` is the call site's own test that `self` is an instance of the built-in type itself
// (for one type, `Py_IS_TYPE(self, &HeadersType)`: one pointer comparison); then `impl` runs at
// once. Otherwise a subclass's override, when it has one, is called with the same arguments and
// its result is checked by the kind of result the operation has:
//
//   PyObject *get_first(PyObject *self, PyObject *key) {
//       return qm::dispatch_object(Py_IS_TYPE(self, &HeadersType), get_first_site, &HeadersType,
//                                  qm::Returns{&PyBytes_Type}, get_first_impl, self, key);
//   }
//
// `impl` may check arguments that only the built-in body relies on: an override receives them
// as they were given.

// What an override of an object-returning operation must give back: anything (no type), the
// built-in `type` itself or None, or (with `subclasses`) the extension `type`, its subclasses or
// None.
struct Returns {
    PyTypeObject *type = nullptr;
    bool subclasses = false;

    bool accepts(PyObject *result) const {
        if (!type) return true;
        return subclasses ? check_value_instance(result, type) : check_value(result, type);
    }
};

// An object result: a new reference, or null with an error set.
template <class Impl, class... Args>
inline PyObject *dispatch_object(bool builtin, OverrideSite &site, PyTypeObject *base,
                                 Returns returns, Impl impl, PyObject *self, Args... args) {
    if (!builtin) {
        const int o = is_overridden(site, self, base);
        if (o < 0) return nullptr;
        if (o) {
            Ref r = call_override(site, self, args...);
            if (!r || !returns.accepts(r.get())) return nullptr;
            return r.release();
        }
    }
    return impl(self, args...);
}

// A truth value: 1 or 0, or -1 with an error set. An override's result is tested for truth.
template <class Impl, class... Args>
inline int dispatch_bool(bool builtin, OverrideSite &site, PyTypeObject *base, Impl impl,
                         PyObject *self, Args... args) {
    if (!builtin) {
        const int o = is_overridden(site, self, base);
        if (o < 0) return -1;
        if (o) {
            Ref r = call_override(site, self, args...);
            if (!r) return -1;
            return PyObject_IsTrue(r.get());
        }
    }
    return impl(self, args...);
}

// No result: 0, or -1 with an error set. An override's result is dropped.
template <class Impl, class... Args>
inline int dispatch_void(bool builtin, OverrideSite &site, PyTypeObject *base, Impl impl,
                         PyObject *self, Args... args) {
    if (!builtin) {
        const int o = is_overridden(site, self, base);
        if (o < 0) return -1;
        if (o) return call_override(site, self, args...) ? 0 : -1;
    }
    return impl(self, args...);
}

}  // namespace qm
