// What a compiled module keeps from its import on: one list per module, written once, of the
// interned names and bound objects its code reads instead of looking anything up by name. The
// fields of the module's `State S`, their creation and their release are generated from it.
//
//     // state.hpp (the list is one macro: each of its lines but the last ends with a backslash)
//     #define QM_EXAMPLE_STATE(NAME, OBJECT, TYPE)
//         NAME(lower)          /* S.n_lower: the interned str "lower" */
//         NAME(__class__)      /* S.n___class__ */
//         OBJECT(mapping, qm::state::attr("collections.abc", "Mapping"))  /* S.mapping */
//         OBJECT(slash, qm::state::bytes("/"))
//         TYPE(url_type, qm::state::cls("quenmark.url", "URL"))  /* PyTypeObject * */
//     struct State {
//         QM_STATE_FIELDS(QM_EXAMPLE_STATE)
//     };
//     extern State S;
//
//     // state.cpp (or module.cpp)
//     QM_STATE_DEFINE(QM_EXAMPLE_STATE)   // State S; int create_state(); void release_state();
//
// An interned name is spelt as its text (`NAME(_INT_RX)` is `S.n__INT_RX`); every other entry is
// a bound object named for what it is, made by an expression that returns a new reference or
// null with an error set. Entries are made in list order, so an expression may read an entry
// above it (`OBJECT(loads, qm::state::getattr(S.json_settings, "loads"))`). `create_state()`
// (a second call does nothing) returns 0, or -1 with the error set and everything made so far released; the objects then
// live as long as the process (hot paths borrow them without holding references).
// `release_state()` drops them all; it is for a failed import, not for a module still in use.
//
// A module that binds another's C-level table keeps the table pointer beside the list (it is
// not an object). A new entry goes anywhere in the list; one that nothing reads does not belong.
#pragma once

#include <Python.h>

#include <cstring>

#include "common/capi.hpp"
#include "core/intern.h"

namespace qm::state {

// The makers of bound objects: each returns a new reference, or null with an error set.

inline PyObject *name(const char *text) { return PyUnicode_InternFromString(text); }
inline PyObject *str(const char *text) { return PyUnicode_FromString(text); }
inline PyObject *bytes(const char *text) {
    return PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
}
// A header name: the core library's shared object when it knows the name, else new bytes.
inline PyObject *header_name(const char *text) {
    if (PyObject *shared = get_interned_header_name_bytes(text, std::strlen(text)))
        return Py_NewRef(shared);
    return bytes(text);
}
// `module.name`: a sibling's or the standard library's function, class or object.
inline PyObject *attr(const char *module, const char *name) { return import_attr(module, name); }
// `module.name`, refused unless it is a class (for a class used only through attributes).
inline PyTypeObject *cls(const char *module, const char *name) { return import_class(module, name); }
// `obj.name` of an object bound above.
inline PyObject *getattr(PyObject *obj, const char *name) {
    return PyObject_GetAttrString(obj, name);
}

// `globals[name]`, a module global read when it is used, so that a replaced one is seen: a new
// reference, or null with NameError when it is missing.
inline PyObject *global(PyObject *globals, PyObject *name) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(globals, name, &value) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

inline void clear(PyObject *&slot) { Py_CLEAR(slot); }
inline void clear(PyTypeObject *&slot) {
    PyObject *old = reinterpret_cast<PyObject *>(slot);
    slot = nullptr;
    Py_XDECREF(old);
}

}  // namespace qm::state

#define QM_STATE_FIELD_NAME_(id) PyObject *n_##id = nullptr;
#define QM_STATE_FIELD_OBJECT_(id, ...) PyObject *id = nullptr;
#define QM_STATE_FIELD_TYPE_(id, ...) PyTypeObject *id = nullptr;
// The fields of a module's State, one per entry of `LIST`.
#define QM_STATE_FIELDS(LIST) \
    LIST(QM_STATE_FIELD_NAME_, QM_STATE_FIELD_OBJECT_, QM_STATE_FIELD_TYPE_)

#define QM_STATE_MAKE_NAME_(id) \
    if (!(S.n_##id = ::qm::state::name(#id))) return failed();
#define QM_STATE_MAKE_OBJECT_(id, ...) \
    if (!(S.id = (__VA_ARGS__))) return failed();
#define QM_STATE_MAKE_TYPE_(id, ...) \
    if (!(S.id = (__VA_ARGS__))) return failed();

#define QM_STATE_CLEAR_NAME_(id) ::qm::state::clear(S.n_##id);
#define QM_STATE_CLEAR_OBJECT_(id, ...) ::qm::state::clear(S.id);

// Defines `State S`, `int create_state()` and `void release_state()` for `LIST` (in the
// namespace where it stands; State must be declared there).
#define QM_STATE_DEFINE(LIST)                                                                     \
    State S;                                                                                      \
    static bool state_created_ = false;                                                           \
    void release_state() {                                                                        \
        LIST(QM_STATE_CLEAR_NAME_, QM_STATE_CLEAR_OBJECT_, QM_STATE_CLEAR_OBJECT_)                \
        state_created_ = false;                                                                   \
    }                                                                                             \
    int create_state() {                                                                          \
        if (state_created_) return 0;                                                             \
        const auto failed = [] {                                                                  \
            PyObject *error = PyErr_GetRaisedException();                                         \
            release_state();                                                                      \
            PyErr_SetRaisedException(error);                                                      \
            return -1;                                                                            \
        };                                                                                        \
        LIST(QM_STATE_MAKE_NAME_, QM_STATE_MAKE_OBJECT_, QM_STATE_MAKE_TYPE_)                     \
        state_created_ = true;                                                                    \
        return 0;                                                                                 \
    }
