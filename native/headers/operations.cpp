// The eleven operations of `Headers`: their built-in bodies and the C-level entry points that
// honour a Python subclass's override. Every lookup is a linear scan of the entry list; names
// stored through `add` are normalised, but lists adopted from callers may hold anything.

#include "common/errors.hpp"
#include "common/override.hpp"
#include "common/single_header.hpp"
#include "headers/entries.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

// ---- entry helpers ----------------------------------------------------------------------------

int name_matches_slow(PyObject *name, PyObject *k) {
    const int eq = PyObject_RichCompareBool(name, k, Py_EQ);
    if (eq != 0) return eq;
    Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name, S.n_lower));
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), k, Py_EQ);
}

bool unpack_pair(PyObject *entry, Ref &a, Ref &b) {
    Py_ssize_t n = -1;
    if (PyTuple_CheckExact(entry)) {
        n = PyTuple_GET_SIZE(entry);
        if (n == 2) {
            a = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
            b = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
            return true;
        }
    } else if (PyList_CheckExact(entry)) {
        n = PyList_GET_SIZE(entry);
        if (n == 2) {
            a = Ref::borrow(PyList_GET_ITEM(entry, 0));
            b = Ref::borrow(PyList_GET_ITEM(entry, 1));
            return true;
        }
    }
    if (n >= 0) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        return false;
    }
    // Callers pass entries borrowed from the list, and an entry's __iter__ may empty that list:
    // the entry must outlive its own iteration (and the type test of the error path).
    Ref held = Ref::borrow(entry);
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(entry)->tp_iter &&
            !PySequence_Check(entry)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(entry)->tp_name);
        }
        return false;
    }
    Ref *slots[2] = {&a, &b};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)",
                             i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

PyObject *entry_list(PyObject *self) {
    auto *h = reinterpret_cast<HeadersObject *>(self);
    if (!h->values) h->values = PyList_New(0);
    return h->values;
}

namespace {

// The first index from `i` on whose entry is not plainly a tuple with a bytes name of a length
// other than `k_length`: a possible match, or an entry that needs a closer look. Reads only; the
// invariants live in registers, so an entry costs six loads.
inline Py_ssize_t skip_other_lengths(PyObject *const *items, Py_ssize_t i, Py_ssize_t n,
                                     Py_ssize_t k_length) {
    PyTypeObject *const tuple_type = &PyTuple_Type;
    PyTypeObject *const bytes_type = &PyBytes_Type;
    for (; i < n; ++i) {
        PyObject *entry = items[i];
        if (Py_TYPE(entry) != tuple_type || Py_SIZE(entry) < 1) [[unlikely]]
            return i;
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (Py_TYPE(name) != bytes_type || Py_SIZE(name) == k_length) return i;
    }
    return n;
}

// Calls `on_match(entry)` (a borrowed entry that the list still holds) for every entry whose name
// matches the normalised key; `on_match` returns 1 to go on, 0 to stop, -1 on error. Unless
// `kMatchRunsNoCode`, `on_match` may allocate (and so run a collection, and any code a finaliser
// runs).
template <bool kMatchRunsNoCode = false, class OnMatch>
int scan(PyObject *self, Key &k, OnMatch on_match) {
    PyObject *list = entry_list(self);
    if (!list) return -1;
    // Comparing bytes runs no Python code, so the list is only held once something else may run
    // (code that could replace the list and free it).
    Ref held_list;
    const bool k_is_bytes = !k.is_none();
    const Py_ssize_t k_length = k.length;
    const char *k_text = k.text;
    for (Py_ssize_t i = 0;; ++i) {
        // A bytes key matches only names of its own length, so most entries are passed over
        // without a closer look. (Identity implies equal length.)
        if (k_is_bytes) {
            i = skip_other_lengths(reinterpret_cast<PyListObject *>(list)->ob_item, i,
                                   PyList_GET_SIZE(list), k_length);
        }
        if (i >= PyList_GET_SIZE(list)) break;
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) < 1) [[unlikely]] {
            check_indexable(entry, 0);
            return -1;
        }
        PyObject *name = PyTuple_GET_ITEM(entry, 0);
        if (name != k.object) {
            if (PyBytes_CheckExact(name)) {
                if (!k_is_bytes || PyBytes_GET_SIZE(name) != k_length ||
                    !lowered_equal(PyBytes_AS_STRING(name), k_text, k_length))
                    continue;
            } else if (name == Py_None) {
                continue;  // a None name matches only a None key
            } else {
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
        }
        if (!kMatchRunsNoCode && !held_list) held_list = Ref::borrow(list);
        const int r = on_match(entry);
        if (r <= 0) return r;
    }
    return 0;
}

// `values.remove(entry)`: drops the first element equal to `entry`. Two plain pairs are equal
// when their items are (identity or equal bytes), which needs no generic comparison.
int list_remove(PyObject *values, PyObject *entry) {
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

}  // namespace

// `name == k` for a name that is bytes or None: what `contains` compares.
inline bool is_key(PyObject *name, const Key &k) {
    if (name == k.object) return true;
    return PyBytes_CheckExact(name) && PyBytes_GET_SIZE(name) == k.length &&
           same_bytes(PyBytes_AS_STRING(name), k.text, k.length);
}

// ---- built-in bodies --------------------------------------------------------------------------

PyObject *keys_impl(PyObject *self) {
    PyObject *list = entry_list(self);
    if (!list) return nullptr;
    Ref values = Ref::borrow(list);
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        Ref name, value;
        if (plain_pair(entry))
            name = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
        else if (!unpack_bytes_pair(entry, name, value))
            return nullptr;
        bool seen = false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()) && !seen; ++j)
            seen = same_name(PyList_GET_ITEM(names.get(), j), name.get());
        if (!seen && PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

PyObject *clone_impl(PyObject *self) {
    PyObject *list = entry_list(self);
    if (!list) return nullptr;
    Ref values = Ref::borrow(list);
    Ref copy = Ref::steal(PyList_New(0));
    if (!copy) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref name, value;
        if (!unpack_bytes_pair(PyList_GET_ITEM(list, i), name, value)) return nullptr;
        Ref pair = Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
        if (!pair || PyList_Append(copy.get(), pair.get()) < 0) return nullptr;
    }
    return new_headers(copy.get());
}

PyObject *get_impl(PyObject *self, PyObject *name) {
    Key k;
    if (!normalise_key(name, k)) return nullptr;
    Collected values;
    const int r = scan(self, k, [&](PyObject *entry) -> int {
        if (!check_indexable(entry, 1)) return -1;
        return values.add(PyTuple_GET_ITEM(entry, 1)) ? 1 : -1;
    });
    if (r < 0) return nullptr;
    return values.to_tuple();
}

PyObject *get_tuples_impl(PyObject *self, PyObject *name) {
    Key k;
    if (!normalise_key(name, k)) return nullptr;
    Ref found = Ref::steal(PyList_New(0));
    if (!found) return nullptr;
    const int r = scan(self, k, [&](PyObject *entry) -> int {
        return PyList_Append(found.get(), entry) < 0 ? -1 : 1;
    });
    if (r < 0) return nullptr;
    return found.release();
}

PyObject *get_first_impl(PyObject *self, PyObject *key) {
    Key k;
    if (!normalise_key(key, k)) return nullptr;
    PyObject *result = nullptr;
    const int r = scan<true>(self, k, [&](PyObject *entry) -> int {
        if (!check_indexable(entry, 1)) return -1;
        PyObject *value = PyTuple_GET_ITEM(entry, 1);
        if (!check_value(value, &PyBytes_Type)) return -1;
        result = Py_NewRef(value);
        return 0;
    });
    if (r < 0) {
        Py_XDECREF(result);
        return nullptr;
    }
    return result ? result : Py_NewRef(Py_None);
}

PyObject *get_single_impl(PyObject *self, PyObject *key) {
    Ref values = Ref::steal(get(self, key));
    if (!values) return nullptr;
    return single_header_value(values.get());
}

int add_impl(PyObject *self, PyObject *name, PyObject *value) {
    PyObject *list = entry_list(self);
    if (!list) return -1;
    Ref values = Ref::borrow(list);
    Ref normalised = Ref::steal(intern_header_name_bytes(name));
    if (!normalised) return -1;
    Ref entry = Ref::steal(PyTuple_Pack(2, normalised.get(), value));
    if (!entry) return -1;
    return PyList_Append(list, entry.get());
}

int set_impl(PyObject *self, PyObject *name, PyObject *value) {
    const int present = contains(self, name);
    if (present < 0) return -1;
    if (present && remove(self, name) < 0) return -1;
    return add(self, name, value);
}

int remove_impl(PyObject *self, PyObject *key) {
    Key k;
    if (!normalise_key(key, k)) return -1;
    // Collect first, then remove, so the scan does not run over a shrinking list.
    Collected matches;
    const int r = scan(self, k, [&](PyObject *entry) -> int { return matches.add(entry) ? 1 : -1; });
    if (r < 0) return -1;
    if (matches.size() == 0) return 0;
    Ref values = Ref::borrow(entry_list(self));
    if (!values) return -1;
    for (Py_ssize_t i = 0; i < matches.size(); ++i)
        if (list_remove(values.get(), matches.at(i)) < 0) return -1;
    return 0;
}

int merge_impl(PyObject *self, PyObject *values) {
    if (values == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    PyObject *list = entry_list(self);
    if (!list) return -1;
    Ref target = Ref::borrow(list);
    Ref source = Ref::borrow(values);
    // Only the elements present at the start are walked, so merging a list into itself ends.
    const Py_ssize_t n = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
        PyObject *entry = PyList_GET_ITEM(values, i);
        if (entry == Py_None) continue;
        if (!check_value(entry, &PyTuple_Type)) return -1;
        if (PyList_Append(list, entry) < 0) return -1;
    }
    return 0;
}

int contains_impl(PyObject *self, PyObject *key) {
    Key k;
    if (!normalise_key(key, k)) return -1;
    PyObject *list = entry_list(self);
    if (!list) return -1;
    Ref held_list;  // taken once unpacking may run code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (plain_pair(entry)) [[likely]] {
            if (is_key(PyTuple_GET_ITEM(entry, 0), k)) return 1;
            continue;
        }
        if (!held_list) held_list = Ref::borrow(list);
        Ref name, value;
        if (!unpack_bytes_pair(entry, name, value)) return -1;
        if (is_key(name.get(), k)) return 1;
    }
    return 0;
}

// ---- C-level entry points ---------------------------------------------------------------------

namespace {

OverrideSite keys_site{"keys"};
OverrideSite clone_site{"clone"};
OverrideSite get_site{"get"};
OverrideSite get_tuples_site{"get_tuples"};
OverrideSite add_site{"add"};
OverrideSite set_site{"set"};
OverrideSite get_single_site{"get_single"};
OverrideSite get_first_site{"get_first"};
OverrideSite remove_site{"remove"};
OverrideSite merge_site{"merge"};
OverrideSite contains_site{"contains"};

inline bool exact(PyObject *self) { return Py_IS_TYPE(self, &HeadersType); }

// Arguments from other modules are checked like those from Python, but only for the built-in
// bodies: an override receives them as they were given.
inline bool bytes_arg(PyObject *o, const char *name) { return check_arg(o, &PyBytes_Type, name); }

PyObject *checked_get(PyObject *self, PyObject *name) {
    return bytes_arg(name, "name") ? get_impl(self, name) : nullptr;
}
PyObject *checked_get_tuples(PyObject *self, PyObject *name) {
    return bytes_arg(name, "name") ? get_tuples_impl(self, name) : nullptr;
}
int checked_add(PyObject *self, PyObject *name, PyObject *value) {
    if (!bytes_arg(name, "name") || !bytes_arg(value, "value")) return -1;
    return add_impl(self, name, value);
}
int checked_set(PyObject *self, PyObject *name, PyObject *value) {
    if (!bytes_arg(name, "name") || !bytes_arg(value, "value")) return -1;
    return set_impl(self, name, value);
}
PyObject *checked_get_single(PyObject *self, PyObject *key) {
    return bytes_arg(key, "key") ? get_single_impl(self, key) : nullptr;
}
PyObject *checked_get_first(PyObject *self, PyObject *key) {
    return bytes_arg(key, "key") ? get_first_impl(self, key) : nullptr;
}
int checked_remove(PyObject *self, PyObject *key) {
    return bytes_arg(key, "key") ? remove_impl(self, key) : -1;
}
int checked_merge(PyObject *self, PyObject *values) {
    return check_arg(values, &PyList_Type, "values") ? merge_impl(self, values) : -1;
}
int checked_contains(PyObject *self, PyObject *key) {
    return bytes_arg(key, "key") ? contains_impl(self, key) : -1;
}

}  // namespace

PyObject *keys(PyObject *self) {
    return dispatch_object(exact(self), keys_site, &HeadersType, Returns{&PyTuple_Type}, keys_impl,
                           self);
}

PyObject *clone(PyObject *self) {
    return dispatch_object(exact(self), clone_site, &HeadersType, Returns{&HeadersType, true},
                           clone_impl, self);
}

PyObject *get(PyObject *self, PyObject *name) {
    return dispatch_object(exact(self), get_site, &HeadersType, Returns{&PyTuple_Type}, checked_get,
                           self, name);
}

PyObject *get_tuples(PyObject *self, PyObject *name) {
    return dispatch_object(exact(self), get_tuples_site, &HeadersType, Returns{&PyList_Type},
                           checked_get_tuples, self, name);
}

int add(PyObject *self, PyObject *name, PyObject *value) {
    return dispatch_void(exact(self), add_site, &HeadersType, checked_add, self, name, value);
}

int set(PyObject *self, PyObject *name, PyObject *value) {
    return dispatch_void(exact(self), set_site, &HeadersType, checked_set, self, name, value);
}

PyObject *get_single(PyObject *self, PyObject *key) {
    return dispatch_object(exact(self), get_single_site, &HeadersType, Returns{&PyBytes_Type},
                           checked_get_single, self, key);
}

PyObject *get_first(PyObject *self, PyObject *key) {
    return dispatch_object(exact(self), get_first_site, &HeadersType, Returns{&PyBytes_Type},
                           checked_get_first, self, key);
}

int remove(PyObject *self, PyObject *key) {
    return dispatch_void(exact(self), remove_site, &HeadersType, checked_remove, self, key);
}

int merge(PyObject *self, PyObject *values) {
    return dispatch_void(exact(self), merge_site, &HeadersType, checked_merge, self, values);
}

int contains(PyObject *self, PyObject *key) {
    return dispatch_bool(exact(self), contains_site, &HeadersType, checked_contains, self, key);
}

}  // namespace qm::headers
