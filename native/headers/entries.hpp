// Reading stored entries. The entry list is adopted from callers without validation, so every
// scan checks what it reads and keeps a reference to whatever it holds across code that may run
// Python (comparisons of non-bytes names, allocations that can trigger a collection).
#pragma once

#include <Python.h>

#include <cstring>

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"

namespace qm::headers {

// Scans that index entries (`entry[0]`, `entry[1]`) take exact tuples; anything else fails the
// way indexing it would. Returns false with an error set.
inline bool check_indexable(PyObject *entry, Py_ssize_t index) {
    if (PyTuple_CheckExact(entry)) {
        if (PyTuple_GET_SIZE(entry) > index) return true;
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    if (entry == Py_None)
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    else
        expected_type("tuple", entry);
    return false;
}

// Exact equality of two names that are bytes or None (what `contains` and `keys` compare).
inline bool same_name(PyObject *a, PyObject *b) {
    if (a == b) return true;
    if (!PyBytes_CheckExact(a) || !PyBytes_CheckExact(b)) return false;
    const Py_ssize_t n = PyBytes_GET_SIZE(a);
    return n == PyBytes_GET_SIZE(b) && same_bytes(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), n);
}

// A 2-tuple of bytes-or-None items: what nearly every entry is. Such an entry unpacks without
// running code, so scans read it without taking references.
inline bool plain_pair(PyObject *entry) {
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) return false;
    PyObject *name = PyTuple_GET_ITEM(entry, 0);
    PyObject *value = PyTuple_GET_ITEM(entry, 1);
    return (PyBytes_CheckExact(name) || name == Py_None) &&
           (PyBytes_CheckExact(value) || value == Py_None);
}

// Whether a stored name matches the normalised key `k` (lower-case bytes or None): identity,
// then bytes equality, then equality of the lowered name. Names that are neither bytes nor None
// (possible in an adopted list) are compared the generic way, which may run Python code, so the
// caller must own a reference to the entry holding `name`. 1, 0 or -1 with an error set.
int name_matches_slow(PyObject *name, PyObject *k);

inline int name_matches(PyObject *name, PyObject *k) {
    if (name == k) return 1;
    if (PyBytes_CheckExact(name)) {
        if (k == Py_None || PyBytes_GET_SIZE(name) != PyBytes_GET_SIZE(k)) return 0;
        return lowered_equal(PyBytes_AS_STRING(name), PyBytes_AS_STRING(k), PyBytes_GET_SIZE(k));
    }
    // A None name matches only a None key.
    if (name == Py_None) return 0;
    return name_matches_slow(name, k);
}

// Owned references gathered by a scan, in order: the first few inline, the rest in a list, so
// the usual one or two results cost no allocation.
class Collected {
  public:
    Collected() = default;
    Collected(const Collected &) = delete;
    Collected &operator=(const Collected &) = delete;
    ~Collected() {
        for (Py_ssize_t i = 0; i < count_ && i < kInline; ++i) Py_DECREF(inline_[i]);
    }

    // Keeps a reference of its own to `o`. False with an error set.
    bool add(PyObject *o) {
        if (count_ < kInline) {
            inline_[count_++] = Py_NewRef(o);
            return true;
        }
        Ref held = Ref::borrow(o);  // the list's allocation may run code
        if (!spill_) {
            spill_ = Ref::steal(PyList_New(0));
            if (!spill_) return false;
        }
        if (PyList_Append(spill_.get(), held.get()) < 0) return false;
        ++count_;
        return true;
    }

    Py_ssize_t size() const { return count_; }

    // Borrowed; valid while this object lives.
    PyObject *at(Py_ssize_t i) const {
        return i < kInline ? inline_[i] : PyList_GET_ITEM(spill_.get(), i - kInline);
    }

    PyObject *to_tuple() const {
        PyObject *tuple = PyTuple_New(count_);
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < count_; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(at(i)));
        return tuple;
    }

  private:
    static constexpr Py_ssize_t kInline = 8;
    PyObject *inline_[kInline];
    Py_ssize_t count_ = 0;
    Ref spill_;
};

// `a, b = entry` with the interpreter's messages. Fills two owned references; false with an
// error set.
bool unpack_pair(PyObject *entry, Ref &a, Ref &b);

// The same with the bytes-or-None check of both items that the unpacking scans make.
inline bool unpack_bytes_pair(PyObject *entry, Ref &name, Ref &value) {
    return unpack_pair(entry, name, value) && check_value(name.get(), &PyBytes_Type) &&
           check_value(value.get(), &PyBytes_Type);
}

}  // namespace qm::headers
