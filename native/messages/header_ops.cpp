// Header storage and lookup on the message's pair list, through the header engine that `Headers`
// uses too (common/header_keys.hpp, common/header_entries.hpp): the key is lower-cased once and
// interned, and names compare by identity first, since interned names are shared objects.
#include <Python.h>

#include "common/errors.hpp"
#include "common/header_entries.hpp"
#include "common/iterate.hpp"
#include "common/line_breaks.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/single_header.hpp"
#include "core/intern.h"
#include "messages/message.hpp"
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
                entry = PyTuple_New(2);
                if (!entry) return nullptr;
                PyTuple_SET_ITEM(entry, 0, Py_NewRef(shared ? shared : name));
                PyTuple_SET_ITEM(entry, 1, Py_NewRef(PyTuple_GET_ITEM(h, 1)));
            }
        } else {
            entry = Py_NewRef(h);
        }
        PyList_SET_ITEM(list.get(), i, entry);
    }
    return list.release();
}

namespace {

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

// Calls `on_match(pair)` for every pair of the message whose name matches `key` (see
// header_engine::scan: 1 goes on, 0 stops, -1 fails). A message's lookups share the engine of
// `Headers` and so agree with `message.headers` on every entry; the key is taken as
// normalise_any_key describes.
template <bool kMatchRunsNoCode = false, class OnMatch>
int scan_pairs(PyObject *self, PyObject *key, OnMatch on_match) {
    PyObject *raw = raw_list(self);
    if (!raw) return -1;
    Ref list = Ref::borrow(raw);  // the key's own lower() may replace the field
    header_engine::Key k;
    if (!header_engine::normalise_any_key(key, k)) return -1;
    return header_engine::scan<kMatchRunsNoCode>(raw, k, on_match);
}

// `self._raw_headers.remove(pair)`.
int remove_pair(PyObject *self, PyObject *pair) {
    PyObject *raw = as_message(self)->_raw_headers;
    if (!PyList_Check(raw)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'",
                     Py_TYPE(raw)->tp_name, "remove");
        return -1;
    }
    return header_engine::list_remove(raw, pair);
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
    if (scan_pairs(self, key, [&out](PyObject *pair) {
            if (!header_engine::check_indexable(pair, 1)) return -1;
            return PyList_Append(out.get(), PyTuple_GET_ITEM(pair, 1)) < 0 ? -1 : 1;
        }) < 0)
        return nullptr;
    return out.release();
}

PyObject *get_first_header_impl(PyObject *self, PyObject *key) {
    PyObject *raw = as_message(self)->_raw_headers;
    if (raw && PyList_Check(raw))
        if (PyObject *value = header_engine::first_value_quick(raw, key)) return Py_NewRef(value);
    PyObject *found = nullptr;
    if (scan_pairs<true>(self, key, [&found](PyObject *pair) {
            if (!header_engine::check_indexable(pair, 1)) return -1;
            PyObject *value = PyTuple_GET_ITEM(pair, 1);
            if (!check_value(value, &PyBytes_Type)) return -1;
            found = Py_NewRef(value);
            return 0;
        }) < 0) {
        Py_XDECREF(found);
        return nullptr;
    }
    return found ? found : Py_NewRef(Py_None);
}

// Unlike `Headers.get_tuples`, a matching tuple must have a value: the callers of this table
// entry (the cookie readers, other modules) read `pair[1]` of every pair it returns.
PyObject *get_headers_tuples(PyObject *self, PyObject *key) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    if (scan_pairs(self, key, [&out](PyObject *pair) {
            if (!header_engine::check_indexable(pair, 1)) return -1;
            return PyList_Append(out.get(), pair) < 0 ? -1 : 1;
        }) < 0)
        return nullptr;
    return out.release();
}

// Unlike the other lookups, this one unpacks each element as a pair (any two-item iterable),
// whose name and value must be bytes or None, as the message's documented rule has it.
int _has_header(PyObject *self, PyObject *key) {
    PyObject *raw = raw_list(self);
    if (!raw) return -1;
    Ref list = Ref::borrow(raw);
    header_engine::Key k;
    if (!header_engine::normalise_any_key(key, k)) return -1;
    PyObject *k_object = k.as_object();
    if (!k_object) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(raw, i));
        Ref name, value;
        if (!header_engine::unpack_bytes_pair(item.get(), name, value)) return -1;
        const int m = header_engine::name_matches(name.get(), k_object);
        if (m) return m;
    }
    return 0;
}

int remove_header_impl(PyObject *self, PyObject *key) {
    // Collect first, then remove, so the scan does not run over a shrinking list.
    header_engine::Collected matches;
    if (scan_pairs(self, key, [&matches](PyObject *pair) { return matches.add(pair) ? 1 : -1; }) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < matches.size(); ++i)
        if (remove_pair(self, matches.at(i)) < 0) return -1;
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

// A header set through the public methods is refused where the mistake is made, not only when
// the response is written. 0, or -1 with an error set.
static int check_header_text(PyObject *key, PyObject *value) {
    for (PyObject *o : {key, value})
        if (PyBytes_Check(o) &&
            has_line_break_or_nul(PyBytes_AS_STRING(o), size_t(PyBytes_GET_SIZE(o)))) {
            unsafe_header(key);
            return -1;
        }
    return 0;
}

int add_header_impl(PyObject *self, PyObject *key, PyObject *value) {
    if (check_header_text(key, value) < 0) return -1;
    return _add_header(self, key, value);
}

int set_header_impl(PyObject *self, PyObject *key, PyObject *value) {
    if (check_header_text(key, value) < 0 || remove_header(self, key) < 0) return -1;
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
int for_each_header_value(PyObject *self, PyObject *key, int (*on_value)(PyObject *, PyObject *),
                          PyObject *arg) {
    if (!is_builtin_message(self)) {
        const int o = is_overridden(get_headers_site, self, &MessageType);
        if (o < 0) return -1;
        if (o) {
            Ref values = Ref::steal(get_headers(self, key));
            if (!values) return -1;
            return for_each_item(values.get(), [on_value, arg](PyObject *v) { return on_value(v, arg); });
        }
    }
    return scan_pairs(self, key, [on_value, arg](PyObject *pair) {
        if (!header_engine::check_indexable(pair, 1)) return -1;
        Ref value = Ref::borrow(PyTuple_GET_ITEM(pair, 1));  // on_value may change the list
        return on_value(value.get(), arg) < 0 ? -1 : 1;
    }) < 0 ? -1 : 0;
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
