// The `Headers` type: construction, the Python-visible methods (which check their arguments and
// run the built-in bodies directly) and the mapping, membership and iteration protocols.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/results.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

namespace {

inline HeadersObject *as_headers(PyObject *o) { return reinterpret_cast<HeadersObject *>(o); }

// ---- construction -----------------------------------------------------------------------------

bool parse_values(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *&values) {
    values = Py_None;
    if (nargs == 1 && !kwnames) {
        values = args[0];
    } else if (nargs || kwnames) {
        static const char *const names[] = {"values"};
        PyObject *out[1] = {Py_None};
        if (!parse_args("__init__", args, nargs, kwnames, names, 0, out)) return false;
        values = out[0];
    }
    return check_arg(values, &PyList_Type, "values");
}

// Stores `values` (adopted as it is), or a new empty list for None.
int adopt(PyObject *self, PyObject *values) {
    Ref list = values == Py_None ? Ref::steal(PyList_New(0)) : Ref::borrow(values);
    if (!list) return -1;
    set_field(as_headers(self)->values, std::move(list));
    return 0;
}

PyObject *headers_new(PyTypeObject *type, PyObject *, PyObject *) {
    return type->tp_alloc(type, 0);  // the list comes from __init__, or on first use
}

int headers_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"values"};
    PyObject *out[1] = {Py_None};
    if (!parse_init_args("__init__", args, kwargs, names, 0, out) ||
        !check_arg(out[0], &PyList_Type, "values"))
        return -1;
    return adopt(self, out[0]);
}

PyObject *headers_vectorcall(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *values;
    if (!parse_values(args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    return new_headers(values == Py_None ? nullptr : values);
}

int headers_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_headers(self)->values);
    return 0;
}

int headers_clear(PyObject *self) {
    Py_CLEAR(as_headers(self)->values);
    return 0;
}

void headers_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_headers(self)->values);
    Py_TYPE(self)->tp_free(self);
}

PyObject *headers_repr(PyObject *self) {
    // Held: an entry's repr could replace the list while it is being formatted.
    Ref values = Ref::borrow(entry_list(self));
    if (!values) return nullptr;
    return PyUnicode_FromFormat("<Headers %R>", values.get());
}

PyObject *headers_iter(PyObject *self) {
    // Iteration walks the stored tuples themselves; a list iterator is the cheapest walker.
    PyObject *values = entry_list(self);
    if (!values) return nullptr;
    return PyObject_GetIter(values);
}

// ---- argument binding for the methods (common/args.hpp) ---------------------------------------

// One-argument methods whose argument is bytes.
#define QM_BYTES_METHOD(func, param, body, wrap)                                               \
    PyObject *meth_##func(PyObject *self, PyObject *const *args, Py_ssize_t nargs,            \
                          PyObject *kwnames) {                                                 \
        PyObject *arg;                                                                         \
        if (!one_arg(#func, param, args, nargs, kwnames, arg) ||                               \
            !check_arg(arg, &PyBytes_Type, param))                                             \
            return nullptr;                                                                    \
        return wrap(body(self, arg));                                                          \
    }

inline PyObject *as_is(PyObject *r) { return r; }

QM_BYTES_METHOD(get, "name", get_impl, as_is)
QM_BYTES_METHOD(get_tuples, "name", get_tuples_impl, as_is)
QM_BYTES_METHOD(get_first, "key", get_first_impl, as_is)
QM_BYTES_METHOD(get_single, "key", get_single_impl, as_is)
QM_BYTES_METHOD(remove, "key", remove_impl, none_or_null)
QM_BYTES_METHOD(contains, "key", contains_impl, bool_or_null)

#undef QM_BYTES_METHOD

PyObject *meth_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *name, *value;
    if (!two_args("add", "name", "value", args, nargs, kwnames, name, value) ||
        !check_arg(name, &PyBytes_Type, "name") || !check_arg(value, &PyBytes_Type, "value"))
        return nullptr;
    return none_or_null(add_impl(self, name, value));
}

PyObject *meth_set(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *name, *value;
    if (!two_args("set", "name", "value", args, nargs, kwnames, name, value) ||
        !check_arg(name, &PyBytes_Type, "name") || !check_arg(value, &PyBytes_Type, "value"))
        return nullptr;
    return none_or_null(set_impl(self, name, value));
}

PyObject *meth_merge(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values;
    if (!one_arg("merge", "values", args, nargs, kwnames, values) ||
        !check_arg(values, &PyList_Type, "values"))
        return nullptr;
    return none_or_null(merge_impl(self, values));
}

PyObject *meth_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values;
    if (!one_arg("update", "values", args, nargs, kwnames, values) ||
        !check_arg(values, &PyDict_Type, "values"))
        return nullptr;
    return none_or_null(update(self, values));
}

PyObject *meth_add_many(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) {
    PyObject *values;
    if (!one_arg("add_many", "values", args, nargs, kwnames, values)) return nullptr;
    return add_many(self, values);
}

PyObject *meth_add_to_instance(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    PyObject *instance, *item;
    if (!two_args("_add_to_instance", "instance", "item", args, nargs, kwnames, instance, item))
        return nullptr;
    return add_to_instance(instance, item);
}

PyObject *meth_keys(PyObject *self, PyObject *) { return keys_impl(self); }
PyObject *meth_clone(PyObject *self, PyObject *) { return clone_impl(self); }
PyObject *meth_items(PyObject *self, PyObject *) { return headers_iter(self); }

// ---- protocols --------------------------------------------------------------------------------

PyObject *headers_getitem(PyObject *self, PyObject *item) {
    if (!check_arg(item, &PyBytes_Type, "item")) return nullptr;
    return get(self, item);
}

int headers_setitem(PyObject *self, PyObject *key, PyObject *value) {
    if (!check_arg(key, &PyBytes_Type, "key")) return -1;
    if (!value) return remove(self, key);
    if (!check_arg(value, &PyBytes_Type, "value")) return -1;
    return set(self, key, value);
}

int headers_contains(PyObject *self, PyObject *key) {
    if (!check_arg(key, &PyBytes_Type, "key")) return -1;
    return contains(self, key);
}

PyObject *get_values(PyObject *self, void *) { return Py_XNewRef(entry_list(self)); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef headers_methods[] = {
    {"keys", meth_keys, METH_NOARGS, PyDoc_STR("keys($self, /)\n--\n\nThe distinct names, in order.")},
    {"clone", meth_clone, METH_NOARGS, PyDoc_STR("clone($self, /)\n--\n\nA copy of the entries.")},
    {"get", fastcall(meth_get), kFast,
     PyDoc_STR("get($self, name)\n--\n\nThe values of every entry with this name.")},
    {"get_tuples", fastcall(meth_get_tuples), kFast,
     PyDoc_STR("get_tuples($self, name)\n--\n\nThe matching (name, value) entries.")},
    {"add", fastcall(meth_add), kFast, PyDoc_STR("add($self, name, value)\n--\n\nAppends an entry.")},
    {"set", fastcall(meth_set), kFast,
     PyDoc_STR("set($self, name, value)\n--\n\nReplaces the entries with this name by one at the end.")},
    {"get_single", fastcall(meth_get_single), kFast,
     PyDoc_STR("get_single($self, key)\n--\n\nThe only value for this name.")},
    {"get_first", fastcall(meth_get_first), kFast,
     PyDoc_STR("get_first($self, key)\n--\n\nThe first value for this name.")},
    {"remove", fastcall(meth_remove), kFast,
     PyDoc_STR("remove($self, key)\n--\n\nDrops every entry with this name.")},
    {"merge", fastcall(meth_merge), kFast,
     PyDoc_STR("merge($self, values)\n--\n\nAppends the given tuples unchanged, skipping None.")},
    {"contains", fastcall(meth_contains), kFast,
     PyDoc_STR("contains($self, key)\n--\n\nWhether an entry has exactly this (normalised) name.")},
    {"update", fastcall(meth_update), kFast,
     PyDoc_STR("update($self, values)\n--\n\nSets each name to its value.")},
    {"items", meth_items, METH_NOARGS, PyDoc_STR("items($self, /)\n--\n\nIterates over the stored entries.")},
    {"add_many", fastcall(meth_add_many), kFast,
     PyDoc_STR("add_many($self, values)\n--\n\nAdds the pairs of a mapping or of a mutable sequence.")},
    {"_add_to_instance", fastcall(meth_add_to_instance), kFast | METH_STATIC,
     PyDoc_STR("_add_to_instance(instance, item)\n--\n\nAdds item to instance through instance.add.")},
    {nullptr},
};


PyGetSetDef headers_getset[] = {
    {"values", get_values, nullptr, PyDoc_STR("The entry list itself (not a copy)."), nullptr},
    {nullptr},
};

PyMappingMethods headers_as_mapping = {
    .mp_length = nullptr,
    .mp_subscript = headers_getitem,
    .mp_ass_subscript = headers_setitem,
};

PySequenceMethods headers_as_sequence = {
    .sq_contains = headers_contains,
};

PyNumberMethods headers_as_number = {
    .nb_add = headers_add,
    .nb_inplace_add = headers_inplace_add,
};

}  // namespace

PyObject *new_headers(PyObject *values) {
    Ref list = values && values != Py_None ? Ref::borrow(values) : Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    if (!PyList_Check(list.get())) return expected_type("list", list.get());
    HeadersObject *self = PyObject_GC_New(HeadersObject, &HeadersType);
    if (!self) return nullptr;
    self->values = list.release();
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject *>(self);
}

PyTypeObject HeadersType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.headers.Headers",
    .tp_basicsize = sizeof(HeadersObject),
    .tp_dealloc = headers_dealloc,
    .tp_repr = headers_repr,
    .tp_as_number = &headers_as_number,
    .tp_as_sequence = &headers_as_sequence,
    .tp_as_mapping = &headers_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("Headers(values=None)\n--\n\n"
                        "An ordered multi-map of (name, value) byte-string pairs with "
                        "case-insensitive names, stored in the list it wraps."),
    .tp_traverse = headers_traverse,
    .tp_clear = headers_clear,
    .tp_iter = headers_iter,
    .tp_methods = headers_methods,
    .tp_getset = headers_getset,
    .tp_init = headers_init,
    .tp_new = headers_new,
    .tp_vectorcall = headers_vectorcall,
};

int ready_headers_type() { return PyType_Ready(&HeadersType); }

}  // namespace qm::headers
