// RadixTree: registration (insert, _parse_param_segment), the type and its Python methods. The
// lookup lives in match.cpp.
#include <cstring>
#include <string_view>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "core/ascii_case.h"
#include "routing/key_index.hpp"
#include "routing/state.hpp"

namespace qm::routing {

namespace {

using Obj = RadixTreeObject;

bool starts_with(std::string_view s, char c) { return !s.empty() && s.front() == c; }
bool ends_with(std::string_view s, char c) { return !s.empty() && s.back() == c; }

bool is_param_segment(std::string_view seg) {
    return (starts_with(seg, '{') && ends_with(seg, '}')) ||
           (starts_with(seg, '<') && ends_with(seg, '>')) || starts_with(seg, ':');
}

std::string_view view(PyObject *bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

Ref lowered_bytes(std::string_view s) {
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(s.size())));
    if (out) simd_lowercase_ascii(s.data(), PyBytes_AS_STRING(out.get()), s.size());
    return out;
}

Ref bytes_of(std::string_view s) {
    return Ref::steal(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The node's catch-all child, created when missing. Borrowed.
PyObject *ensure_wildcard_child(RadixNodeObject *node) {
    if (node->wildcard_child == Py_None) {
        Ref child = Ref::steal(new_node(S.star));
        if (!child) return nullptr;
        set_field(node->wildcard_child, std::move(child));
    }
    return node->wildcard_child;
}

// The final `param_names` of a route: a new list of str (or of what `.decode` gave), or None.
Ref route_param_names(PyObject *route, PyObject *param_names) {
    PyObject *source = param_names;
    Ref attr;
    if (source == Py_None) {
        PyObject *found = nullptr;
        if (PyObject_GetOptionalAttr(route, S.n_param_names, &found) < 0) return {};
        attr = Ref::steal(found);
        if (!attr) return Ref::none();
        const int truthy = PyObject_IsTrue(attr.get());
        if (truthy < 0) return {};
        if (!truthy) return Ref::none();
        source = attr.get();
    }
    Ref result = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(source));
    if (!result || !iter) return {};
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return {};
            break;
        }
        if (!PyUnicode_Check(item.get())) {
            item = Ref::steal(PyObject_CallMethodOneArg(item.get(), S.n_decode, S.n_utf8));
            if (!item) return {};
        }
        if (PyList_Append(result.get(), item.get()) < 0) return {};
    }
    return result;
}

// `static_routes` may have been set to None from the host.
int check_static_table(Obj *self) {
    if (PyDict_CheckExact(self->static_routes)) return 0;
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment",
                 Py_TYPE(self->static_routes)->tp_name);
    return -1;
}

enum class SegmentKind { Static, Param, CatchAll };

// The segments of a pattern as the tree reads them, in one place for registration and for the
// parameter names a route reports: runs of slashes separate segments; a segment that starts with
// '*', or a parameter of type path, is a catch-all and ends the pattern. Calls
// `on_segment(kind, seg, parsed)`, where `parsed` is the (name, validator) tuple of a parameter
// (null for the '*' form and for static segments); it returns 1 to go on, 0 to stop, -1 on error.
template <class OnSegment>
int walk_pattern(std::string_view pattern, OnSegment on_segment) {
    size_t pos = 0;
    while (pos < pattern.size()) {
        while (pos < pattern.size() && pattern[pos] == '/') ++pos;
        if (pos == pattern.size()) break;
        size_t end = pattern.find('/', pos);
        if (end == std::string_view::npos) end = pattern.size();
        const std::string_view seg = pattern.substr(pos, end - pos);
        pos = end;
        if (seg.front() == '*') return on_segment(SegmentKind::CatchAll, seg, nullptr) < 0 ? -1 : 0;
        if (!is_param_segment(seg)) {
            const int r = on_segment(SegmentKind::Static, seg, nullptr);
            if (r <= 0) return r;
            continue;
        }
        Ref raw = bytes_of(seg);
        if (!raw) return -1;
        Ref parsed = Ref::steal(tree_parse_param_segment(nullptr, raw.get()));
        if (!parsed) return -1;
        const int is_path = PyObject_RichCompareBool(PyTuple_GET_ITEM(parsed.get(), 1), S.n_path, Py_EQ);
        if (is_path < 0) return -1;
        if (is_path) return on_segment(SegmentKind::CatchAll, seg, parsed.get()) < 0 ? -1 : 0;
        const int r = on_segment(SegmentKind::Param, seg, parsed.get());
        if (r <= 0) return r;
    }
    return 0;
}

// Walks (and grows) the tree along `pattern`; returns the node where the pattern ends (new
// reference).
Ref insert_into_tree(Obj *self, std::string_view pattern) {
    if (self->root == Py_None) {
        cannot_convert(self->root, &RadixNodeType);
        return {};
    }
    Ref current = Ref::borrow(self->root);
    const int walked = walk_pattern(pattern, [&](SegmentKind kind, std::string_view seg,
                                                 PyObject *parsed) -> int {
        RadixNodeObject *node = as_node(current.get());
        if (kind == SegmentKind::CatchAll) {
            PyObject *child = ensure_wildcard_child(node);
            if (!child) return -1;
            if (parsed) {  // {name:path}
                set_field(node->wildcard_name, PyTuple_GET_ITEM(parsed, 0));
                set_field(node->wildcard_suffix, Py_None);
            } else {  // *suffix
                Ref suffix = seg.size() > 1 ? lowered_bytes(seg.substr(1)) : Ref::none();
                if (!suffix) return -1;
                set_field(node->wildcard_name, S.n_tail);
                set_field(node->wildcard_suffix, std::move(suffix));
            }
            current = Ref::borrow(child);
            return 0;
        }
        if (kind == SegmentKind::Param) {
            if (node->param_child == Py_None) {
                Ref raw = bytes_of(seg);
                if (!raw) return -1;
                Ref child = Ref::steal(new_node(raw.get()));
                if (!child) return -1;
                set_field(as_node(child.get())->param_name, PyTuple_GET_ITEM(parsed, 0));
                set_field(as_node(child.get())->param_validator, PyTuple_GET_ITEM(parsed, 1));
                set_field(node->param_child, std::move(child));
            }
            current = Ref::borrow(node->param_child);
            return 1;
        }
        Ref lowered = lowered_bytes(seg);
        if (!lowered) return -1;
        // Held: a key's __eq__ run by the lookup may replace the node's dict and free it.
        Ref children = Ref::borrow(node->children);
        if (!require_dict(children.get())) return -1;
        PyObject *found = nullptr;
        if (PyDict_GetItemRef(children.get(), lowered.get(), &found) < 0) return -1;
        Ref child = Ref::steal(found);
        if (!child) {
            child = Ref::steal(new_node(lowered.get()));
            if (!child || PyDict_SetItem(children.get(), lowered.get(), child.get()) < 0) return -1;
        } else if (child.get() == Py_None || !is_node(child.get())) {
            cannot_convert(child.get(), &RadixNodeType);
            return -1;
        }
        current = std::move(child);
        return 1;
    });
    if (walked < 0) return {};
    return current;
}

}  // namespace

namespace {

// A parameter segment as the tree reads it: the inner text between the brackets (or after the
// colon), split into `name` and `type` (`name`, `name:type`, or `type:name` with a known type
// first).
struct ParamText {
    std::string_view inner, name, type;
};

ParamText split_param(std::string_view seg) {
    std::string_view inner = seg;
    if ((starts_with(inner, '{') && ends_with(inner, '}') && inner.size() >= 2) ||
        (starts_with(inner, '<') && ends_with(inner, '>') && inner.size() >= 2)) {
        inner = inner.substr(1, inner.size() - 2);
    } else if (starts_with(inner, ':')) {
        inner = inner.substr(1);
    }
    ParamText text{inner, inner, {}};
    const size_t colon = inner.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view a = inner.substr(0, colon), b = inner.substr(colon + 1);
        static constexpr std::string_view kTypes[] = {"int", "float", "uuid", "str", "string", "path"};
        bool a_is_type = false;
        for (auto t : kTypes) a_is_type = a_is_type || a == t;
        text.name = a_is_type ? b : a;
        text.type = a_is_type ? a : b;
    }
    return text;
}

Ref utf8(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

}  // namespace

PyObject *tree_parse_param_segment(PyObject *, PyObject *seg) {
    if (!require_bytes(seg, "seg")) return nullptr;
    const ParamText text = split_param(view(seg));
    const std::string_view type = text.type;
    // The whole inner text must be valid UTF-8, whichever part carries the name.
    if (!utf8(text.inner)) return nullptr;
    Ref name_str = utf8(text.name);
    if (!name_str) return nullptr;
    Ref validator;
    if (type == "int") {
        validator = Ref::steal(module_global(S.n__INT_RX));
    } else if (type == "float") {
        validator = Ref::steal(module_global(S.n__FLOAT_RX));
    } else if (type == "uuid") {
        validator = Ref::steal(module_global(S.n__UUID_RX));
    } else if (type == "path") {
        validator = Ref::borrow(S.n_path);
    } else {
        validator = Ref::none();
    }
    if (!validator) return nullptr;
    return PyTuple_Pack(2, name_str.get(), validator.get());
}

PyObject *pattern_param_names(PyObject *pattern) {
    if (!require_bytes(pattern, "pattern")) return nullptr;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    const int walked = walk_pattern(view(pattern), [&](SegmentKind kind, std::string_view,
                                                       PyObject *parsed) -> int {
        if (kind != SegmentKind::Param) return 1;
        return PyList_Append(names.get(), PyTuple_GET_ITEM(parsed, 0)) < 0 ? -1 : 1;
    });
    if (walked < 0) return nullptr;
    return names.release();
}

PyObject *pattern_segments(PyObject *pattern) {
    if (!require_bytes(pattern, "pattern")) return nullptr;
    Ref segments = Ref::steal(PyList_New(0));
    if (!segments) return nullptr;
    const int walked = walk_pattern(view(pattern), [&](SegmentKind kind, std::string_view seg,
                                                       PyObject *parsed) -> int {
        static const char *const kKinds[] = {"static", "param", "catch_all"};
        Ref kind_str = Ref::steal(PyUnicode_InternFromString(kKinds[static_cast<int>(kind)]));
        Ref text = utf8(seg);
        Ref name = Ref::none(), type = Ref::none();
        if (parsed) {  // the type as written, which the parsed validator no longer tells
            name = Ref::borrow(PyTuple_GET_ITEM(parsed, 0));
            type = utf8(split_param(seg).type);
        }
        if (!kind_str || !text || !type) return -1;
        Ref item = Ref::steal(PyTuple_Pack(4, kind_str.get(), text.get(), name.get(), type.get()));
        if (!item || PyList_Append(segments.get(), item.get()) < 0) return -1;
        return 1;
    });
    if (walked < 0) return nullptr;
    return segments.release();
}

int tree_insert_impl(PyObject *self_obj, PyObject *pattern, PyObject *route, PyObject *param_names) {
    if (!require_bytes(pattern, "pattern") || !check_arg(param_names, &PyList_Type, "param_names"))
        return -1;
    Obj *self = as_tree(self_obj);
    Ref normalised = Ref::borrow(pattern);
    std::string_view p = view(pattern);
    if (p.empty()) {
        normalised = Ref::borrow(S.slash);
    } else if (p.size() > 1 && p.back() == '/' && !(p.size() >= 2 && p[p.size() - 2] == '*')) {
        while (!p.empty() && p.back() == '/') p.remove_suffix(1);
        normalised = bytes_of(p);
        if (!normalised) return -1;
    }
    p = view(normalised.get());

    if (p.find_first_of("{:<*") == std::string_view::npos) {
        if (check_static_table(self) < 0) return -1;
        // Held: a key's __eq__ run by the insertion may replace the table and free it.
        Ref routes = Ref::borrow(self->static_routes);
        if (PyDict_SetItem(routes.get(), normalised.get(), route) < 0) return -1;
        if (p == "/") {
            if (PyDict_SetItem(routes.get(), S.empty_bytes, route) < 0) return -1;
        } else {
            Ref slashed = Ref::steal(
                PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(normalised.get()) + 1));
            if (!slashed) return -1;
            std::memcpy(PyBytes_AS_STRING(slashed.get()), p.data(), p.size());
            PyBytes_AS_STRING(slashed.get())[p.size()] = '/';
            if (PyDict_SetItem(routes.get(), slashed.get(), route) < 0) return -1;
        }
    }

    Ref end = insert_into_tree(self, p);
    if (!end) return -1;
    // The names are computed first so that a failure leaves the node as it was.
    Ref names = route_param_names(route, param_names);
    if (!names) return -1;
    RadixNodeObject *node = as_node(end.get());
    set_field(node->route, route);
    node->is_leaf = true;
    set_field(node->param_names, std::move(names));
    return 0;
}

namespace {
OverrideSite insert_site{"insert"};
OverrideSite match_site{"match"};
}  // namespace

int tree_insert(PyObject *self, PyObject *pattern, PyObject *route, PyObject *param_names) {
    return dispatch_void(Py_IS_TYPE(self, &RadixTreeType), insert_site, &RadixTreeType,
                         tree_insert_impl, self, pattern, route, param_names);
}

// As `dispatch_object` would, with the built-in body's answer in `out` rather than a tuple.
int tree_lookup(PyObject *self, PyObject *path, Found &out) {
    if (!Py_IS_TYPE(self, &RadixTreeType)) {
        const int overridden = is_overridden(match_site, self, &RadixTreeType);
        if (overridden < 0) return -1;
        if (overridden) {
            Ref answer = call_override(match_site, self, path);
            if (!answer || !Returns{&PyTuple_Type}.accepts(answer.get())) return -1;
            if (answer.get() == Py_None) return 0;
            out.answer = std::move(answer);
            return 1;
        }
    }
    return tree_find(self, path, out);
}

PyObject *tree_match(PyObject *self, PyObject *path) {
    Found out;
    return lookup_answer(tree_lookup(self, path, out), out);
}

namespace {

int reset(Obj *self) {
    Ref root = Ref::steal(new_node(S.empty_bytes));
    if (!root) return -1;
    Ref routes = Ref::steal(PyDict_New());
    if (!routes) return -1;
    set_field(self->root, std::move(root));
    set_field(self->static_routes, std::move(routes));
    return 0;
}

PyObject *tree_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_tree(self)->root = Py_NewRef(Py_None);
    as_tree(self)->static_routes = Py_NewRef(Py_None);
    if (reset(as_tree(self)) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

int tree_init(PyObject *self, PyObject *args, PyObject *kwds) {
    if (!check_no_init_args("__init__", args, kwds)) return -1;
    return reset(as_tree(self));
}

int tree_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_tree(self)->root);
    Py_VISIT(as_tree(self)->static_routes);
    return 0;
}

int tree_clear(PyObject *self) {
    set_field(as_tree(self)->root, Py_None);
    set_field(as_tree(self)->static_routes, Py_None);
    free_key_index(&as_tree(self)->static_index);
    return 0;
}

void tree_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_tree(self)->root);
    Py_CLEAR(as_tree(self)->static_routes);
    free_key_index(&as_tree(self)->static_index);
    // A static type: for instances of host subclasses, subtype_dealloc releases the class.
    Py_TYPE(self)->tp_free(self);
}

PyObject *py_insert(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"pattern", "route", "param_names"};
    PyObject *values[] = {nullptr, nullptr, Py_None};
    if (!parse_args("insert", args, nargs, kwnames, names, 2, values)) return nullptr;
    if (tree_insert_impl(self, values[0], values[1], values[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_match(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 1 && !kwnames) return tree_match_impl(self, args[0]);
    static const char *const names[] = {"path"};
    PyObject *values[] = {nullptr};
    if (!parse_args("match", args, nargs, kwnames, names, 1, values)) return nullptr;
    return tree_match_impl(self, values[0]);
}

PyMethodDef tree_methods[] = {
    {"insert", fastcall(py_insert),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("insert($self, pattern, route, param_names=None)\n--\n\n"
               "Registers `route` for the bytes `pattern`.")},
    {"match", fastcall(py_match),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("match($self, path)\n--\n\n"
               "(route, params) for the bytes `path`, or None.")},
    {nullptr},
};

const Field kRoot{offsetof(Obj, root), FieldKind::Instance, &RadixNodeType};
const Field kStaticRoutes{offsetof(Obj, static_routes), FieldKind::Exact, &PyDict_Type};

PyGetSetDef tree_getset[] = {
    {"root", field_get, field_set, nullptr, const_cast<Field *>(&kRoot)},
    {"static_routes", field_get, field_set, nullptr, const_cast<Field *>(&kStaticRoutes)},
    {nullptr},
};

}  // namespace

PyTypeObject RadixTreeType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quenmark.routing.RadixTree",
    .tp_basicsize = sizeof(Obj),
    .tp_dealloc = tree_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = PyDoc_STR("RadixTree()\n--\n\nThe segment tree of one HTTP method."),
    .tp_traverse = tree_traverse,
    .tp_clear = tree_clear,
    .tp_methods = tree_methods,
    .tp_getset = tree_getset,
    .tp_init = tree_init,
    .tp_new = tree_new,
};

PyObject *new_tree() { return tree_new(&RadixTreeType, nullptr, nullptr); }

int add_tree_type(PyObject *module) {
    if (PyType_Ready(&RadixTreeType) < 0) return -1;
    return PyModule_AddType(module, &RadixTreeType);
}

}  // namespace qm::routing
