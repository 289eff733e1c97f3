// The header engine's names and keys: lower-casing and interning a header name, and the
// normalised form of a lookup key, for the scans of header_entries.hpp. Names are stored lower
// case, and as the core library's shared object where it knows the name, so that most later
// comparisons are pointer tests. The common case (an already lower-case name) allocates nothing.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "core/ascii_case.h"
#include "core/intern.h"

namespace qm::header_engine {

// The lower-case (and, where known, interned) form of a lookup key, as scans use it: its text and
// length, and the object when there is one (the key itself, a shared object, or None). A short
// key with capitals that the core library does not know is lowered into `buffer`, so a lookup
// allocates nothing unless a generic comparison asks for the object.
struct Key {
    PyObject *object = nullptr;  // borrowed (or held by `owned`); null until needed
    const char *text = nullptr;
    Py_ssize_t length = -1;  // -1 for None
    Ref owned;
    char buffer[64];

    bool is_none() const { return length < 0; }
    // The key as an object, made on demand. Null with an error set.
    PyObject *as_object() {
        if (!object) {
            owned = Ref::steal(PyBytes_FromStringAndSize(text, length));
            object = owned.get();
        }
        return object;
    }
};
// The interned str "lower" (a borrowed reference), or null with an error set.
inline PyObject *lower_name() {
    static PyObject *name = nullptr;
    if (!name) name = PyUnicode_InternFromString("lower");
    return name;
}

inline PyObject *lookup(PyObject *bytes) {
    return get_interned_header_name_bytes(PyBytes_AS_STRING(bytes),
                                          static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

inline bool is_lower(PyObject *bytes) {
    return simd_is_ascii_lowercase(PyBytes_AS_STRING(bytes),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes))) != 0;
}

// A new bytes object holding `name` with ASCII capitals lowered.
inline PyObject *lower_copy(PyObject *name) {
    const Py_ssize_t n = PyBytes_GET_SIZE(name);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, n);
    if (!out) return nullptr;
    simd_lowercase_ascii(PyBytes_AS_STRING(name), PyBytes_AS_STRING(out), static_cast<size_t>(n));
    return out;
}

// Lowers a name that has capitals, then prefers the shared object for the result.
inline PyObject *lower_and_intern(PyObject *name) {
    Ref low = Ref::steal(lower_copy(name));
    if (!low) return nullptr;
    if (PyObject *shared = lookup(low.get())) return Py_NewRef(shared);
    return low.release();
}

inline PyObject *simd_lower_bytes(PyObject *name) {
    if (name == Py_None || PyBytes_GET_SIZE(name) == 0 || is_lower(name)) return Py_NewRef(name);
    return lower_copy(name);
}

// Lookups usually pass the same few key objects again and again (constants in the caller's
// code), so the normalised form of recent lower-case keys is remembered. A slot is found by the
// key's address and keeps a reference to the key, so that no other object can appear at that
// address while the slot names it: the address alone identifies the key. Results are either the
// key itself or one of the core library's shared objects, which live as long as the process.
constexpr Py_ssize_t kCachedLength = 40;  // longer keys are not kept alive by the cache
constexpr size_t kSlots = 64;

struct KeySlot {
    PyObject *key = nullptr;     // owned
    PyObject *shared = nullptr;  // null: the key is its own normalised form
};

inline KeySlot key_cache[kSlots];

inline KeySlot &slot_for(PyObject *key) {
    const auto address = reinterpret_cast<uintptr_t>(key);
    return key_cache[((address >> 4) ^ (address >> 10)) & (kSlots - 1)];
}

// The remembered normal form of `key`, or null when it is not remembered.
inline PyObject *remembered(PyObject *key) {
    const KeySlot &slot = slot_for(key);
    if (slot.key == key) return slot.shared ? slot.shared : key;
    return nullptr;
}

// Remembers the normal form of the lower-case `key`. Replacing a slot releases a bytes object,
// which runs no Python code.
inline void remember(PyObject *key, PyObject *shared) {
    if (PyBytes_GET_SIZE(key) > kCachedLength) return;
    KeySlot &slot = slot_for(key);
    Py_XSETREF(slot.key, Py_NewRef(key));
    slot.shared = shared;
}

// `name` (bytes or None) lower-cased and, where the core library knows it, as its shared object:
// how `Headers` stores a name. New reference.
inline PyObject *normalise_name(PyObject *name) {
    if (name == Py_None) return Py_NewRef(name);
    // Only lower-case names are remembered, and for those this function and normalise_key agree.
    if (PyObject *known = remembered(name)) return Py_NewRef(known);
    if (PyObject *shared = lookup(name)) return Py_NewRef(shared);
    if (is_lower(name)) return Py_NewRef(name);
    return lower_and_intern(name);
}

inline void set_object(Key &out, PyObject *object) {
    out.object = object;
    out.text = PyBytes_AS_STRING(object);
    out.length = PyBytes_GET_SIZE(object);
}

// normalise_key for a key not remembered: out of line, so that the usual lookup saves no
// registers for it.
[[gnu::noinline]] inline bool normalise_new_key(PyObject *key, Key &out) {
    const Py_ssize_t n = PyBytes_GET_SIZE(key);
    const char *data = PyBytes_AS_STRING(key);
    if (is_lower(key)) {
        PyObject *shared = lookup(key);
        remember(key, shared);
        set_object(out, shared ? shared : key);
        return true;
    }
    if (n <= static_cast<Py_ssize_t>(sizeof out.buffer)) {
        simd_lowercase_ascii(data, out.buffer, static_cast<size_t>(n));
        if (PyObject *shared = get_interned_header_name_bytes(out.buffer, static_cast<size_t>(n))) {
            set_object(out, shared);
        } else {
            out.text = out.buffer;
            out.length = n;
        }
        return true;
    }
    out.owned = Ref::steal(lower_and_intern(key));
    if (!out.owned) return false;
    set_object(out, out.owned.get());
    return true;
}

// Fills `out` for `key` (exactly bytes, or None): equivalent to normalise_name(key), with the
// lower-casing done in `out.buffer` where it can be. False with an error set.
inline bool normalise_key(PyObject *key, Key &out) {
    if (key == Py_None) {
        out.object = key;
        return true;
    }
    if (PyObject *known = remembered(key)) {
        set_object(out, known);
        return true;
    }
    return normalise_new_key(key, out);
}

// Fills `out` for a key of any type, as a message's lookups take it: exact bytes as above, and
// anything else (callers in other modules may pass it) by its own `lower()`, whose result must be
// bytes. (A message's lookup of None therefore fails, where `Headers` matches None names: each
// type's documented rule.) False with an error set.
inline bool normalise_any_key(PyObject *key, Key &out) {
    if (PyBytes_CheckExact(key)) return normalise_key(key, out);
    PyObject *lower = lower_name();
    if (!lower) return false;
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(key, lower));
    if (!lowered) return false;
    if (!PyBytes_Check(lowered.get())) {
        expected_type("bytes", lowered.get());
        return false;
    }
    out.owned = Ref::steal(normalise_name(lowered.get()));
    if (!out.owned) return false;
    set_object(out, out.owned.get());
    return true;
}

}  // namespace qm::header_engine
