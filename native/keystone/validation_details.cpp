// The validation-error document: {"detail": [{"loc": [...], "msg": ..., "type": ...}, ...]} from
// details given as a dict, a list, a message text or anything else.
#include <Python.h>

#include "common/ref.hpp"
#include "keystone/default_handlers.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

// {"loc": loc, "msg": msg, "type": "validation_error"}, `loc` defaulting to ["body"].
PyObject *error_item(PyObject *msg, PyObject *loc = nullptr) {
    Ref owned_loc = loc ? Ref::borrow(loc) : Ref::steal(Py_BuildValue("[O]", S.loc_body));
    if (!owned_loc) return nullptr;
    return Py_BuildValue("{sOsOsO}", "loc", owned_loc.get(), "msg", msg, "type",
                         S.validation_error_type);
}

PyObject *document(PyObject *items) { return Py_BuildValue("{sO}", "detail", items); }

// A document of one item whose message is str(value).
PyObject *single(PyObject *value) {
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text) return nullptr;
    Ref item = Ref::steal(error_item(text.get()));
    if (!item) return nullptr;
    Ref items = Ref::steal(Py_BuildValue("[O]", item.get()));
    return items ? document(items.get()) : nullptr;
}

int has_key(PyObject *mapping, const char *key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    return name ? PySequence_Contains(mapping, name.get()) : -1;
}

PyObject *from_dict(PyObject *details) {
    const int has_detail = has_key(details, "detail");
    if (has_detail < 0) return nullptr;
    if (has_detail) return Py_NewRef(details);  // already a document
    const int has_loc = has_key(details, "loc");
    if (has_loc < 0) return nullptr;
    const int has_msg = has_loc ? has_key(details, "msg") : 0;
    if (has_msg < 0) return nullptr;
    if (has_msg) {
        Ref items = Ref::steal(Py_BuildValue("[O]", details));
        return items ? document(items.get()) : nullptr;
    }
    return single(details);
}

PyObject *from_list(PyObject *details) {
    if (PyList_GET_SIZE(details) > 0) {
        Ref first = Ref::steal(PyList_GetItemRef(details, 0));
        if (!first) return nullptr;
        if (PyDict_Check(first.get())) {
            const int shaped = has_key(first.get(), "loc");
            if (shaped < 0) return nullptr;
            if (shaped) return document(details);
        }
    }
    Ref items = Ref::steal(PyList_New(0));
    if (!items) return nullptr;
    // str() of an element runs arbitrary code, which may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(details); ++i) {
        Ref element = Ref::steal(PyList_GetItemRef(details, i));
        if (!element) return nullptr;
        Ref text = Ref::steal(PyObject_Str(element.get()));
        if (!text) return nullptr;
        Ref item = Ref::steal(error_item(text.get()));
        if (!item || PyList_Append(items.get(), item.get()) < 0) return nullptr;
    }
    return document(items.get());
}

// A run of ASCII digits is an array index; other runs, a huge number among them, are names.
PyObject *path_part(PyObject *run) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(run);
    const int kind = PyUnicode_KIND(run);
    const void *data = PyUnicode_DATA(run);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return Py_NewRef(run);
    }
    PyObject *index = PyLong_FromUnicodeObject(run, 10);
    if (index || !PyErr_ExceptionMatches(PyExc_ValueError)) return index;
    PyErr_Clear();
    return Py_NewRef(run);
}

bool starts_with(PyObject *text, Py_UCS4 c) {
    return PyUnicode_GET_LENGTH(text) > 0 && PyUnicode_READ_CHAR(text, 0) == c;
}

// "<message> - at `$.items[0].id`" gives the message and loc ["body", "items", 0, "id"].
PyObject *from_text(PyObject *details) {
    Ref msg = Ref::steal(PyObject_Str(details));
    if (!msg) return nullptr;
    Ref loc = Ref::steal(Py_BuildValue("[O]", S.loc_body));
    if (!loc) return nullptr;
    const Py_ssize_t at = PyUnicode_Find(msg.get(), S.path_separator, 0,
                                         PyUnicode_GET_LENGTH(msg.get()), -1);
    if (at == -2) return nullptr;
    if (at >= 0) {
        const Py_ssize_t start = at + PyUnicode_GET_LENGTH(S.path_separator);
        Ref path = Ref::steal(PyUnicode_Substring(msg.get(), start, PyUnicode_GET_LENGTH(msg.get())));
        if (!path) return nullptr;
        msg = Ref::steal(PyUnicode_Substring(msg.get(), 0, at));
        if (!msg) return nullptr;
        path = Ref::steal(call_method(S.n_rstrip, path.get(), S.backquote));
        if (!path) return nullptr;
        for (Py_UCS4 prefix : {Py_UCS4('$'), Py_UCS4('.')}) {
            if (!starts_with(path.get(), prefix)) continue;
            path = Ref::steal(PyUnicode_Substring(path.get(), 1, PyUnicode_GET_LENGTH(path.get())));
            if (!path) return nullptr;
        }
        if (PyUnicode_GET_LENGTH(path.get()) > 0) {
            Ref findall = Ref::steal(PyImport_ImportModuleAttrString("re", "findall"));
            if (!findall) return nullptr;
            Ref runs = Ref::steal(PyObject_CallFunctionObjArgs(findall.get(), S.path_run_rx,
                                                               path.get(), nullptr));
            if (!runs) return nullptr;
            if (!PyList_CheckExact(runs.get())) {
                PyErr_SetString(PyExc_TypeError, "re.findall() did not return a list");
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runs.get()); ++i) {
                Ref part = Ref::steal(path_part(PyList_GET_ITEM(runs.get(), i)));
                if (!part || PyList_Append(loc.get(), part.get()) < 0) return nullptr;
            }
        }
    }
    Ref item = Ref::steal(error_item(msg.get(), loc.get()));
    if (!item) return nullptr;
    Ref items = Ref::steal(Py_BuildValue("[O]", item.get()));
    return items ? document(items.get()) : nullptr;
}

}  // namespace

PyObject *format_validation_details(PyObject *details, PyObject *default_msg) {
    if (PyDict_Check(details)) return from_dict(details);
    if (PyList_Check(details)) return from_list(details);
    if (PyUnicode_Check(details)) return from_text(details);
    const int truth = default_msg ? PyObject_IsTrue(default_msg) : 0;
    if (truth < 0) return nullptr;
    return single(truth ? default_msg : S.validation_error_text);
}

}  // namespace qm::keystone
