// The header engine's scan of an entry list: the (name, value) pairs that `Headers` keeps and that
// a message keeps in `_raw_headers`, searched by one implementation for both. Lists are adopted
// from callers without validation, so every scan checks what it reads and keeps a reference to
// whatever it holds across code that may run Python (comparisons of non-bytes names, allocations
// that can trigger a collection). Keys come normalised (header_keys.hpp).
#pragma once

#include <Python.h>

#include <cstring>

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/header_keys.hpp"
#include "common/ref.hpp"
#include "common/unpack.hpp"

namespace qm::header_engine {

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
inline int name_matches_slow(PyObject *name, PyObject *k) {
    const int eq = PyObject_RichCompareBool(name, k, Py_EQ);
    if (eq != 0) return eq;
    PyObject *lower = lower_name();
    if (!lower) return -1;
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name, lower));
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), k, Py_EQ);
}

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

// The same with the bytes-or-None check of both items that the unpacking scans make.
inline bool unpack_bytes_pair(PyObject *entry, Ref &name, Ref &value) {
    return unpack_pair(entry, name, value) && check_value(name.get(), &PyBytes_Type) &&
           check_value(value.get(), &PyBytes_Type);
}

// The key's text, prepared for comparing it with many names of its length: its first and last
// words (eight bytes, or four for keys of four to seven) are read once. Stored names are nearly
// always lower case already, so a word is compared as it is first and lowered only when that
// fails.
class KeyText {
  public:
    KeyText(const char *text, Py_ssize_t length) : text_(text), length_(length) {
        if (length >= 8) {
            head_ = load64(text);
            tail_ = load64(text + length - 8);
        } else if (length >= 4) {
            head_ = load32(text);
            tail_ = load32(text + length - 4);
        }
    }

    // Whether `name` (`length` bytes) equals the key, or with kLowered, equals it once lowered.
    template <bool kLowered>
    bool matches(const char *name) const {
        const Py_ssize_t n = length_;
        if (n >= 8) {
            if (!same_word<kLowered>(load64(name), head_) ||
                !same_word<kLowered>(load64(name + n - 8), tail_))
                return false;
            // Longer names have a middle; its last word may overlap the tail, which is harmless.
            for (Py_ssize_t i = 8; i + 8 < n; i += 8)
                if (!same_word<kLowered>(load64(name + i), load64(text_ + i))) return false;
            return true;
        }
        if (n >= 4)
            return same_word<kLowered>(load32(name), head_) &&
                   same_word<kLowered>(load32(name + n - 4), tail_);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto c = static_cast<unsigned char>(name[i]);
            if ((kLowered ? ascii_lower(c) : c) != static_cast<unsigned char>(text_[i])) return false;
        }
        return true;
    }

    Py_ssize_t length() const { return length_; }

  private:
    template <bool kLowered>
    static bool same_word(uint64_t name, uint64_t key) {
        // Setting bit 5 of every byte cannot tell a lowered match apart, but it rejects most
        // other names at once: lowering is only computed for those that pass.
        constexpr uint64_t bit5 = 0x2020202020202020ull;
        return name == key || (kLowered && (name | bit5) == (key | bit5) && lower64(name) == key);
    }

    const char *text_;
    Py_ssize_t length_;
    uint64_t head_ = 0;
    uint64_t tail_ = 0;
};

// The first index from `i` on whose entry is not plainly a tuple with a bytes name of a length
// other than `k_length`: a possible match, or an entry that needs a closer look. Reads only. Out
// of line and calling nothing, the loop has the registers to itself: an entry costs six loads and
// no spills. With `kPlainPairs` (for exact comparisons, which must see every entry whose
// unpacking may fail) only plain pairs are passed over.
template <bool kPlainPairs = false>
[[gnu::noinline]] Py_ssize_t skip_other_lengths(PyObject *const *items, Py_ssize_t i,
                                                Py_ssize_t n, Py_ssize_t k_length) {
    PyTypeObject *tuple_type = &PyTuple_Type;
    PyTypeObject *bytes_type = &PyBytes_Type;
    // Opaque to the compiler, so that both stay in registers instead of being reloaded each round.
    __asm__("" : "+r"(tuple_type), "+r"(bytes_type));
    for (; i < n; ++i) {
        PyObject *entry = items[i];
        if (Py_TYPE(entry) != tuple_type || (kPlainPairs ? Py_SIZE(entry) != 2 : Py_SIZE(entry) < 1))
            [[unlikely]] return i;
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (Py_TYPE(name) != bytes_type || Py_SIZE(name) == k_length) return i;
        if constexpr (kPlainPairs) {
            PyObject *value = PyTuple_GET_ITEM(entry, 1);
            if (Py_TYPE(value) != bytes_type && value != Py_None) [[unlikely]]
                return i;
        }
    }
    return n;
}

// Where reading plain entries stopped: at `index`, an entry whose name matches (`matched`), or
// one that is not a tuple with a bytes name (left to the general treatment); `index` is the
// list's length when no entry from the start on can match.
struct Stop {
    Py_ssize_t index;
    bool matched;
};

// The first entry of `items[i, n)` whose bytes name matches a bytes key (`k_object`, the key's
// object when it has one, and `k`, its text), passing over every plain entry that does not. With
// `kPlainPairs`, as `contains` reads: only plain pairs are read, and names compare exactly.
template <bool kPlainPairs = false>
inline Stop find_plain(PyObject *const *items, Py_ssize_t i, Py_ssize_t n, PyObject *k_object,
                       const KeyText &k) {
    for (;; ++i) {
        // A bytes key matches only names of its own length, so most entries are passed over
        // without a closer look. (Identity implies equal length.)
        i = skip_other_lengths<kPlainPairs>(items, i, n, k.length());
        if (i >= n) return {n, false};
        PyObject *entry = items[i];
        if (kPlainPairs ? !plain_pair(entry)
                        : !PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) < 1) [[unlikely]]
            return {i, false};
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (name == k_object) return {i, true};
        if (!PyBytes_CheckExact(name)) return {i, false};
        if (k.matches<!kPlainPairs>(PyBytes_AS_STRING(name))) return {i, true};
    }
}

// Calls `on_match(entry)` (a borrowed entry that the list still holds) for every entry whose name
// matches the normalised key; `on_match` returns 1 to go on, 0 to stop, -1 on error. Unless
// `kMatchRunsNoCode`, `on_match` may allocate (and so run a collection, and any code a finaliser
// runs).
template <bool kMatchRunsNoCode = false, class OnMatch>
int scan(PyObject *list, Key &k, OnMatch on_match) {
    // Comparing bytes runs no Python code, so the list is only held once something else may run
    // (code that could replace the list and free it).
    Ref held_list;
    const bool k_is_bytes = !k.is_none();
    const KeyText k_text(k.text, k.length);
    for (Py_ssize_t i = 0;; ++i) {
        if (k_is_bytes) {
            const Stop stop = find_plain(reinterpret_cast<PyListObject *>(list)->ob_item, i,
                                         PyList_GET_SIZE(list), k.object, k_text);
            i = stop.index;
            if (stop.matched) {
                if (!kMatchRunsNoCode && !held_list) held_list = Ref::borrow(list);
                const int r = on_match(PyList_GET_ITEM(list, i));
                if (r <= 0) return r;
                continue;
            }
        }
        if (i >= PyList_GET_SIZE(list)) break;
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) < 1) [[unlikely]] {
            check_indexable(entry, 0);
            return -1;
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (name != k.object) {
            // Bytes names reach here only for a None key, which they do not match; nor does a
            // None name match a bytes key.
            if (PyBytes_CheckExact(name) || name == Py_None) continue;
            if (!held_list) held_list = Ref::borrow(list);
            Ref held = Ref::borrow(entry);
            PyObject *k_object = k.as_object();
            if (!k_object) return -1;
            const int m = name_matches_slow(name, k_object);
            if (m < 0) return -1;
            if (m == 0) continue;
            // The comparison may have changed the list; the entry we hold is still the match.
            const int r = on_match(held.get());
            if (r <= 0) return r;
            continue;
        }
        if (!kMatchRunsNoCode && !held_list) held_list = Ref::borrow(list);
        const int r = on_match(entry);
        if (r <= 0) return r;
    }
    return 0;
}

// The usual first-value lookup, without normalising the key or taking references: a key whose
// normal form is remembered, and plain entries up to the first match. Returns that match's value
// (borrowed), Py_None when nothing can match, or null (no error set) when the general scan must
// decide: a key not remembered, an entry that is not plain, a value that is not bytes or None.
inline PyObject *first_value_quick(PyObject *list, PyObject *key) {
    PyObject *k_object = remembered(key);
    if (!k_object) return nullptr;
    PyObject *const *items = reinterpret_cast<PyListObject *>(list)->ob_item;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    const Stop stop = find_plain(items, 0, n, k_object,
                                 KeyText(PyBytes_AS_STRING(k_object), PyBytes_GET_SIZE(k_object)));
    if (stop.index >= n) return Py_None;
    if (!stop.matched || PyTuple_GET_SIZE(items[stop.index]) < 2) return nullptr;
    PyObject *value = PyTuple_GET_ITEM(items[stop.index], 1);
    return PyBytes_CheckExact(value) || value == Py_None ? value : nullptr;
}

// The usual `contains`, the same way: 1 or 0, or -1 (no error set) when the general scan must
// decide (a key not remembered, an entry that is not a plain pair with a bytes name).
inline int contains_quick(PyObject *list, PyObject *key) {
    PyObject *k_object = remembered(key);
    if (!k_object) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    const Stop stop =
        find_plain<true>(reinterpret_cast<PyListObject *>(list)->ob_item, 0, n, k_object,
                         KeyText(PyBytes_AS_STRING(k_object), PyBytes_GET_SIZE(k_object)));
    if (stop.matched) return 1;
    return stop.index >= n ? 0 : -1;
}

// `values.remove(entry)`: drops the first element equal to `entry`. Two plain pairs are equal
// when their items are (identity or equal bytes), which needs no generic comparison.
inline int list_remove(PyObject *values, PyObject *entry) {
    const bool entry_plain = plain_pair(entry);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        PyObject *item = PyList_GET_ITEM(values, i);
        int eq;
        if (item == entry) {
            eq = 1;
        } else if (entry_plain && plain_pair(item)) {
            eq = same_name(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(entry, 0)) &&
                 same_name(PyTuple_GET_ITEM(item, 1), PyTuple_GET_ITEM(entry, 1));
        } else {
            Ref held = Ref::borrow(item);
            eq = PyObject_RichCompareBool(held.get(), entry, Py_EQ);
            if (eq < 0) return -1;
            if (eq && i >= PyList_GET_SIZE(values)) break;  // shrunk under the comparison
        }
        if (eq) return PyList_SetSlice(values, i, i + 1, nullptr);
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}

// `name == k` for a name that is bytes or None: what `contains` compares.
inline bool is_key(PyObject *name, const Key &k) {
    if (name == k.object) return true;
    return PyBytes_CheckExact(name) && PyBytes_GET_SIZE(name) == k.length &&
           same_bytes(PyBytes_AS_STRING(name), k.text, k.length);
}

}  // namespace qm::header_engine
