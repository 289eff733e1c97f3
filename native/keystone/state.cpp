#include "keystone/state.hpp"

#include "common/capi.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"

namespace qm::keystone {

PyObject *number(long value) { return PyLong_FromLong(value); }

PyObject *names_tuple(const char *name) { return Py_BuildValue("(s)", name); }

QM_STATE_DEFINE(QM_KEYSTONE_STATE)

namespace {

// The optional pydantic class: None when pydantic is not installed; any other failure of its
// import fails ours.
int bind_validation_error(PyObject *globals) {
    Ref cls = Ref::steal(PyImport_ImportModuleAttrString("pydantic", "ValidationError"));
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
        PyErr_Clear();
        cls = Ref::none();
    }
    return PyDict_SetItem(globals, S.n_ValidationError, cls.get());
}

}  // namespace

int init_state(PyObject *globals) {
    if (!S.messages && !(S.messages = messages::import())) return -1;
    S.request_type = S.messages->request_type;
    S.response_type = S.messages->response_type;
    if (!S.routing && !(S.routing = routing::import())) return -1;
    S.route_match_type = S.routing->route_match_type;
    if (!S.scribe && !(S.scribe = scribe::import())) return -1;
    if (create_state() < 0) return -1;
    set_field(S.globals, globals);  // a module imported again answers from its new dict
    if (PyDict_SetItem(globals, S.n_get_class_instance_hierarchy, S.class_hierarchy) < 0) return -1;
    return bind_validation_error(globals);
}

PyObject *module_global(PyObject *name) { return state::global(S.globals, name); }

PyObject *status_of(PyObject *http_exception) {
    Ref status = Ref::steal(PyObject_GetAttr(http_exception, S.n_status));
    if (!status) return nullptr;
    return PyNumber_Index(status.get());
}

bool check_request(PyObject *o, const char *arg) {
    if (is_request(o)) return true;
    arg_type_error(arg, S.request_type->tp_name, o);
    return false;
}

bool check_http_exception(PyObject *o, const char *arg) {
    if (is_http_exception(o)) return true;
    arg_type_error(arg, kHTTPExceptionName, o);
    return false;
}

bool check_exception_or_none(PyObject *o, const char *arg) {
    if (is_exception_or_none(o)) return true;
    arg_type_error(arg, kExceptionName, o);
    return false;
}

}  // namespace qm::keystone
