// quenmark._contents: the constructors of the contents module's classes that every response or
// request with a body makes (TextContent, HTMLContent, JSONContent, ASGIContent, RSGIContent).
//
// Made in Python, each such object went through type.__call__, a Python `__init__` frame and an
// attribute store per slot: about as much again as the encoding it carries. The classes keep
// their Python definitions, hierarchy, slots and `__init__`s, which call `fill_*` here; and a call
// of one of the concrete classes from native code (the response shortcuts, the servers' request
// bodies) allocates the instance and fills its slots at once, while the class is as the contents
// module made it (see shape.hpp).
#include <Python.h>

#include "common/args.hpp"
#include "common/coro_frame.hpp"
#include "common/methods.hpp"
#include "contents/initializers.hpp"
#include "contents/state.hpp"

namespace qm::contents {

QM_STATE_DEFINE(QM_CONTENTS_STATE)

namespace {

bool is_class(PyObject *o, const char *arg) {
    if (PyType_Check(o)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a class, not %T", arg, o);
    return false;
}

PyTypeObject *as_class(PyObject *o) { return reinterpret_cast<PyTypeObject *>(o); }

PyObject *py_install_text(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("install_text", nargs, 3) || !is_class(args[0], "owner") ||
        !is_class(args[1], "text") || !is_class(args[2], "html"))
        return nullptr;
    PyTypeObject *const classes[] = {as_class(args[1]), as_class(args[2])};
    if (install_text(as_class(args[0]), classes, 2) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_install_json(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("install_json", nargs, 5) || !is_class(args[0], "cls")) return nullptr;
    if (!PyBytes_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "media_type must be bytes");
        return nullptr;
    }
    if (install_json(as_class(args[0]), args[1], args[2], args[3], args[4]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_install_server_bodies(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("install_server_bodies", nargs, 4) || !is_class(args[0], "base") ||
        !is_class(args[1], "asgi") || !is_class(args[2], "rsgi"))
        return nullptr;
    if (!PyDict_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "globals must be a dict");
        return nullptr;
    }
    if (install_server_bodies(as_class(args[0]), as_class(args[1]), as_class(args[2]), args[3]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kFunctions[] = {
    {"fill_text", fastcall(fill_text), METH_FASTCALL,
     "fill_text(self, text, /)\n--\n\n_UTF8Content.__init__: `text` encoded as UTF-8 under the "
     "class's media type."},
    {"fill_json", fastcall(fill_json), METH_FASTCALL,
     "fill_json(self, data, dumps, /)\n--\n\nJSONContent.__init__: `data` serialised by `dumps`, "
     "or by the JSON settings when it is None."},
    {"fill_server_body", fastcall(fill_server_body), METH_FASTCALL,
     "fill_server_body(self, source, announced, /)\n--\n\n_ServerBody.__init__."},
    {"fill_asgi", fastcall(fill_asgi), METH_FASTCALL,
     "fill_asgi(self, receive, announced, /)\n--\n\nASGIContent.__init__."},
    {"install_text", fastcall(py_install_text), METH_FASTCALL,
     "install_text(owner, text, html, /)\n--\n\nInstalls the text constructor on `owner` "
     "(_UTF8Content) and builds the calls of `text` and `html` directly."},
    {"install_json", fastcall(py_install_json), METH_FASTCALL,
     "install_json(cls, media_type, settings, default_dumps, encode, /)\n--\n\nInstalls the JSON "
     "constructor on `cls`; `encode` stands for `default_dumps` followed by encoding to UTF-8."},
    {"install_server_bodies", fastcall(py_install_server_bodies), METH_FASTCALL,
     "install_server_bodies(base, asgi, rsgi, globals, /)\n--\n\nInstalls the request body "
     "constructors on `base` (_ServerBody) and `asgi`; MAX_BODY_SIZE is read from `globals`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark._contents",
    .m_doc = "Native constructors of the common content classes.",
    .m_size = -1,
    .m_methods = kFunctions,
};

}  // namespace
}  // namespace qm::contents

PyMODINIT_FUNC PyInit__contents() {
    if (qm::contents::create_state() < 0 || qm::init_coroutines() < 0) return nullptr;
    return PyModule_Create(&qm::contents::kModuleDef);
}
