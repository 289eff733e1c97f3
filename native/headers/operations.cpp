// The eleven operations of `Headers`: their built-in bodies and the C-level entry points that
// honour a Python subclass's override. Every lookup is a linear scan of the entry list; names
// stored through `add` are normalised, but lists adopted from callers may hold anything.

#include "common/errors.hpp"
#include "common/header_entries.hpp"
#include "common/override.hpp"
#include "common/single_header.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

// ---- entry helpers ----------------------------------------------------------------------------

PyObject *entry_list(PyObject *self) {
    auto *h = reinterpret_cast<HeadersObject *>(self);
    if (!h->values) h->values = PyList_New(0);
    return h->values;
}

using header_engine::Collected;
using header_engine::is_key;
using header_engine::list_remove;
using header_engine::plain_pair;
using header_engine::same_name;
using header_engine::unpack_bytes_pair;

// Calls `on_match(entry)` for every entry of the Headers object `self` whose name matches `k`
// (see header_engine::scan).
template <bool kMatchRunsNoCode = false, class OnMatch>
int scan_entries(PyObject *self, Key &k, OnMatch on_match) {
    PyObject *list = entry_list(self);
    if (!list) return -1;
    return header_engine::scan<kMatchRunsNoCode>(list, k, on_match);
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
    const int r = scan_entries(self, k, [&](PyObject *entry) -> int {
        if (!header_engine::check_indexable(entry, 1)) return -1;
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
    const int r = scan_entries(self, k, [&](PyObject *entry) -> int {
        return PyList_Append(found.get(), entry) < 0 ? -1 : 1;
    });
    if (r < 0) return nullptr;
    return found.release();
}

// get_first when the quick reading cannot decide. Out of line, so that the usual lookup saves no
// registers for it.
[[gnu::noinline]] static PyObject *get_first_scanning(PyObject *self, PyObject *key) {
    Key k;
    if (!normalise_key(key, k)) return nullptr;
    PyObject *result = nullptr;
    const int r = scan_entries<true>(self, k, [&](PyObject *entry) -> int {
        if (!header_engine::check_indexable(entry, 1)) return -1;
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

PyObject *get_first_impl(PyObject *self, PyObject *key) {
    if (PyObject *list = reinterpret_cast<HeadersObject *>(self)->values)
        if (PyObject *value = header_engine::first_value_quick(list, key)) return Py_NewRef(value);
    return get_first_scanning(self, key);
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
    const int r = scan_entries(self, k, [&](PyObject *entry) -> int { return matches.add(entry) ? 1 : -1; });
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

// contains when the quick reading cannot decide; out of line like get_first_scanning.
[[gnu::noinline]] static int contains_scanning(PyObject *self, PyObject *key) {
    Key k;
    if (!normalise_key(key, k)) return -1;
    PyObject *list = entry_list(self);
    if (!list) return -1;
    Ref held_list;  // taken once unpacking may run code
    const header_engine::KeyText k_text(k.text, k.length);
    for (Py_ssize_t i = 0;; ++i) {
        // Plain pairs are read in a tight loop that stops at the key or at an entry that needs
        // unpacking.
        if (!k.is_none()) {
            const header_engine::Stop stop = header_engine::find_plain<true>(
                reinterpret_cast<PyListObject *>(list)->ob_item, i, PyList_GET_SIZE(list),
                k.object, k_text);
            if (stop.matched) return 1;
            i = stop.index;
        }
        if (i >= PyList_GET_SIZE(list)) break;
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

int contains_impl(PyObject *self, PyObject *key) {
    if (PyObject *list = reinterpret_cast<HeadersObject *>(self)->values) {
        const int found = header_engine::contains_quick(list, key);
        if (found >= 0) return found;
    }
    return contains_scanning(self, key);
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
