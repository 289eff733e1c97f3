#include "contents/initializers.hpp"

#include "common/args.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/slot_attr.hpp"
#include "contents/asgi_read.hpp"
#include "contents/shape.hpp"
#include "contents/state.hpp"

namespace qm::contents {
namespace {

// `isinstance(value, str)`: 1, 0, or -1 with an error set.
int is_text(PyObject *value) {
    if (PyUnicode_Check(value)) return 1;
    return PyObject_IsInstance(value, reinterpret_cast<PyObject *>(&PyUnicode_Type));
}

// `text.encode("utf-8")`. New reference.
PyObject *utf8_of(PyObject *text) {
    if (PyUnicode_CheckExact(text)) return PyUnicode_AsUTF8String(text);
    return PyObject_CallMethodOneArg(text, S.n_encode, S.utf8);
}

// `type(value).__name__`. New reference.
PyObject *type_name(PyObject *value) { return PyType_GetName(Py_TYPE(value)); }

// type, body and length (`len(body)`) of an in-memory body, in that order.
int fill_body(PyObject *self, const Kind &kind, const Shape &shape, PyObject *type, PyObject *body) {
    if (put(self, kind, shape, 0, type) < 0 || put(self, kind, shape, 1, body) < 0) return -1;
    const Py_ssize_t size = PyBytes_CheckExact(body) ? PyBytes_GET_SIZE(body) : PyObject_Size(body);
    if (size < 0) return -1;
    Ref length = Ref::steal(PyLong_FromSsize_t(size));
    return length ? put(self, kind, shape, 2, length.get()) : -1;
}

// ---- text ------------------------------------------------------------------------------------

int text_fill(PyObject *self, PyObject *const *args, Kind &kind) {
    PyObject *text = args[0];
    const int given_text = is_text(text);
    if (given_text < 0) return -1;
    if (!given_text) {
        Ref argument = Ref::steal(PyObject_GetAttr(self, S.n__argument));
        Ref name = Ref::steal(type_name(text));
        if (argument && name)
            PyErr_Format(PyExc_TypeError, "%S must be str, not %U", argument.get(), name.get());
        return -1;
    }
    Ref data = Ref::steal(utf8_of(text));
    if (!data) return -1;
    // The media type is the class's: taken from the shape when it allows, else as an attribute.
    const Shape shape = shape_of(kind, Py_TYPE(self));
    Ref type = shape.direct ? Ref::borrow(shape.media_type)
                            : Ref::steal(PyObject_GetAttr(self, S.n__media_type));
    return type ? fill_body(self, kind, shape, type.get(), data.get()) : -1;
}

// ---- JSON ------------------------------------------------------------------------------------

// JSONSettings.dumps_utf8 as it was at installation; a replacement is called as it is. And the
// settings' `_dumps`, the dumps it calls.
OverrideSite dumps_utf8_site{"dumps_utf8"};
SlotAttr settings_dumps_field{"_dumps"};

// `json_settings.dumps_utf8(data)`, with the default dumps' encoder called at once when that is
// what the method would call. New reference.
PyObject *settings_dumps(const Kind &kind, PyObject *data) {
    PyObject *settings = kind.settings;
    const int overridden = is_overridden(dumps_utf8_site, settings, kind.settings_type);
    if (overridden < 0) return nullptr;
    if (!overridden) {
        Ref dumps = Ref::steal(settings_dumps_field.get(settings));
        if (!dumps) return nullptr;
        if (dumps.get() == kind.default_dumps) return PyObject_CallOneArg(kind.encode, data);
    }
    return PyObject_CallMethodOneArg(settings, S.n_dumps_utf8, data);
}

// What a dumps gave, as bytes: text encoded as UTF-8, a bytes-like object copied, anything else
// refused. New reference.
PyObject *dumped_bytes(Ref dumped) {
    if (PyBytes_CheckExact(dumped.get())) return dumped.release();
    const int given_text = is_text(dumped.get());
    if (given_text < 0) return nullptr;
    if (given_text) {
        dumped = Ref::steal(utf8_of(dumped.get()));
        if (!dumped || PyBytes_CheckExact(dumped.get())) return dumped.release();
    }
    PyObject *value = dumped.get();
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value))
        return PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), value);
    if (PyUnicode_Check(value)) return PyUnicode_AsUTF8String(value);
    Ref name = Ref::steal(type_name(value));
    if (name) PyErr_Format(PyExc_TypeError, "Expected bytes, got %U", name.get());
    return nullptr;
}

int json_fill(PyObject *self, PyObject *const *args, Kind &kind) {
    PyObject *data = args[0], *dumps = args[1];
    Ref dumped = Ref::steal(Py_IsNone(dumps) ? settings_dumps(kind, data)
                                             : PyObject_CallOneArg(dumps, data));
    if (!dumped) return -1;
    Ref body = Ref::steal(dumped_bytes(std::move(dumped)));
    if (!body) return -1;
    return fill_body(self, kind, shape_of(kind, Py_TYPE(self)), kind.media_type, body.get());
}

// ---- request bodies --------------------------------------------------------------------------

int server_body_fill(PyObject *self, PyObject *const *args, Kind &kind) {
    if (kind.checks_receive && !PyCallable_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "receive must be the ASGI receive callable");
        return -1;
    }
    // Read as the content is made, so that a limit changed at start-up applies.
    Ref limit = Ref::steal(state::global(kind.globals, S.n_MAX_BODY_SIZE));
    if (!limit) return -1;
    // type, body, length, _source, _data, _complete, _streamed, _received, max_size, announced,
    // and for ASGI _reader, _read_done.
    PyObject *const values[kMaxSlots] = {Py_None, Py_None,  S.minus_one, args[0],
                                         Py_None, Py_False, Py_False,    S.zero,
                                         limit.get(), args[1], Py_None,  Py_None};
    const Shape shape = shape_of(kind, Py_TYPE(self));
    for (int i = 0; i < kind.count; ++i)
        if (put(self, kind, shape, i, values[i]) < 0) return -1;
    return 0;
}

Kind text_kind{.fill = text_fill, .arguments = 1, .reads_media_type = true};
Kind json_kind{.fill = json_fill, .arguments = 2};
Kind server_body_kind{.fill = server_body_fill, .arguments = 2};
Kind asgi_kind{.fill = server_body_fill, .arguments = 2, .checks_receive = true};

// The function an `__init__` calls: `fill_x(self, *arguments)`, all of them positional.
template <Kind &K>
PyObject *py_fill(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("fill", nargs, K.arguments + 1)) return nullptr;
    if (!K.owner) {
        PyErr_SetString(PyExc_RuntimeError, "the constructor is not installed");
        return nullptr;
    }
    // Any object: one of another class is filled by attribute, as the Python statements would.
    if (K.fill(args[0], args + 1, K) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject *fill_text(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
    return py_fill<text_kind>(m, args, nargs);
}
PyObject *fill_json(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
    return py_fill<json_kind>(m, args, nargs);
}
PyObject *fill_server_body(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
    return py_fill<server_body_kind>(m, args, nargs);
}
PyObject *fill_asgi(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
    return py_fill<asgi_kind>(m, args, nargs);
}

int install_text(PyTypeObject *owner, PyTypeObject *const *classes, int count) {
    PyObject *const names[] = {S.n_type, S.n_body, S.n_length};
    if (bind_kind(text_kind, owner, names, 3) < 0 || install_new(text_kind, owner) < 0) return -1;
    for (int i = 0; i < count; ++i)
        if (install_constructor(text_kind, classes[i]) < 0) return -1;
    return 0;
}

int install_json(PyTypeObject *cls, PyObject *media_type, PyObject *settings,
                 PyObject *default_dumps, PyObject *encode) {
    PyObject *const names[] = {S.n_type, S.n_body, S.n_length};
    Kind &kind = json_kind;
    if (bind_kind(kind, cls, names, 3) < 0 || install_new(kind, cls) < 0) return -1;
    kind.last_default = Py_None;
    kind.media_type = Py_NewRef(media_type);
    kind.settings = Py_NewRef(settings);
    kind.settings_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(Py_TYPE(settings)));
    kind.default_dumps = Py_NewRef(default_dumps);
    kind.encode = Py_NewRef(encode);
    dumps_utf8_site.name = S.n_dumps_utf8;
    dumps_utf8_site.builtin = _PyType_Lookup(kind.settings_type, S.n_dumps_utf8);
    return install_constructor(kind, cls);
}

int install_server_bodies(PyTypeObject *base, PyTypeObject *asgi, PyTypeObject *rsgi,
                          PyObject *globals) {
    PyObject *const names[] = {S.n_type,     S.n_body,      S.n_length,    S.n__source,
                               S.n__data,    S.n__complete, S.n__streamed, S.n__received,
                               S.n_max_size, S.n_announced, S.n__reader,   S.n__read_done};
    static_assert(sizeof names / sizeof *names == kServerBodyFields);
    if (bind_kind(server_body_kind, base, names, kAnnounced + 1) < 0 ||
        bind_kind(asgi_kind, asgi, names, kServerBodyFields) < 0 ||
        install_new(server_body_kind, base) < 0)
        return -1;
    asgi_kind.new_ = Py_NewRef(server_body_kind.new_);
    for (Kind *kind : {&server_body_kind, &asgi_kind}) {
        kind->last_default = S.minus_one;
        kind->globals = Py_NewRef(globals);
    }
    if (install_constructor(server_body_kind, rsgi) < 0 || install_constructor(asgi_kind, asgi) < 0)
        return -1;
    return install_asgi_read(asgi_kind);
}

}  // namespace qm::contents
