#include "contents/shape.hpp"

#include "common/methods.hpp"
#include "common/type_call.hpp"
#include "contents/state.hpp"

namespace qm::contents {
namespace {

// The classes whose calls `construct` answers, with their answers. Few: the contents module's.
struct Constructed {
    PyTypeObject *type = nullptr;
    Kind *kind = nullptr;
    Shape shape;
};
Constructed constructed[8];
int constructed_count = 0;

bool has_instance_dict(PyTypeObject *type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT);
}

void refresh(Shape &shape, PyTypeObject *type, const Kind &kind) {
    // Read before the lookups: a change during them leaves a stale tag that simply misses later.
    const unsigned int version = type->tp_version_tag;
    bool direct = PyType_IsSubtype(type, kind.owner) && !has_instance_dict(type);
    for (int i = 0; i < kind.count && direct; ++i)
        direct = _PyType_Lookup(type, kind.slots[i].name) == kind.slots[i].descr;
    PyObject *media_type = nullptr;
    if (direct && kind.reads_media_type) {
        // A plain class attribute; anything that binds (a property) is read by attribute.
        media_type = _PyType_Lookup(type, S.n__media_type);
        direct = media_type && !Py_TYPE(media_type)->tp_descr_get;
    }
    shape.type = type;
    shape.version = version;
    shape.direct = direct;
    shape.media_type = direct ? media_type : nullptr;
    // What type.__call__ would do: the kinds' __new__, which is object.__new__ (an abstract class
    // refuses), then __init__.
    shape.constructs = direct && !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) &&
                       _PyType_Lookup(type, S.n___new__) == kind.new_ &&
                       _PyType_Lookup(type, S.n___init__) == kind.init;
}

const Shape &current(Shape &shape, PyTypeObject *type, const Kind &kind) {
    if (shape.type != type || type->tp_version_tag == 0 || shape.version != type->tp_version_tag)
        refresh(shape, type, kind);
    return shape;
}

// The vectorcall of a constructed class: the instance allocated and filled at once, without the
// argument tuple, the `__init__` lookup and its frame. Arguments by keyword, or too few or too
// many, go through type.__call__, which reports them as Python does.
PyObject *construct(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *type = reinterpret_cast<PyTypeObject *>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Constructed *entry = constructed;
    while (entry->type != type) ++entry;  // only the classes in the table have this vectorcall
    Kind &kind = *entry->kind;
    const bool plain = (!kwnames || !PyTuple_GET_SIZE(kwnames)) &&
                       (nargs == kind.arguments || (nargs == kind.arguments - 1 && kind.last_default));
    if (!plain || !current(entry->shape, type, kind).constructs)
        return call_type(callable, args, nargs, kwnames);
    PyObject *given[2] = {args[0], nargs > 1 ? args[1] : kind.last_default};
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self || kind.fill(self.get(), nargs == kind.arguments ? args : given, kind) < 0)
        return nullptr;
    return self.release();
}

// The `__new__` of a kind's owner (`self`): `cls.__new__(cls, *args, **kwargs)`.
PyObject *allocate(PyObject *owner, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    auto *base = reinterpret_cast<PyTypeObject *>(owner);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s.__new__(): not enough arguments", base->tp_name);
        return nullptr;
    }
    PyObject *cls = args[0];
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "%.200s.__new__(X): X is not a type object (%T)",
                     base->tp_name, cls);
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (!PyType_IsSubtype(type, base)) {
        PyErr_Format(PyExc_TypeError, "%.200s.__new__(%.200s): %.200s is not a subtype of %.200s",
                     base->tp_name, type->tp_name, type->tp_name, base->tp_name);
        return nullptr;
    }
    return PyBaseObject_Type.tp_new(type, S.empty_tuple, nullptr);
}

PyMethodDef allocate_def = {
    "__new__", fastcall(allocate),
    METH_FASTCALL | METH_KEYWORDS, "__new__(cls, /, *args, **kwargs)\n--\n\nobject.__new__(cls)."};

}  // namespace

int install_new(Kind &kind, PyTypeObject *owner) {
    Ref function = Ref::steal(PyCFunction_NewEx(&allocate_def, reinterpret_cast<PyObject *>(owner),
                                                nullptr));
    Ref method = function ? Ref::steal(PyStaticMethod_New(function.get())) : Ref{};
    if (!method ||
        PyObject_SetAttr(reinterpret_cast<PyObject *>(owner), S.n___new__, method.get()) < 0)
        return -1;
    kind.new_ = method.release();
    return 0;
}

int bind_kind(Kind &kind, PyTypeObject *owner, PyObject *const *names, int count) {
    PyObject *init = _PyType_Lookup(owner, S.n___init__);
    if (!init || !PyFunction_Check(init)) {
        PyErr_Format(PyExc_TypeError, "%.200s.__init__ is not a Python function", owner->tp_name);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        PyObject *descr = _PyType_Lookup(owner, names[i]);
        if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type) ||
            reinterpret_cast<PyMemberDescrObject *>(descr)->d_member->type != Py_T_OBJECT_EX) {
            PyErr_Format(PyExc_TypeError, "%.200s.%U is not a slot", owner->tp_name, names[i]);
            return -1;
        }
        kind.slots[i] = {names[i], Py_NewRef(descr),
                         reinterpret_cast<PyMemberDescrObject *>(descr)->d_member->offset};
    }
    kind.count = count;
    kind.owner = reinterpret_cast<PyTypeObject *>(Py_NewRef(owner));
    kind.init = Py_NewRef(init);
    return 0;
}

int install_constructor(Kind &kind, PyTypeObject *type) {
    if (!kind.owner || !PyType_IsSubtype(type, kind.owner) || !Py_IS_TYPE(type, &PyType_Type) ||
        !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyErr_Format(PyExc_TypeError, "cannot construct %.200s here", type->tp_name);
        return -1;
    }
    for (int i = 0; i < constructed_count; ++i)
        if (constructed[i].type == type) return 0;
    if (constructed_count == int(sizeof constructed / sizeof *constructed)) {
        PyErr_SetString(PyExc_RuntimeError, "too many constructed classes");
        return -1;
    }
    constructed[constructed_count++] = {reinterpret_cast<PyTypeObject *>(Py_NewRef(type)), &kind, {}};
    // Not inherited: a subclass is called through type.__call__, whose __init__ calls `fill`.
    type->tp_vectorcall = construct;
    return 0;
}

Shape shape_of(Kind &kind, PyTypeObject *type) {
    for (int i = 0; i < constructed_count; ++i)
        if (constructed[i].type == type) return current(constructed[i].shape, type, kind);
    return current(kind.other, type, kind);
}

}  // namespace qm::contents
