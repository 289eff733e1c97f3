// The scope a Request keeps for an RSGI request. The request (and ASGI-minded code) reads scope
// keys with get() or [] ("scheme", "root_path", "client"); an RSGI scope has attributes instead,
// and its client and server as "host:port" text. This view answers a key from the attribute of
// that name, the two addresses as (host, port) pairs, and passes attribute reads through, so
// nothing is copied or parsed until it is asked for.
#include <Python.h>

#include "common/args.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "scribe/rsgi.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {
namespace {

struct ScopeObject {
    PyObject_HEAD
    PyObject *scope;
    PyObject *protocol;  // answered for RSGI_PROTOCOL: the disconnect probe of a bodiless request
};

PyObject *inner(PyObject *self) { return reinterpret_cast<ScopeObject *>(self)->scope; }

bool is_digits(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n == 0 || n > 5) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "host:port" as (host, port), an IPv6 host without its brackets; text without a port as
// (text, 0). New reference.
PyObject *address_pair(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t colon = PyUnicode_FindChar(text, ':', 0, n, -1);
    if (colon == -2) return nullptr;
    Ref host, port;
    if (colon >= 0) {
        Ref digits = Ref::steal(PyUnicode_Substring(text, colon + 1, n));
        if (!digits) return nullptr;
        if (is_digits(digits.get())) {
            port = Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10));
            Py_ssize_t start = 0, end = colon;
            if (end >= 2 && PyUnicode_READ_CHAR(text, 0) == '[' &&
                PyUnicode_READ_CHAR(text, end - 1) == ']') {
                start = 1;
                end -= 1;
            }
            host = Ref::steal(PyUnicode_Substring(text, start, end));
            if (!port || !host) return nullptr;
        }
    }
    if (!port) {
        host = Ref::borrow(text);
        port = Ref::steal(PyLong_FromLong(0));
        if (!port) return nullptr;
    }
    return PyTuple_Pack(2, host.get(), port.get());
}

bool is_protocol_key(PyObject *key) {
    PyObject *wanted = S.rsgi_protocol_key;
    return key == wanted || (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(wanted) &&
                             PyUnicode_Compare(key, wanted) == 0);
}

// The value for `key`, or null without an error when the scope has no such attribute.
PyObject *lookup(PyObject *self, PyObject *key) {
    if (!PyUnicode_Check(key)) return nullptr;
    if (is_protocol_key(key)) return Py_NewRef(reinterpret_cast<ScopeObject *>(self)->protocol);
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(inner(self), key, &value) <= 0) return nullptr;
    Ref found = Ref::steal(value);
    if (PyUnicode_Check(value) && (key == S.n_client || key == S.n_server ||
                                   PyUnicode_Compare(key, S.n_client) == 0 ||
                                   PyUnicode_Compare(key, S.n_server) == 0))
        return address_pair(value);
    return found.release();
}

PyObject *scope_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"key", "default"};
    PyObject *a[2] = {nullptr, Py_None};
    if (!parse_args("get", args, nargs, kwnames, names, 1, a)) return nullptr;
    PyObject *value = lookup(self, a[0]);
    if (value || PyErr_Occurred()) return value;
    return Py_NewRef(a[1]);
}

PyObject *scope_subscript(PyObject *self, PyObject *key) {
    PyObject *value = lookup(self, key);
    if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

// Attributes of the view first (its methods), then those of the RSGI scope.
PyObject *scope_getattro(PyObject *self, PyObject *name) {
    PyObject *value = PyObject_GenericGetAttr(self, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return PyObject_GetAttr(inner(self), name);
}

PyObject *scope_repr(PyObject *self) { return PyUnicode_FromFormat("<RSGIScope %R>", inner(self)); }

int scope_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(inner(self));
    Py_VISIT(reinterpret_cast<ScopeObject *>(self)->protocol);
    return 0;
}

int scope_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<ScopeObject *>(self)->scope);
    Py_CLEAR(reinterpret_cast<ScopeObject *>(self)->protocol);
    return 0;
}

void scope_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    scope_clear(self);
    PyObject_GC_Del(self);
}

PyMethodDef kScopeMethods[] = {
    {"get", fastcall(scope_get),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("get($self, key, default=None)\n--\n\nThe scope's attribute `key`; client and server as "
               "(host, port).")},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods kScopeMapping = {nullptr, scope_subscript, nullptr};

PyTypeObject ScopeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.scribe.RSGIScope",
    .tp_basicsize = sizeof(ScopeObject),
    .tp_dealloc = scope_dealloc,
    .tp_repr = scope_repr,
    .tp_as_mapping = &kScopeMapping,
    .tp_getattro = scope_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("The scope of an RSGI request, read as a mapping of its attributes."),
    .tp_traverse = scope_traverse,
    .tp_clear = scope_clear,
    .tp_methods = kScopeMethods,
};

}  // namespace

PyObject *new_rsgi_scope(PyObject *scope, PyObject *protocol) {
    ScopeObject *view = PyObject_GC_New(ScopeObject, &ScopeType);
    if (!view) return nullptr;
    view->scope = Py_NewRef(scope);
    view->protocol = Py_NewRef(protocol);
    PyObject_GC_Track(view);
    return reinterpret_cast<PyObject *>(view);
}

int add_rsgi_scope_type(PyObject *module) { return PyModule_AddType(module, &ScopeType); }

}  // namespace qm::scribe
