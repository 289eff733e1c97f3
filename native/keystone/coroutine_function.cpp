#include "keystone/coroutine_function.hpp"

#include <cstddef>

#include "common/ref.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

struct CoroutineFunctionObject {
    PyObject_HEAD
    const CoroutineFunctionDef *def;
    PyTypeObject *objclass;  // the class of a method's `self`; null for a function
    PyObject *module;        // the module's name
    vectorcallfunc vectorcall;
};

PyTypeObject CoroutineFunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

CoroutineFunctionObject *as_function(PyObject *o) {
    return reinterpret_cast<CoroutineFunctionObject *>(o);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    const CoroutineFunctionObject *f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!f->objclass) return f->def->body(nullptr, args, nargs, kwnames);
    // The messages of CPython's own method descriptors.
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%s' object needs an argument",
                     f->def->name, f->objclass->tp_name);
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], f->objclass)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                     f->def->name, f->objclass->tp_name, Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return f->def->body(args[0], args + 1, nargs - 1, kwnames);
}

// Binds like a Python function: looked up on the class it is itself, on an instance a bound
// method (which `inspect` unwraps to find the marker).
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<native coroutine function %s>", as_function(self)->def->qualname);
}

PyObject *get_name(PyObject *self, void *) {
    return PyUnicode_FromString(as_function(self)->def->name);
}

PyObject *get_qualname(PyObject *self, void *) {
    return PyUnicode_FromString(as_function(self)->def->qualname);
}

PyObject *get_doc(PyObject *self, void *) {
    const char *doc = as_function(self)->def->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

PyObject *get_text_signature(PyObject *self, void *) {
    return PyUnicode_FromString(as_function(self)->def->text_signature);
}

PyObject *get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module); }

PyObject *get_objclass(PyObject *self, void *) {
    PyTypeObject *cls = as_function(self)->objclass;
    if (!cls) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(cls));
}

PyObject *get_coroutine_marker(PyObject *, void *) { return Py_NewRef(S.coroutine_mark); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr},
};

PyObject *new_object(const CoroutineFunctionDef *def, PyTypeObject *objclass, PyObject *module) {
    CoroutineFunctionObject *f = PyObject_New(CoroutineFunctionObject, &CoroutineFunctionType);
    if (!f) return nullptr;
    f->def = def;
    f->objclass = objclass;
    f->module = Py_NewRef(module);
    f->vectorcall = function_vectorcall;
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace

int ready_coroutine_function_type() {
    CoroutineFunctionType.tp_name = "quenmark.keystone.native_coroutine_function";
    CoroutineFunctionType.tp_basicsize = sizeof(CoroutineFunctionObject);
    CoroutineFunctionType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    CoroutineFunctionType.tp_doc = "A coroutine function implemented natively.";
    CoroutineFunctionType.tp_vectorcall_offset = offsetof(CoroutineFunctionObject, vectorcall);
    CoroutineFunctionType.tp_call = PyVectorcall_Call;
    CoroutineFunctionType.tp_descr_get = function_descr_get;
    CoroutineFunctionType.tp_repr = function_repr;
    CoroutineFunctionType.tp_getset = function_getset;
    // Made once at import and kept for the life of the process.
    CoroutineFunctionType.tp_dealloc = [](PyObject *self) {
        Py_XDECREF(as_function(self)->module);
        PyObject_Free(self);
    };
    return PyType_Ready(&CoroutineFunctionType);
}

PyObject *new_coroutine_function(const CoroutineFunctionDef *def, PyObject *module_name) {
    return new_object(def, nullptr, module_name);
}

ImmediateBody immediate_body_of(PyObject *callable) {
    if (!Py_IS_TYPE(callable, &CoroutineFunctionType)) return nullptr;
    const CoroutineFunctionObject *f = as_function(callable);
    return f->objclass ? nullptr : f->def->immediate;
}

const CoroutineFunctionDef *coroutine_function_def(PyObject *callable) {
    return Py_IS_TYPE(callable, &CoroutineFunctionType) ? as_function(callable)->def : nullptr;
}

int add_coroutine_methods(PyTypeObject *type, std::span<const CoroutineFunctionDef> defs,
                          PyObject *module_name) {
    if (!type->tp_dict && !(type->tp_dict = PyDict_New())) return -1;
    for (const CoroutineFunctionDef &def : defs) {
        Ref method = Ref::steal(new_object(&def, type, module_name));
        if (!method || PyDict_SetItemString(type->tp_dict, def.name, method.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace qm::keystone
