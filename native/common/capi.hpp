// Publishing and binding C-level entry points and object types between the compiled modules.
//
// Each module publishes one capsule, the module attribute `_C_API`, holding a struct of function
// pointers and type objects that begins with `CApiHeader`: the table's name, its version and its
// size as the exporting module was built. Tables are append-only, as the interpreter's own
// datetime C API is: a new entry goes at the end of the struct, and no entry is ever moved,
// removed or given another signature. So a module built against an older, shorter table binds a
// newer one unchanged, while one built against a table longer than the one it finds (a stale
// build of the exporter) fails its import with a clear message instead of calling past the end.
// Changing an existing entry breaks the rule: it takes a new version, which every binder must be
// rebuilt for.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "ref.hpp"

namespace qm {

struct CApiHeader {
    const char *name;  // e.g. "quenmark.headers CApi"
    size_t version;    // changed only when an existing entry changes (never for an append)
    size_t size;       // sizeof the whole table, header included, as published
};

// The header of `Table` (whose first member is a CApiHeader), for its static initialiser.
template <class Table>
constexpr CApiHeader capi_header(const char *name, size_t version) {
    return CApiHeader{name, version, sizeof(Table)};
}

inline constexpr const char *kCApiAttr = "_C_API";

// Adds the capsule for `table` (static storage) to `module`. Returns -1 with an error set.
template <class Table>
int publish_capi(PyObject *module, const char *capsule_name, Table *table) {
    static_assert(offsetof(Table, header) == 0, "a C-level table begins with its CApiHeader");
    PyObject *capsule = PyCapsule_New(const_cast<void *>(static_cast<const void *>(table)),
                                      capsule_name, nullptr);
    if (!capsule) return -1;
    return PyModule_Add(module, kCApiAttr, capsule);
}

// An object type the exporting module publishes with its table, and the size of its instances
// as the importing module was compiled against them.
struct TypeLayout {
    const char *type_name;
    Py_ssize_t size;
};

inline bool check_type_layout(const char *module_name, const char *type_name,
                              Py_ssize_t expected_size);

// Imports `module_name` and returns its table, checked against the name and version this module
// was built with, and against the size of `Table` as this module knows it (the exporter's may be
// larger: entries appended since); then checks the instance size of each type in `layouts`
// (those whose fields the importer reads). The module is kept imported for the life of the
// process, so the table stays valid.
template <class Table>
const Table *import_capi(const char *module_name, const char *capsule_name, const char *name,
                         size_t version, std::initializer_list<TypeLayout> layouts = {}) {
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
    const CApiHeader &got = table->header;
    if (!got.name || std::strcmp(got.name, name) != 0 || got.version != version) {
        PyErr_Format(PyExc_ImportError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.200s v%zu, got %.200s v%zu)",
                     "variable", module_name, kCApiAttr, name, version,
                     got.name ? got.name : "(null)", got.version);
        return nullptr;
    }
    if (got.size < sizeof(Table)) {
        PyErr_Format(PyExc_ImportError,
                     "C %.8s %.200s.%.200s is %zu bytes, fewer than the %zu this module was built "
                     "against: %.200s is older than the module that binds it",
                     "variable", module_name, kCApiAttr, got.size, sizeof(Table), module_name);
        return nullptr;
    }
    for (const TypeLayout &layout : layouts)
        if (!check_type_layout(module_name, layout.type_name, layout.size)) return nullptr;
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
