// Bulk additions and the `+` / `+=` operators. Each walks a snapshot of what it adds, so adding
// a collection to itself (`h += h`, `h.add_many(h.values)`) ends.
#include "common/errors.hpp"
#include "common/header_entries.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

namespace {

// `instance.add(*args)`: a Headers instance of the exact type runs the built-in body; anything
// else goes through its attribute `add`, so a subclass's override (or an instance attribute)
// is used.
int call_add(PyObject *instance, PyObject *const *args, Py_ssize_t n) {
    if (Py_IS_TYPE(instance, &HeadersType)) {
        if (n != 2) return arg_count_error("add", Arity::Exactly, 2, n);
        if (!check_arg(args[0], &PyBytes_Type, "name") || !check_arg(args[1], &PyBytes_Type, "value"))
            return -1;
        return add_impl(instance, args[0], args[1]);
    }
    // Slot 0 is the spare that PY_VECTORCALL_ARGUMENTS_OFFSET allows the callee to use.
    const size_t total = static_cast<size_t>(n) + 2;
    PyObject *small[8];
    PyObject **stack = total <= 8 ? small : PyMem_New(PyObject *, total);
    if (!stack) {
        PyErr_NoMemory();
        return -1;
    }
    stack[0] = nullptr;
    stack[1] = instance;
    for (Py_ssize_t i = 0; i < n; ++i) stack[i + 2] = args[i];
    Ref r = Ref::steal(PyObject_VectorcallMethod(
        S.n_add, stack + 1, static_cast<size_t>(n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
    if (stack != small) PyMem_Free(stack);
    return r ? 0 : -1;
}

int call_add2(PyObject *instance, PyObject *name, PyObject *value) {
    PyObject *args[2] = {name, value};
    return call_add(instance, args, 2);
}

// `instance.add(*item)`.
int call_add_star(PyObject *instance, PyObject *item) {
    if (PyTuple_CheckExact(item)) {
        Ref held = Ref::borrow(item);
        return call_add(instance, &PyTuple_GET_ITEM(item, 0), PyTuple_GET_SIZE(item));
    }
    if (Py_IS_TYPE(item, &HeaderType)) {
        auto *header = reinterpret_cast<HeaderObject *>(item);
        Ref name = Ref::borrow(header->name), value = Ref::borrow(header->value);
        return call_add2(instance, name.get(), value.get());
    }
    if (!Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "add() argument after * must be an iterable, not %.200s",
                     Py_TYPE(item)->tp_name);
        return -1;
    }
    Ref args = Ref::steal(PySequence_Tuple(item));
    if (!args) return -1;
    return call_add(instance, &PyTuple_GET_ITEM(args.get(), 0), PyTuple_GET_SIZE(args.get()));
}

// A list holding the elements of `seq` as they are now.
PyObject *snapshot(PyObject *seq) {
    if (PyList_Check(seq)) return PyList_GetSlice(seq, 0, PyList_GET_SIZE(seq));
    return PySequence_List(seq);
}

// isinstance(o, cls) for one of the two ABCs; lists are settled without asking the ABC.
int is_instance(PyObject *o, PyObject *cls) {
    if (PyList_CheckExact(o)) return cls == S.mutable_sequence;
    if (PyDict_CheckExact(o)) return cls == S.mapping;
    return PyObject_IsInstance(o, cls);
}

// The entries of a Headers `item`, walked as its iteration yields them, taken before any add.
PyObject *headers_snapshot(PyObject *item) {
    if (Py_TYPE(item)->tp_iter == HeadersType.tp_iter) {
        PyObject *values = entry_list(item);
        if (!values) return nullptr;
        return PyList_GetSlice(values, 0, PyList_GET_SIZE(values));
    }
    return PySequence_List(item);
}

PyObject *class_name(PyObject *instance) {
    Ref cls = Ref::steal(PyObject_GetAttr(instance, S.n___class__));
    if (!cls) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), S.n___name__));
    if (!name) return nullptr;
    return PyObject_Format(name.get(), nullptr);
}

}  // namespace

PyObject *add_many(PyObject *self, PyObject *values) {
    int is_seq = is_instance(values, S.mutable_sequence);
    if (is_seq < 0) return nullptr;
    if (is_seq) {
        Ref items = Ref::steal(snapshot(values));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i)
            if (call_add_star(self, PyList_GET_ITEM(items.get(), i)) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    const int is_map = is_instance(values, S.mapping);
    if (is_map < 0) return nullptr;
    if (!is_map) {
        PyErr_SetString(PyExc_ValueError, "values must be dict[bytes, bytes] or list[Header]");
        return nullptr;
    }
    Ref pairs = Ref::steal(PyObject_CallMethodNoArgs(values, S.n_items));
    if (!pairs) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (!unpack_pair(pair.get(), key, value)) return nullptr;
        if (call_add2(self, key.get(), value.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

int update(PyObject *self, PyObject *values) {
    if (values == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'items'");
        return -1;
    }
    Ref held = Ref::borrow(values);
    const Py_ssize_t size = PyDict_GET_SIZE(values);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(values, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        // `self[key] = value`: a subclass's __setitem__ or set override is honoured.
        if (PyObject_SetItem(self, key.get(), value.get()) < 0) return -1;
        if (PyDict_GET_SIZE(values) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
    }
    return 0;
}

PyObject *add_to_instance(PyObject *instance, PyObject *item) {
    if (PyObject_TypeCheck(item, &HeadersType)) {
        Ref entries = Ref::steal(headers_snapshot(item));
        if (!entries) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i)
            if (call_add_star(instance, PyList_GET_ITEM(entries.get(), i)) < 0) return nullptr;
    } else if (PyObject_TypeCheck(item, &HeaderType)) {
        if (Py_IS_TYPE(item, &HeaderType)) {
            if (call_add_star(instance, item) < 0) return nullptr;
        } else {
            Ref name = Ref::steal(PyObject_GetAttr(item, S.n_name));
            if (!name) return nullptr;
            Ref value = Ref::steal(PyObject_GetAttr(item, S.n_value));
            if (!value || call_add2(instance, name.get(), value.get()) < 0) return nullptr;
        }
    } else if (PyTuple_Check(item)) {
        if (PyTuple_GET_SIZE(item) != 2) {
            PyErr_Format(PyExc_ValueError, "Cannot add, an invalid tuple %S.", item);
            return nullptr;
        }
        if (call_add_star(instance, item) < 0) return nullptr;
    } else {
        const int is_seq = is_instance(item, S.mutable_sequence);
        if (is_seq < 0) return nullptr;
        if (!is_seq) Py_RETURN_NOTIMPLEMENTED;
        Ref elements = Ref::steal(snapshot(item));
        if (!elements) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(elements.get()); ++i) {
            PyObject *element = PyList_GET_ITEM(elements.get(), i);
            if (!PyTuple_Check(element) || PyTuple_GET_SIZE(element) != 2) {
                Ref name = Ref::steal(class_name(instance));
                if (name)
                    PyErr_Format(PyExc_ValueError,
                                 "The sequence contains invalid elements: cannot add %S to %U",
                                 element, name.get());
                return nullptr;
            }
            if (call_add_star(instance, element) < 0) return nullptr;
        }
    }
    return Py_NewRef(instance);
}

PyObject *headers_add(PyObject *left, PyObject *right) {
    // `h + other` and `other + h` both put h's entries first.
    const bool left_is_self = PyObject_TypeCheck(left, &HeadersType);
    PyObject *self = left_is_self ? left : right;
    PyObject *other = left_is_self ? right : left;
    Ref copy = Ref::steal(clone(self));
    if (!copy) return nullptr;
    return add_to_instance(copy.get(), other);
}

PyObject *headers_inplace_add(PyObject *self, PyObject *other) {
    return add_to_instance(self, other);
}

}  // namespace qm::headers
