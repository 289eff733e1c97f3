// `Header`: one name/value pair, with the name normalised like every stored name.
#include <cstring>

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/init_args.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

namespace {

inline HeaderObject *as_header(PyObject *o) { return reinterpret_cast<HeaderObject *>(o); }

// Checks the two arguments and stores them (the name normalised). Returns -1 with an error set.
int fill(PyObject *self, PyObject *name, PyObject *value) {
    if (!check_arg(name, &PyBytes_Type, "name") || !check_arg(value, &PyBytes_Type, "value"))
        return -1;
    Ref normalised = Ref::steal(intern_header_name_bytes(name));
    if (!normalised) return -1;
    set_field(as_header(self)->name, std::move(normalised));
    set_field(as_header(self)->value, value);
    return 0;
}

bool parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *&name,
           PyObject *&value) {
    if (nargs == 2 && !kwnames) {
        name = args[0];
        value = args[1];
        return true;
    }
    static const char *const names[] = {"name", "value"};
    PyObject *out[2] = {nullptr, nullptr};
    if (!parse_args("__init__", args, nargs, kwnames, names, 2, out)) return false;
    name = out[0];
    value = out[1];
    return true;
}

PyObject *header_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_header(self)->name = Py_NewRef(Py_None);
    as_header(self)->value = Py_NewRef(Py_None);
    return self;
}

// Subclasses come here through type.__call__.
int header_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *const names[] = {"name", "value"};
    PyObject *out[2] = {nullptr, nullptr};
    if (!parse_init_args("__init__", args, kwargs, names, 2, out)) return -1;
    return fill(self, out[0], out[1]);
}

PyObject *header_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    PyObject *name, *value;
    if (!parse(args, PyVectorcall_NARGS(nargsf), kwnames, name, value)) return nullptr;
    Ref self = Ref::steal(header_new(reinterpret_cast<PyTypeObject *>(type), nullptr, nullptr));
    if (!self || fill(self.get(), name, value) < 0) return nullptr;
    return self.release();
}

void header_dealloc(PyObject *self) {
    Py_CLEAR(as_header(self)->name);
    Py_CLEAR(as_header(self)->value);
    Py_TYPE(self)->tp_free(self);
}

PyObject *header_repr(PyObject *self) {
    return PyUnicode_FromFormat("<Header %R: %R>", as_header(self)->name, as_header(self)->value);
}

// Unpacks as (name, value), so that `add(*header)` works.
PyObject *header_iter(PyObject *self) {
    Ref pair = Ref::steal(PyTuple_Pack(2, as_header(self)->name, as_header(self)->value));
    if (!pair) return nullptr;
    return PyObject_GetIter(pair.get());
}

inline bool ascii_equal_ignoring_case(PyObject *a, PyObject *b) {
    const Py_ssize_t n = PyBytes_GET_SIZE(a);
    if (n != PyBytes_GET_SIZE(b)) return false;
    const auto *x = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(a));
    const auto *y = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(b));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (ascii_lower(x[i]) != ascii_lower(y[i])) return false;
    return true;
}

// Names compare ASCII case-insensitively, values exactly. Both fields are bytes or None. A None
// name equals only a None name (rather than failing on `None.lower()`).
bool headers_equal(HeaderObject *a, HeaderObject *b) {
    if (a->name != b->name) {
        if (!PyBytes_CheckExact(a->name) || !PyBytes_CheckExact(b->name)) return false;
        if (!ascii_equal_ignoring_case(a->name, b->name)) return false;
    }
    if (a->value == b->value) return true;
    if (!PyBytes_CheckExact(a->value) || !PyBytes_CheckExact(b->value)) return false;
    const Py_ssize_t n = PyBytes_GET_SIZE(a->value);
    return n == PyBytes_GET_SIZE(b->value) &&
           std::memcmp(PyBytes_AS_STRING(a->value), PyBytes_AS_STRING(b->value),
                       static_cast<size_t>(n)) == 0;
}

PyObject *header_richcompare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &HeaderType))
        Py_RETURN_NOTIMPLEMENTED;
    const bool equal = headers_equal(as_header(self), as_header(other));
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_header(self)->name); }
PyObject *get_value(PyObject *self, void *) { return Py_NewRef(as_header(self)->value); }

PyGetSetDef header_getset[] = {
    {"name", get_name, nullptr, PyDoc_STR("The header name, lower case (bytes or None)."), nullptr},
    {"value", get_value, nullptr, PyDoc_STR("The header value as given (bytes or None)."), nullptr},
    {nullptr},
};

}  // namespace

PyTypeObject HeaderType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.headers.Header",
    .tp_basicsize = sizeof(HeaderObject),
    .tp_dealloc = header_dealloc,
    .tp_repr = header_repr,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = PyDoc_STR("Header(name, value)\n--\n\nOne HTTP header field."),
    .tp_richcompare = header_richcompare,
    .tp_iter = header_iter,
    .tp_getset = header_getset,
    .tp_init = header_init,
    .tp_new = header_new,
    .tp_vectorcall = header_vectorcall,
};

int ready_header_type() { return PyType_Ready(&HeaderType); }

}  // namespace qm::headers
