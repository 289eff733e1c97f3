// Forms of a message: URL-encoded bodies are parsed from `text()` on every call; multipart bodies
// are parsed part by part from `stream()`, each part's data going chunk by chunk into its own
// spooled temporary file (in memory up to 1 MiB, on disk beyond), and the result is kept in
// `_form_data`. The methods call one another and `text`/`stream` through their host-visible
// names, so a subclass's overrides are honoured; the parser, the part type and the simplifying
// function are imported at each call.
#include "messages/forms.hpp"

#include <Python.h>

#include <cstring>
#include <string_view>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "messages/message.hpp"
#include "messages/state.hpp"

namespace qm::messages::forms {
namespace {

constexpr std::string_view kUrlEncoded = "application/x-www-form-urlencoded";
// With its semicolon: a Content-Type without parameters has no boundary.
constexpr std::string_view kMultipart = "multipart/form-data;";

// Whether the Content-Type (bytes or None) contains `marker`, case-sensitively.
bool declares(PyObject *content_type, std::string_view marker) {
    if (!PyBytes_Check(content_type)) return false;
    return memmem(PyBytes_AS_STRING(content_type), size_t(PyBytes_GET_SIZE(content_type)),
                  marker.data(), marker.size()) != nullptr;
}

// `from <module> import <name>`: ImportError when the name is missing.
Ref from_import(PyObject *module_name, PyObject *name) {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module) {
        if (PyErr_Occurred()) return {};
        module = Ref::steal(PyImport_Import(module_name));
        if (!module) return {};
    }
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), name, &value) < 0) return {};
    if (!value)
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name, module_name);
    return Ref::steal(value);
}

Ref simplify(PyObject *form) {
    Ref fn = from_import(S.m_contents, S.n_simplify_multipart_data);
    if (!fn) return {};
    return Ref::steal(PyObject_CallOneArg(fn.get(), form));
}

// _encode(value): the UTF-8 bytes of a true value, None for a false one.
PyObject *encode(PyObject *value) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return nullptr;
    if (!truth) Py_RETURN_NONE;
    if (PyUnicode_CheckExact(value)) return PyUnicode_AsUTF8String(value);
    return PyObject_CallMethodOneArg(value, S.n_encode, S.n_utf8);
}

// The parts of one entry of a form: a list or tuple holds them; any other value (the text of a
// URL-encoded field) is one part by itself, not a sequence of characters.
int extend_parts(PyObject *items, PyObject *value) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) return PyList_Append(items, value);
    Ref held = Ref::borrow(value);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i)
        if (PyList_Append(items, PySequence_Fast_GET_ITEM(value, i)) < 0) return -1;
    return 0;
}

// `getattr(obj, name, None)`; null with an error set.
Ref optional_attr(PyObject *obj, PyObject *name) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return {};
    return value ? Ref::steal(value) : Ref::none();
}

// Closes the spooled files of a form whose parsing failed, keeping the error that stopped it.
void close_all(PyObject *files) {
    PyObject *error = PyErr_GetRaisedException();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files); ++i) {
        Ref file = Ref::borrow(PyList_GET_ITEM(files, i));
        if (!Ref::steal(PyObject_CallMethodNoArgs(file.get(), S.n_close)))
            PyErr_WriteUnraisable(file.get());
    }
    PyErr_SetRaisedException(error);
}

// ---- the coroutines ------------------------------------------------------------------------

Coro form_body(Ref self, Ref simplify_fields) {
    Ref type = Ref::steal(content_type(self.get()));
    if (!type) co_return Raised{};
    if (type.get() == Py_None || PyBytes_GET_SIZE(type.get()) == 0) co_return Ref::none();
    const int simplified = PyObject_IsTrue(simplify_fields.get());
    if (simplified < 0) co_return Raised{};

    Ref cached = Ref::borrow(as_message(self.get())->_form_data);
    if (cached.get() != Py_None) {
        if (simplified && declares(type.get(), kMultipart)) co_return simplify(cached.get());
        co_return cached;
    }
    if (declares(type.get(), kUrlEncoded)) {
        Ref text = co_await await_(Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n_text)));
        if (!text || !check_value(text.get(), &PyUnicode_Type)) co_return Raised{};
        co_return Ref::steal(PyObject_CallOneArg(S.parse_www_form_urlencoded, text.get()));
    }
    if (!declares(type.get(), kMultipart)) co_return Ref::none();

    Ref parse = Ref::steal(module_global(S.n__multipart_to_dict_streaming));
    if (!parse) co_return Raised{};
    Ref parts = Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n_multipart_stream));
    if (!parts) co_return Raised{};
    Ref form = co_await await_(Ref::steal(PyObject_CallOneArg(parse.get(), parts.get())));
    if (!form) co_return Raised{};
    set_field(as_message(self.get())->_form_data, form.get());
    if (simplified) co_return simplify(form.get());
    co_return form;
}

Coro multipart_body(Ref self) {
    Ref items = Ref::steal(PyList_New(0));
    if (!items) co_return Raised{};
    PyObject *args[] = {self.get(), Py_False};
    Ref form = co_await await_(Ref::steal(PyObject_VectorcallMethod(
        S.n_form, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_simplify_fields)));
    if (!form) co_return Raised{};
    const int truth = PyObject_IsTrue(form.get());
    if (truth < 0) co_return Raised{};
    if (!truth) co_return items;
    Ref entries = Ref::steal(PyObject_CallMethodNoArgs(form.get(), S.n_items));
    if (!entries) co_return Raised{};
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) co_return Raised{};
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() must give (name, parts) pairs");
            co_return Raised{};
        }
        if (extend_parts(items.get(), PyTuple_GET_ITEM(entry.get(), 1)) < 0) co_return Raised{};
    }
    if (PyErr_Occurred()) co_return Raised{};
    co_return items;
}

AsyncGen multipart_stream_body(Ref self) {
    Ref type = Ref::steal(content_type(self.get()));
    if (!type) co_return Raised{};
    if (type.get() == Py_None || !declares(type.get(), kMultipart)) co_return done;
    Ref boundary_of = from_import(S.m_multipart, S.n_get_boundary_from_header);
    if (!boundary_of) co_return Raised{};
    Ref parse = from_import(S.m_multipart, S.n_parse_multipart_async);
    if (!parse) co_return Raised{};
    Ref boundary = Ref::steal(PyObject_CallOneArg(boundary_of.get(), type.get()));
    if (!boundary) {
        // No usable boundary: the body is not a multipart form that can be read.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_IndexError))
            co_return Raised{};
        PyErr_Clear();
        co_return done;
    }
    Ref body = Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n_stream));
    if (!body) co_return Raised{};
    PyObject *args[] = {body.get(), boundary.get()};
    Ref parts = Ref::steal(PyObject_Vectorcall(parse.get(), args, 2, nullptr));
    if (!parts) co_return Raised{};
    Ref aiter = Ref::steal(PyObject_GetAIter(parts.get()));
    if (!aiter) co_return Raised{};
    for (;;) {
        Ref part = co_await anext_(aiter.get());
        if (!part) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        if (!(co_yield std::move(part))) co_return Raised{};
    }
    co_return done;
}

Coro files_body(Ref self, Ref name) {
    if (PyUnicode_Check(name.get())) {
        name = Ref::steal(PyUnicode_AsUTF8String(name.get()));
        if (!name) co_return Raised{};
    }
    Ref parts = co_await await_(Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n_multipart)));
    if (!parts) co_return Raised{};
    Ref out = Ref::steal(PyList_New(0));
    if (!out) co_return Raised{};
    if (parts.get() == Py_None) co_return out;
    const int by_name = PyObject_IsTrue(name.get());
    if (by_name < 0) co_return Raised{};
    Ref it = Ref::steal(PyObject_GetIter(parts.get()));
    if (!it) co_return Raised{};
    // Values that are not parts (the text fields of a URL-encoded form) have neither a name nor
    // a file name: they are never files.
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        Ref attr = optional_attr(part.get(), by_name ? S.n_name : S.n_file_name);
        if (!attr) co_return Raised{};
        const int keep = by_name ? PyObject_RichCompareBool(attr.get(), name.get(), Py_EQ)
                                 : PyObject_IsTrue(attr.get());
        if (keep < 0 || (keep && PyList_Append(out.get(), part.get()) < 0)) co_return Raised{};
    }
    if (PyErr_Occurred()) co_return Raised{};
    co_return out;
}

// One part into a spooled file: its data written chunk by chunk, the byte count in `size`.
Coro spool_part(Ref part, Ref file) {
    Ref source = Ref::steal(PyObject_CallMethodNoArgs(part.get(), S.n_stream));
    if (!source) co_return Raised{};
    Ref chunks = Ref::steal(PyObject_GetAIter(source.get()));
    if (!chunks) co_return Raised{};
    long long size = 0;
    for (;;) {
        Ref chunk = co_await anext_(chunks.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        if (!Ref::steal(PyObject_CallMethodOneArg(file.get(), S.n_write, chunk.get())))
            co_return Raised{};
        const Py_ssize_t n = PyObject_Length(chunk.get());
        if (n < 0) co_return Raised{};
        size += n;
    }
    co_return Ref::steal(PyLong_FromLongLong(size));
}

Coro multipart_to_dict_body(Ref stream_iter, Ref spool_max_size) {
    Ref spooled_type = from_import(S.m_tempfile, S.n_SpooledTemporaryFile);
    if (!spooled_type) co_return Raised{};
    Ref form_part = from_import(S.m_contents, S.n_FormPart);
    if (!form_part) co_return Raised{};
    Ref table = Ref::steal(PyDict_New());
    Ref files = Ref::steal(PyList_New(0));  // every file made, closed again if parsing fails
    if (!table || !files) co_return Raised{};
    Ref aiter = Ref::steal(PyObject_GetAIter(stream_iter.get()));
    if (!aiter) co_return Raised{};
    for (;;) {
        Ref part = co_await anext_(aiter.get());
        if (!part) {
            take_stop_async_iteration();  // the end; any other error stays set for below
            break;
        }
        Ref key = Ref::steal(PyObject_GetAttr(part.get(), S.n_name));
        if (!key) break;
        PyObject *spool_args[] = {spool_max_size.get(), S.w_plus_b};
        Ref file = Ref::steal(PyObject_Vectorcall(spooled_type.get(), spool_args, 0, S.kw_spool));
        if (!file || PyList_Append(files.get(), file.get()) < 0) break;
        Ref size = co_await await_(spool_part(Ref::borrow(part.get()), Ref::borrow(file.get())),
                                   "_multipart_to_dict_streaming.<part>");
        if (!size) break;
        if (!Ref::steal(PyObject_CallMethodOneArg(file.get(), S.n_seek, S.zero))) break;
        Ref name, file_name, type, charset;
        Ref attr;
        if (!(attr = Ref::steal(PyObject_GetAttr(part.get(), S.n_name))) ||
            !(name = Ref::steal(encode(attr.get()))) ||
            !(attr = Ref::steal(PyObject_GetAttr(part.get(), S.n_file_name))) ||
            !(file_name = Ref::steal(encode(attr.get()))) ||
            !(attr = Ref::steal(PyObject_GetAttr(part.get(), S.n_content_type))) ||
            !(type = Ref::steal(encode(attr.get()))) ||
            !(attr = Ref::steal(PyObject_GetAttr(part.get(), S.n_charset))) ||
            !(charset = Ref::steal(encode(attr.get()))))
            break;
        PyObject *part_args[] = {name.get(), file.get(), file_name.get(),
                                 type.get(), size.get(), charset.get()};
        Ref form_value = Ref::steal(PyObject_Vectorcall(form_part.get(), part_args, 0, S.kw_form_part));
        if (!form_value) break;
        PyObject *list = nullptr;
        Ref empty = Ref::steal(PyList_New(0));
        if (!empty || PyDict_SetDefaultRef(table.get(), key.get(), empty.get(), &list) < 0) break;
        const int appended = PyList_Append(list, form_value.get());
        Py_DECREF(list);
        if (appended < 0) break;
    }
    if (PyErr_Occurred()) {
        close_all(files.get());
        co_return Raised{};
    }
    co_return table;
}

// ---- the Python-visible methods and functions ------------------------------------------------

PyObject *py_form(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"simplify_fields"};
    PyObject *a[1] = {Py_True};
    if (!parse_args("form", args, nargs, kwnames, names, 0, a)) return nullptr;
    return form_body(Ref::borrow(self), Ref::borrow(a[0])).release("Message.form");
}

PyObject *py_multipart(PyObject *self, PyObject *) {
    return multipart_body(Ref::borrow(self)).release("Message.multipart");
}

PyObject *py_multipart_stream(PyObject *self, PyObject *) {
    return multipart_stream_body(Ref::borrow(self)).release("Message.multipart_stream");
}

PyObject *py_files(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"name"};
    PyObject *a[1] = {Py_None};
    if (!parse_args("files", args, nargs, kwnames, names, 0, a)) return nullptr;
    return files_body(Ref::borrow(self), Ref::borrow(a[0])).release("Message.files");
}

PyObject *py_multipart_to_dict_streaming(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                         PyObject *kwnames) {
    static const char *const names[] = {"stream_iter", "spool_max_size"};
    PyObject *a[2] = {nullptr, S.spool_max_size};
    if (!parse_args("_multipart_to_dict_streaming", args, nargs, kwnames, names, 1, a))
        return nullptr;
    return multipart_to_dict_body(Ref::borrow(a[0]), Ref::borrow(a[1]))
        .release("_multipart_to_dict_streaming");
}

PyObject *py_encode(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"value"};
    PyObject *a[1] = {};
    if (!parse_args("_encode", args, nargs, kwnames, names, 1, a)) return nullptr;
    return encode(a[0]);
}

const PyMethodDef kMessageMethods[] = {
    {"form", fastcall(py_form), METH_FASTCALL | METH_KEYWORDS,
     "form($self, simplify_fields=True)\n--\n\nAwaitable: the parsed form (URL-encoded or multipart), or None. Multipart forms are kept "
     "in _form_data; `simplify_fields` turns text parts into str."},
    {"multipart", py_multipart, METH_NOARGS,
     "Awaitable: the parts of the form as one list, grouped by field name."},
    {"multipart_stream", py_multipart_stream, METH_NOARGS,
     "Yields the parts of a multipart body as the parser reads them."},
    {"files", fastcall(py_files), METH_FASTCALL | METH_KEYWORDS,
     "files($self, name=None)\n--\n\nAwaitable: the parts named `name`, or every part with a file name."},
};

const PyMethodDef kModuleFunctions[] = {
    {"_multipart_to_dict_streaming", fastcall(py_multipart_to_dict_streaming),
     METH_FASTCALL | METH_KEYWORDS,
     "_multipart_to_dict_streaming(stream_iter, spool_max_size=1048576)\n--\n\nAwaitable: field name -> list of FormPart, each part's data in a spooled temporary file."},
    {"_encode", fastcall(py_encode), METH_FASTCALL | METH_KEYWORDS,
     "_encode(value)\n--\n\nThe UTF-8 encoding of a true value, else None."},
};

}  // namespace

int close_form_files(PyObject *form_data) {
    Ref form = Ref::borrow(form_data);
    Ref values = Ref::steal(PyObject_CallMethodNoArgs(form.get(), S.n_values));
    if (!values) return -1;
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return -1;
    while (Ref value = Ref::steal(PyIter_Next(it.get()))) {
        Ref inner = Ref::steal(PyObject_GetIter(value.get()));
        if (!inner) return -1;
        while (Ref item = Ref::steal(PyIter_Next(inner.get()))) {
            Ref file = Ref::steal(PyObject_GetAttr(item.get(), S.n_file));
            if (!file) return -1;
            const int truth = PyObject_IsTrue(file.get());
            if (truth < 0) return -1;
            if (truth && !Ref::steal(PyObject_CallMethodNoArgs(file.get(), S.n_close))) return -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

std::span<const PyMethodDef> message_methods() { return kMessageMethods; }
std::span<const PyMethodDef> module_functions() { return kModuleFunctions; }

}  // namespace qm::messages::forms
