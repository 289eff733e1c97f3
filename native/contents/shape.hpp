// What lets a constructor of the contents module fill an instance directly: the slots it fills,
// found from the class's member descriptors, and per type whether they are still those slots.
//
// A constructor stores by offset only while the instance's type derives from the class the slots
// were found on, every field it fills is on that type the very member descriptor found, and the
// instance has no `__dict__` (where a class attribute the constructor reads could be shadowed).
// A subclass that puts a property in a slot's place, or has a `__dict__`, is filled through
// attribute access, as `self.<field> = value` would be. The answer is cached per type against its
// version tag, which CPython changes whenever the type or one of its bases is modified.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace qm::contents {

inline constexpr int kMaxSlots = 12;

struct Slot {
    PyObject *name = nullptr;   // interned (the module state's)
    PyObject *descr = nullptr;  // the member descriptor, kept for the life of the process
    Py_ssize_t offset = -1;
};

// One type's answer.
struct Shape {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    bool direct = false;      // the fields are stored by offset
    bool constructs = false;  // `type(...)` is the kinds' own __new__, then its own __init__
    PyObject *media_type = nullptr;  // the type's `_media_type` when direct and the kind reads one
};

struct Kind;
// Fills `self` from the arguments of the kind's `__init__`, all given positionally (`args[0]` is
// the first after `self`); 0, or -1 with an error set.
using FillFn = int (*)(PyObject *self, PyObject *const *args, Kind &kind);

// One constructor: what it fills and with what.
struct Kind {
    FillFn fill = nullptr;
    int arguments = 1;               // of `__init__`, after self; the last may be left out when
    PyObject *last_default = nullptr;  // it has a default (borrowed from the module state)
    bool reads_media_type = false;   // the text kinds take their media type from the class
    Slot slots[kMaxSlots];
    int count = 0;
    PyTypeObject *owner = nullptr;   // the class whose `__init__` this is
    PyObject *init = nullptr;        // that `__init__`, the Python function calling `fill`
    PyObject *new_ = nullptr;        // the `__new__` it inherits, installed by `install_new`
    Shape other;                     // the last type met that is not one of the kind's classes
    // What the kind's fields are filled from, given at installation (kept for the process).
    PyObject *media_type = nullptr;       // JSON: application/json
    PyObject *settings = nullptr;         // JSON: json_settings
    PyTypeObject *settings_type = nullptr;  // JSON: its class when installed
    PyObject *default_dumps = nullptr;    // JSON: the default dumps
    PyObject *encode = nullptr;           // JSON: what the default dumps encodes with
    PyObject *globals = nullptr;          // request bodies: the contents module's globals
    bool checks_receive = false;          // ASGI: `receive` must be callable
};

// Binds `kind` to `owner`: its `__init__` (a Python function) and, by name, the member
// descriptors of the slots it fills. -1 with an error set.
int bind_kind(Kind &kind, PyTypeObject *owner, PyObject *const *names, int count);

// Gives `owner` a native `__new__`: object.__new__(cls), whatever the arguments (they are
// `__init__`'s). CPython runs a Python `__init__` straight after object.__new__ for a call from
// Python code, without asking the class; with a `__new__` of its own the class's vectorcall
// answers that call too. The kinds of `owner` and of its subclasses read it as `new_`.
int install_new(Kind &kind, PyTypeObject *owner);

// Makes `type(...)` build its instances straight through `kind` when nothing about `type` has
// changed what that call does. `type` must be the kind's owner or one of its subclasses.
int install_constructor(Kind &kind, PyTypeObject *type);

// The answer for `type`, brought up to date. Taken after any code of the caller's that may run
// Python (a custom dumps, a str subclass's encode), which could change the class.
Shape shape_of(Kind &kind, PyTypeObject *type);

// Stores `value` (borrowed) in `self`'s field `i` of `kind`, by offset when `shape` is direct.
inline int put(PyObject *self, const Kind &kind, const Shape &shape, int i, PyObject *value) {
    const Slot &slot = kind.slots[i];
    if (!shape.direct) return PyObject_SetAttr(self, slot.name, value);
    set_field(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + slot.offset), value);
    return 0;
}

// `self`'s field `i` of `kind` (a new reference, or null with an error set): from its slot when
// `shape` is direct and the slot is set, else by attribute, which also raises for an unset slot.
inline Ref take(PyObject *self, const Kind &kind, const Shape &shape, int i) {
    const Slot &slot = kind.slots[i];
    if (shape.direct) {
        PyObject *value =
            *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + slot.offset);
        if (value) return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetAttr(self, slot.name));
}

}  // namespace qm::contents
