// Header-name normalisation. Names are stored lower case, and as the core library's shared
// object where it knows the name, so that most later comparisons are pointer tests. The common
// case (an already lower-case name) allocates nothing.
#include <cstdint>
#include <cstring>

#include "headers/internal.hpp"

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "core/ascii_case.h"
#include "core/intern.h"

namespace qm::headers {

namespace {

inline PyObject *lookup(PyObject *bytes) {
    return get_interned_header_name_bytes(PyBytes_AS_STRING(bytes),
                                          static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

inline bool is_lower(PyObject *bytes) {
    return simd_is_ascii_lowercase(PyBytes_AS_STRING(bytes),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes))) != 0;
}

// A new bytes object holding `name` with ASCII capitals lowered.
PyObject *lower_copy(PyObject *name) {
    const Py_ssize_t n = PyBytes_GET_SIZE(name);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, n);
    if (!out) return nullptr;
    simd_lowercase_ascii(PyBytes_AS_STRING(name), PyBytes_AS_STRING(out), static_cast<size_t>(n));
    return out;
}

// Lowers a name that has capitals, then prefers the shared object for the result.
PyObject *lower_and_intern(PyObject *name) {
    Ref low = Ref::steal(lower_copy(name));
    if (!low) return nullptr;
    if (PyObject *shared = lookup(low.get())) return Py_NewRef(shared);
    return low.release();
}

}  // namespace

PyObject *simd_lower_bytes(PyObject *name) {
    if (name == Py_None || PyBytes_GET_SIZE(name) == 0 || is_lower(name)) return Py_NewRef(name);
    return lower_copy(name);
}

// Lookups usually pass the same few key objects again and again (constants in the caller's
// code), so the normalised form of recent lower-case keys is remembered. A slot is found by the
// key's address and trusted only if its text matches too, so a new object at a recycled address
// cannot be mistaken for the old one. Slots hold no references: their results are either the
// key itself or one of the core library's shared objects, which live as long as the process.
namespace {

constexpr Py_ssize_t kCachedLength = 40;
constexpr size_t kSlots = 64;

struct KeySlot {
    const void *key = nullptr;
    PyObject *shared = nullptr;  // null: the key is its own normalised form
    Py_ssize_t length = -1;
    char text[kCachedLength];
};

KeySlot key_cache[kSlots];

inline KeySlot &slot_for(PyObject *key) {
    const auto address = reinterpret_cast<uintptr_t>(key);
    return key_cache[((address >> 4) ^ (address >> 10)) & (kSlots - 1)];
}

}  // namespace

// The remembered normal form of a lower-case `key`, or null when it is not remembered.
inline PyObject *remembered(PyObject *key) {
    const KeySlot &slot = slot_for(key);
    const Py_ssize_t n = PyBytes_GET_SIZE(key);
    if (slot.key == key && slot.length == n && same_bytes(slot.text, PyBytes_AS_STRING(key), n))
        return slot.shared ? slot.shared : key;
    return nullptr;
}

PyObject *intern_header_name_bytes(PyObject *name) {
    if (name == Py_None) return Py_NewRef(name);
    // Only lower-case names are remembered, and for those this function and normalise_key agree.
    if (PyObject *known = remembered(name)) return Py_NewRef(known);
    if (PyObject *shared = lookup(name)) return Py_NewRef(shared);
    if (is_lower(name)) return Py_NewRef(name);
    return lower_and_intern(name);
}

namespace {

inline void set_object(Key &out, PyObject *object) {
    out.object = object;
    out.text = PyBytes_AS_STRING(object);
    out.length = PyBytes_GET_SIZE(object);
}

}  // namespace

// Equivalent to intern_header_name_bytes(simd_lower_bytes(key)), with one case test instead of
// two on the common path.
bool normalise_key(PyObject *key, Key &out) {
    if (key == Py_None) {
        out.object = key;
        return true;
    }
    if (PyObject *known = remembered(key)) {
        set_object(out, known);
        return true;
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(key);
    const char *data = PyBytes_AS_STRING(key);
    if (is_lower(key)) {
        PyObject *shared = lookup(key);
        if (n <= kCachedLength) {
            KeySlot &slot = slot_for(key);
            slot.key = key;
            slot.shared = shared;
            slot.length = n;
            std::memcpy(slot.text, data, static_cast<size_t>(n));
        }
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

PyObject *capi_simd_lower_bytes(PyObject *name) {
    if (!check_value(name, &PyBytes_Type)) return nullptr;
    return simd_lower_bytes(name);
}

PyObject *capi_intern_header_name_bytes(PyObject *name) {
    if (!check_value(name, &PyBytes_Type)) return nullptr;
    return intern_header_name_bytes(name);
}

}  // namespace qm::headers
