// Publishing and binding C-level entry points and object types between the compiled modules.
//
// Each module publishes one capsule, the module attribute `_C_API`, holding a struct of function
// pointers and type objects that begins with `CApiHeader`. The struct's signature text (its name,
// version and size) is checked by the importer, so a module built against an older layout fails
// the import with a clear message instead of calling through a wrong table.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstring>

#include "ref.hpp"

namespace qm {

struct CApiHeader {
    const char *signature;  // e.g. "quenmark.headers CAPI v1 (size 104)"
};

inline constexpr const char *kCApiAttr = "_C_API";

// Adds the capsule for `table` (static storage) to `module`. Returns -1 with an error set.
inline int publish_capi(PyObject *module, const char *capsule_name, void *table) {
    PyObject *capsule = PyCapsule_New(table, capsule_name, nullptr);
    if (!capsule) return -1;
    return PyModule_Add(module, kCApiAttr, capsule);
}

// Imports `module_name` and returns its table, checked against `signature`. The module is
// kept imported for the life of the process, so the table stays valid.
template <class Table>
const Table *import_capi(const char *module_name, const char *capsule_name, const char *signature) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), kCApiAttr));
    if (!capsule || !PyCapsule_IsValid(capsule.get(), capsule_name)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name,
                     "variable", kCApiAttr);
        return nullptr;
    }
    auto *table = static_cast<const Table *>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (!table) return nullptr;
    const char *got = table->header.signature;
    if (!got || std::strcmp(got, signature) != 0) {
        PyErr_Format(PyExc_ImportError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "variable", module_name, kCApiAttr, signature, got ? got : "(null)");
        return nullptr;
    }
    return table;
}

// Imports `module.name` and checks that it is a class, for a module that uses its instances only
// through attributes and calls (no layout). Returns a new reference.
inline PyTypeObject *import_class(const char *module_name, const char *type_name) {
    Ref attr = Ref::steal(PyImport_ImportModuleAttrString(module_name, type_name));
    if (!attr) return nullptr;
    if (!PyType_Check(attr.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(attr.release());
}

// Binds an object type by module and name, checking that its instances are at least
// `expected_size` bytes (the layout this module was compiled against). Returns a new reference.
inline PyTypeObject *import_type(const char *module_name, const char *type_name,
                                 Py_ssize_t expected_size) {
    Ref attr = Ref::steal(reinterpret_cast<PyObject *>(import_class(module_name, type_name)));
    if (!attr) return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(attr.get());
    const Py_ssize_t actual = type->tp_basicsize;
    if (actual != expected_size) {
        char message[640];
        std::snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, type_name, expected_size, actual);
        if (actual < expected_size) {
            PyErr_SetString(PyExc_ValueError, message);
            return nullptr;
        }
        if (PyErr_WarnEx(nullptr, message, 0) < 0) return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(attr.release());
}

// For an importer's `import()`: checks a type's layout as `import_type` does, keeping nothing
// (the published table holds the type). False with an error set.
inline bool check_type_layout(const char *module_name, const char *type_name,
                              Py_ssize_t expected_size) {
    Ref type = Ref::steal(
        reinterpret_cast<PyObject *>(import_type(module_name, type_name, expected_size)));
    return bool(type);
}

// Imports `module.name` (a sibling's function, class or object). Returns a new reference.
inline PyObject *import_attr(const char *module_name, const char *name) {
    return PyImport_ImportModuleAttrString(module_name, name);
}

}  // namespace qm
