// text(), html() and json() of quenmark.responses: the content made by calling its class (which
// the contents module has built natively) and a response from the pool, with no Python frame in
// between. As the Python they replace, the content is made before the status is checked.
#include "messages/shortcuts.hpp"

#include "common/args.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "messages/pools.hpp"
#include "messages/response.hpp"
#include "messages/state.hpp"

namespace qm::messages {
namespace {

// `acquire_response(status, None, content)`, `status` null for 200. Takes `made` (the content, or
// null with an error set).
PyObject *respond(PyObject *made, PyObject *status) {
    Ref content = Ref::steal(made);
    if (!content) return nullptr;
    AcquireResponseArgs args{3, 200, Py_None, content.get()};
    if (status && !to_status(status, args.status)) return nullptr;
    return acquire_response(0, &args);
}

PyObject *make(PyTypeObject *cls, PyObject *const *args, size_t nargs) {
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(cls), args, nargs, nullptr);
}

PyObject *py_text(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"value", "status"};
    PyObject *a[2] = {};
    if (!parse_args("text", args, nargs, kwnames, names, 1, a)) return nullptr;
    return respond(make(S.text_content_type, a, 1), a[1]);
}

PyObject *py_html(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"value", "status"};
    PyObject *a[2] = {};
    if (!parse_args("html", args, nargs, kwnames, names, 1, a)) return nullptr;
    return respond(make(S.html_content_type, a, 1), a[1]);
}

PyObject *py_json(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"data", "status", "dumps"};
    PyObject *a[3] = {nullptr, nullptr, Py_None};
    if (!parse_args("json", args, nargs, kwnames, names, 1, a)) return nullptr;
    PyObject *const content_args[] = {a[0], a[2]};
    return respond(make(S.json_content_type, content_args, 2), a[1]);
}

const PyMethodDef kFunctions[] = {
    {"text", fastcall(py_text), METH_FASTCALL | METH_KEYWORDS,
     "text(value, status=200)\n--\n\nA text/plain response (UTF-8)."},
    {"html", fastcall(py_html), METH_FASTCALL | METH_KEYWORDS,
     "html(value, status=200)\n--\n\nA text/html response (UTF-8)."},
    {"json", fastcall(py_json), METH_FASTCALL | METH_KEYWORDS,
     "json(data, status=200, dumps=None)\n--\n\nAn application/json response; `dumps` defaults to "
     "the configured JSON settings."},
};

}  // namespace

std::span<const PyMethodDef> shortcut_functions() { return kFunctions; }

}  // namespace qm::messages
