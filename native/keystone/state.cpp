#include "keystone/state.hpp"

#include "common/capi.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"

namespace qm::keystone {

State S;

PyObject *module_global(PyObject *name) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(S.globals, name, &value) < 0) return nullptr;
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
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
    if (o == Py_None || PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception)))
        return true;
    arg_type_error(arg, kExceptionName, o);
    return false;
}

PyObject *status_of(PyObject *http_exception) {
    Ref status = Ref::steal(PyObject_GetAttr(http_exception, S.n_status));
    if (!status) return nullptr;
    return PyNumber_Index(status.get());
}

namespace {

bool text(PyObject *&slot, const char *value) {
    slot = PyUnicode_InternFromString(value);
    return slot != nullptr;
}

bool number(PyObject *&slot, long value) {
    slot = PyLong_FromLong(value);
    return slot != nullptr;
}

bool names_tuple(PyObject *&slot, const char *name) {
    slot = Py_BuildValue("(s)", name);
    return slot != nullptr;
}

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
    S.globals = Py_NewRef(globals);
#define QM_INTERN_NAME(n) \
    if (!(S.n_##n = PyUnicode_InternFromString(#n))) return -1;
    QM_KEYSTONE_NAMES(QM_INTERN_NAME)
#undef QM_INTERN_NAME

    // The standard library and msgspec first, then the package's own modules.
#define QM_BIND_OBJECT(field, module, name) \
    if (!(S.field = import_attr(module, name))) return -1;
    QM_KEYSTONE_OBJECTS(QM_BIND_OBJECT)
#undef QM_BIND_OBJECT
    {
        Ref hierarchy = Ref::steal(import_attr("quenmark.utils", "get_class_instance_hierarchy"));
        if (!hierarchy ||
            PyDict_SetItem(globals, S.n_get_class_instance_hierarchy, hierarchy.get()) < 0)
            return -1;
    }
    if (bind_validation_error(globals) < 0) return -1;

    S.messages = messages::import();
    if (!S.messages) return -1;
    S.request_type = S.messages->request_type;
    S.response_type = S.messages->response_type;
#define QM_BIND_CLASS(field, module, name) \
    if (!(S.field = import_class(module, name))) return -1;
    QM_KEYSTONE_CLASSES(QM_BIND_CLASS)
#undef QM_BIND_CLASS

    if (!number(S.int_204, 204) || !number(S.int_400, 400) || !number(S.int_404, 404) ||
        !number(S.int_422, 422) || !number(S.int_500, 500) || !number(S.var_positional, 2) ||
        !number(S.indent, 4))
        return -1;
    if (!text(S.resource_not_found, "Resource not found") ||
        !text(S.internal_server_error_text, "Internal Server Error") ||
        !text(S.bad_request_prefix, "Bad Request: ") ||
        !text(S.unprocessable_entity_text, "Unprocessable entity") ||
        !text(S.validation_error_text, "Validation error") ||
        !text(S.validation_error_type, "validation_error") || !text(S.codec_utf8, "utf8") ||
        !text(S.codec_utf_8, "utf-8") || !text(S.logger_name, "quenmark.server") ||
        !text(S.str_failed, "<exception str() failed>") || !text(S.key_detail, "detail") ||
        !text(S.key_loc, "loc") || !text(S.key_msg, "msg") || !text(S.key_type, "type") ||
        !text(S.loc_body, "body") || !text(S.path_separator, " - at `") ||
        !text(S.backquote, "`") || !text(S.path_run_rx, "[^.\\[\\]]+") ||
        !text(S.fmt_http, "HTTP %s - \"%s %s\". %s") ||
        !text(S.fmt_handled, "Handled error: \"%s %s\". %s") ||
        !text(S.fmt_unhandled, "Unhandled exception - \"%s %s\"") ||
        !text(S.fmt_handler_failed, "Unhandled exception in exception_handler: %s") ||
        !text(S.fmt_ise_handler_failed, "An exception occurred while trying to apply the "
                                        "configured Internal Server Error handler!"))
        return -1;
    S.application_json = PyBytes_FromString("application/json");
    if (!S.application_json) return -1;
    if (!names_tuple(S.kw_content, "content") || !names_tuple(S.kw_exc_info, "exc_info") ||
        !names_tuple(S.kw_indent, "indent"))
        return -1;
    return 0;
}

}  // namespace qm::keystone
