// Header storage and lookup on the pair list. Lookups lower-case the key once, intern it, and
// scan the list comparing names by identity first: interned names are shared objects, so the
// common match is a pointer comparison and the lower-case comparison is only the fallback.
#include <Python.h>

#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/single_header.hpp"
#include "core/ascii_case.h"
#include "core/intern.h"
#include "messages/message.hpp"
#include "messages/sequence.hpp"
#include "messages/state.hpp"

namespace qm::messages {

PyObject *intern_header_name_bytes(PyObject *name) {
    if (name == Py_None) return Py_NewRef(name);
    if (!PyBytes_Check(name)) return expected_type("bytes", name);
    PyObject *shared = get_interned_header_name_bytes(PyBytes_AS_STRING(name),
                                                      size_t(PyBytes_GET_SIZE(name)));
    return Py_NewRef(shared ? shared : name);
}

PyObject *normalise_headers(PyObject *headers) {
    if (headers == Py_None) return PyList_New(0);
    Ref seq = Ref::steal(PySequence_Fast(headers, "headers must be a list"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *h = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject *entry = nullptr;
        if (PyTuple_Check(h) && PyTuple_GET_SIZE(h) == 2 && PyBytes_Check(PyTuple_GET_ITEM(h, 0))) {
            PyObject *name = PyTuple_GET_ITEM(h, 0);
            if (!PyBytes_CheckExact(name)) return expected_type("bytes", name);
            PyObject *shared =
                get_interned_header_name_bytes(PyBytes_AS_STRING(name), size_t(PyBytes_GET_SIZE(name)));
            // A pair already holding its final name is immutable: it is taken over, not copied.
            if (PyTuple_CheckExact(h) && (!shared || shared == name)) {
                entry = Py_NewRef(h);
            } else {
                entry = PyTuple_Pack(2, shared ? shared : name, PyTuple_GET_ITEM(h, 1));
                if (!entry) return nullptr;
            }
        } else {
            entry = Py_NewRef(h);
        }
        PyList_SET_ITEM(list.get(), i, entry);
    }
    return list.release();
}

namespace {

// The lookup key of a lookup: the interned form of `key.lower()`. New reference. Allocates only
// for a key that has capitals and is not a known name.
PyObject *lookup_key(PyObject *key) {
    if (!PyBytes_CheckExact(key)) {
        Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(key, S.n_lower));
        if (!lowered) return nullptr;
        // The scans read the key's bytes directly: a `lower` that gives None (which
        // intern_header_name_bytes passes through) must fail here, not there.
        if (!PyBytes_Check(lowered.get())) return expected_type("bytes", lowered.get());
        return intern_header_name_bytes(lowered.get());
    }
    const char *s = PyBytes_AS_STRING(key);
    const size_t n = size_t(PyBytes_GET_SIZE(key));
    if (simd_is_ascii_lowercase(s, n)) {
        PyObject *shared = get_interned_header_name_bytes(s, n);
        return Py_NewRef(shared ? shared : key);
    }
    char small[128];
    if (n <= sizeof small) {
        simd_lowercase_ascii(s, small, n);
        if (PyObject *shared = get_interned_header_name_bytes(small, n)) return Py_NewRef(shared);
        return PyBytes_FromStringAndSize(small, Py_ssize_t(n));
    }
    Ref lowered = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
    if (!lowered) return nullptr;
    simd_lowercase_ascii(s, PyBytes_AS_STRING(lowered.get()), n);
    return intern_header_name_bytes(lowered.get());
}

// 1 when the stored `name` matches the lookup key, 0 when not, -1 with an error set. A None name
// (a pair stored by a caller with no name) matches nothing.
inline int name_matches(PyObject *name, PyObject *key) {
    if (name == key) return 1;
    if (!PyBytes_Check(name)) {
        if (name == Py_None) return 0;
        return expected_type("bytes", name);
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(name);
    if (n != PyBytes_GET_SIZE(key)) return 0;
    // Byte by byte: names of the key's length mostly differ in their first byte, where this
    // stops, while a word-at-a-time comparison would pay for the whole word first.
    const auto *a = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name));
    const auto *b = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(key));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (ascii_lower(a[i]) != b[i]) return 0;
    return 1;
}

// The message's pair list, or null with the error of iterating what is there instead.
PyObject *raw_list(PyObject *self) {
    PyObject *raw = as_message(self)->_raw_headers;
    if (PyList_CheckExact(raw) || PyList_Check(raw)) return raw;
    if (raw == Py_None || raw == nullptr) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return nullptr;
    }
    return expected_type("list", raw);
}

// Scans the pairs for `key`, calling `on_match(pair)` for each match (1 stops the scan, 0 goes
// on, -1 fails). Every element scanned must be a tuple. Returns 0 or -1.
template <class F>
int scan_pairs(PyObject *self, PyObject *key, F on_match) {
    PyObject *raw = raw_list(self);
    if (!raw) return -1;
    Ref list = Ref::borrow(raw);  // code run during the scan may replace the field
    Ref lkey = Ref::steal(lookup_key(key));
    if (!lkey) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        PyObject *pair = PyList_GET_ITEM(raw, i);
        if (!PyTuple_CheckExact(pair)) {
            if (pair == Py_None) {
                PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
                return -1;
            }
            return expected_type("tuple", pair);
        }
        if (PyTuple_GET_SIZE(pair) < 1) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return -1;
        }
        const int m = name_matches(PyTuple_GET_ITEM(pair, 0), lkey.get());
        if (m < 0) return -1;
        if (!m) continue;
        if (PyTuple_GET_SIZE(pair) < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return -1;
        }
        Ref hold = Ref::borrow(pair);
        const int r = on_match(pair);
        if (r != 0) return r < 0 ? -1 : 0;
    }
    return 0;
}

// Removes the first element of `list` equal to `x` (the list's remove-by-equality).
int list_remove(PyObject *list, PyObject *x) {
    Ref hold = Ref::borrow(list);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        const int eq = PyObject_RichCompareBool(item.get(), x, Py_EQ);
        if (eq < 0) return -1;
        if (eq && i < PyList_GET_SIZE(list)) return PyList_SetSlice(list, i, i + 1, nullptr);
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}

// `self._raw_headers.remove(pair)`.
int remove_pair(PyObject *self, PyObject *pair) {
    PyObject *raw = as_message(self)->_raw_headers;
    if (!PyList_Check(raw)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'",
                     Py_TYPE(raw)->tp_name, "remove");
        return -1;
    }
    return list_remove(raw, pair);
}

}  // namespace

int append_pair(PyObject *self, PyObject *name, PyObject *value) {
    PyObject *raw = as_message(self)->_raw_headers;
    if (raw == Py_None || raw == nullptr) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "append");
        return -1;
    }
    Ref pair = Ref::steal(PyTuple_Pack(2, name, value));
    if (!pair) return -1;
    if (PyList_Check(raw)) return PyList_Append(raw, pair.get());
    Ref hold = Ref::borrow(raw);
    Ref r = Ref::steal(PyObject_CallMethod(raw, "append", "O", pair.get()));
    return r ? 0 : -1;
}

// ---- bodies ------------------------------------------------------------------------------

PyObject *get_headers_impl(PyObject *self, PyObject *key) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    PyObject *o = out.get();
    if (scan_pairs(self, key, [o](PyObject *pair) {
            return PyList_Append(o, PyTuple_GET_ITEM(pair, 1));
        }) < 0)
        return nullptr;
    return out.release();
}

PyObject *get_first_header_impl(PyObject *self, PyObject *key) {
    PyObject *found = nullptr;
    if (scan_pairs(self, key, [&found](PyObject *pair) {
            PyObject *value = PyTuple_GET_ITEM(pair, 1);
            if (!check_value(value, &PyBytes_Type)) return -1;
            found = Py_NewRef(value);
            return 1;
        }) < 0)
        return nullptr;
    return found ? found : Py_NewRef(Py_None);
}

PyObject *get_headers_tuples(PyObject *self, PyObject *key) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    PyObject *o = out.get();
    if (scan_pairs(self, key, [o](PyObject *pair) { return PyList_Append(o, pair); }) < 0)
        return nullptr;
    return out.release();
}

int _has_header(PyObject *self, PyObject *key) {
    PyObject *raw = raw_list(self);
    if (!raw) return -1;
    Ref list = Ref::borrow(raw);
    Ref lkey = Ref::steal(lookup_key(key));
    if (!lkey) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(raw, i));
        Ref name, value;
        if (unpack2(item.get(), name, value) < 0) return -1;
        if (!check_value(name.get(), &PyBytes_Type) || !check_value(value.get(), &PyBytes_Type))
            return -1;
        const int m = name_matches(name.get(), lkey.get());
        if (m) return m;
    }
    return 0;
}

int remove_header_impl(PyObject *self, PyObject *key) {
    Ref matches = Ref::steal(get_headers_tuples(self, key));
    if (!matches) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(matches.get()); ++i)
        if (remove_pair(self, PyList_GET_ITEM(matches.get(), i)) < 0) return -1;
    return 0;
}

int _add_header(PyObject *self, PyObject *key, PyObject *value) {
    Ref name = Ref::steal(intern_header_name_bytes(key));
    if (!name) return -1;
    return append_pair(self, name.get(), value);
}

int _add_header_if_missing(PyObject *self, PyObject *key, PyObject *value) {
    const int has = _has_header(self, key);
    if (has < 0) return -1;
    return has ? 0 : _add_header(self, key, value);
}

int remove_headers(PyObject *self, PyObject *headers) {
    if (headers == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    Ref seq = Ref::steal(PySequence_Fast(headers, "argument must be iterable"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref h = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!check_value(h.get(), &PyTuple_Type) || remove_pair(self, h.get()) < 0) return -1;
    }
    return 0;
}

PyObject *get_single_header_impl(PyObject *self, PyObject *key) {
    Ref values = Ref::steal(get_headers(self, key));
    if (!values) return nullptr;
    return single_header_value(values.get());
}

int add_header_impl(PyObject *self, PyObject *key, PyObject *value) {
    return _add_header(self, key, value);
}

int set_header_impl(PyObject *self, PyObject *key, PyObject *value) {
    if (remove_header(self, key) < 0) return -1;
    return _add_header(self, key, value);
}

int has_header_impl(PyObject *self, PyObject *key) { return _has_header(self, key); }

// ---- entry points ------------------------------------------------------------------------

static OverrideSite get_headers_site{"get_headers"};
static OverrideSite get_first_header_site{"get_first_header"};
static OverrideSite get_single_header_site{"get_single_header"};
static OverrideSite remove_header_site{"remove_header"};
static OverrideSite has_header_site{"has_header"};
static OverrideSite add_header_site{"add_header"};
static OverrideSite set_header_site{"set_header"};

PyObject *get_headers(PyObject *self, PyObject *key) {
    return dispatch_object(is_builtin_message(self), get_headers_site, &MessageType,
                           Returns{&PyList_Type}, get_headers_impl, self, key);
}
PyObject *get_first_header(PyObject *self, PyObject *key) {
    return dispatch_object(is_builtin_message(self), get_first_header_site, &MessageType,
                           Returns{&PyBytes_Type}, get_first_header_impl, self, key);
}
PyObject *get_single_header(PyObject *self, PyObject *key) {
    return dispatch_object(is_builtin_message(self), get_single_header_site, &MessageType,
                           Returns{&PyBytes_Type}, get_single_header_impl, self, key);
}
int remove_header(PyObject *self, PyObject *key) {
    return dispatch_void(is_builtin_message(self), remove_header_site, &MessageType,
                         remove_header_impl, self, key);
}
int has_header(PyObject *self, PyObject *key) {
    return dispatch_bool(is_builtin_message(self), has_header_site, &MessageType, has_header_impl,
                         self, key);
}
int add_header(PyObject *self, PyObject *key, PyObject *value) {
    return dispatch_void(is_builtin_message(self), add_header_site, &MessageType, add_header_impl,
                         self, key, value);
}
int set_header(PyObject *self, PyObject *key, PyObject *value) {
    return dispatch_void(is_builtin_message(self), set_header_site, &MessageType, set_header_impl,
                         self, key, value);
}

}  // namespace qm::messages
