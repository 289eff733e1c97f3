// Everything the module binds once at import, in one place: the messages table, sibling classes,
// standard-library objects, interned names and constant objects. The dispatch reads these
// instead of looking anything up by name; what the module must look up at call time (its own
// globals, which users may replace) goes through `module_global`.
#pragma once

#include <Python.h>

#include "messages/messages_api.hpp"

namespace qm::keystone {

// Interned attribute and global names, as `S.n_<name>`.
#define QM_KEYSTONE_NAMES(X)                                                                    \
    X(get_match) X(values) X(handler) X(status) X(url) X(value) X(method) X(info) X(error)     \
    X(exception) X(get) X(server_error_details_handler) X(produce_response) X(__name__)         \
    X(json) X(details) X(message) X(encode) X(parameters) X(kind) X(setLevel)       \
    X(phrase) X(hasHandlers) X(filters) X(__setitem__) X(rpartition) X(rstrip) X(isdigit)      \
    X(get_logger) X(get_class_instance_hierarchy) X(handle_not_found) X(handle_bad_request)    \
    X(handle_unprocessable_entity) X(_default_pydantic_validation_error_handler)               \
    X(common_http_exception_handler) X(handle_internal_server_error) X(ValidationError)        \
    X(ExceptionHandlersDict) X(init_exceptions_handlers)

// Classes of other modules, bound by module and name (used through attributes and calls).
#define QM_KEYSTONE_CLASSES(X)                                                                  \
    X(user_dict, "collections", "UserDict")                                                     \
    X(logger_type, "logging", "Logger")                                                         \
    X(http_exception, "quenmark.exceptions", "HTTPException")                                   \
    X(internal_server_error, "quenmark.exceptions", "InternalServerError")                      \
    X(unprocessable_entity, "quenmark.exceptions", "UnprocessableEntity")                       \
    X(invalid_exception_handler, "quenmark.exceptions", "InvalidExceptionHandler")              \
    X(content, "quenmark.contents", "Content")                                                  \
    X(text_content, "quenmark.contents", "TextContent")

// Other objects, bound by module and name.
#define QM_KEYSTONE_OBJECTS(X)                                                                  \
    X(http_status, "http", "HTTPStatus")                                                        \
    X(iscoroutinefunction, "inspect", "iscoroutinefunction")                                    \
    X(signature_class, "inspect", "Signature")                                                  \
    X(coroutine_mark, "inspect", "_is_coroutine_mark")                                          \
    X(get_logger_by_name, "logging", "getLogger")                                               \
    X(info_level, "logging", "INFO")                                                            \
    X(msgspec_encode, "msgspec.json", "encode")

// The type names that argument errors spell out.
inline constexpr const char *kHTTPExceptionName = "quenmark.exceptions.HTTPException";
inline constexpr const char *kExceptionName = "Exception";

struct State {
    const messages::CApi *messages = nullptr;
    PyTypeObject *request_type = nullptr;
    PyTypeObject *response_type = nullptr;
    PyObject *globals = nullptr;  // the module's dict

#define QM_DECLARE_CLASS(field, module, name) PyTypeObject *field = nullptr;
    QM_KEYSTONE_CLASSES(QM_DECLARE_CLASS)
#undef QM_DECLARE_CLASS
#define QM_DECLARE_OBJECT(field, module, name) PyObject *field = nullptr;
    QM_KEYSTONE_OBJECTS(QM_DECLARE_OBJECT)
#undef QM_DECLARE_OBJECT
#define QM_DECLARE_NAME(n) PyObject *n_##n = nullptr;
    QM_KEYSTONE_NAMES(QM_DECLARE_NAME)
#undef QM_DECLARE_NAME

    // Statuses and other numbers.
    PyObject *int_204 = nullptr, *int_400 = nullptr, *int_404 = nullptr, *int_422 = nullptr;
    PyObject *int_500 = nullptr;
    PyObject *var_positional = nullptr;  // 2, inspect.Parameter.VAR_POSITIONAL
    PyObject *indent = nullptr;          // 4
    // Texts of the default handlers.
    PyObject *resource_not_found = nullptr;     // "Resource not found"
    PyObject *internal_server_error_text = nullptr;  // "Internal Server Error"
    PyObject *bad_request_prefix = nullptr;     // "Bad Request: "
    PyObject *unprocessable_entity_text = nullptr;  // "Unprocessable entity"
    PyObject *validation_error_text = nullptr;  // "Validation error"
    PyObject *validation_error_type = nullptr;  // "validation_error"
    PyObject *application_json = nullptr;       // b"application/json"
    PyObject *codec_utf8 = nullptr;             // "utf8"
    PyObject *codec_utf_8 = nullptr;            // "utf-8"
    PyObject *logger_name = nullptr;            // "quenmark.server"
    PyObject *str_failed = nullptr;             // stands for an exception whose str() fails
    // The validation-error document.
    PyObject *key_detail = nullptr, *key_loc = nullptr, *key_msg = nullptr, *key_type = nullptr;
    PyObject *loc_body = nullptr;               // "body"
    PyObject *path_separator = nullptr;         // " - at `"
    PyObject *backquote = nullptr;              // "`"
    PyObject *path_run_rx = nullptr;            // "[^.\\[\\]]+"
    // Log formats.
    PyObject *fmt_http = nullptr;               // HTTP %s - "%s %s". %s
    PyObject *fmt_handled = nullptr;            // Handled error: "%s %s". %s
    PyObject *fmt_unhandled = nullptr;          // Unhandled exception - "%s %s"
    PyObject *fmt_handler_failed = nullptr;     // Unhandled exception in exception_handler: %s
    PyObject *fmt_ise_handler_failed = nullptr;
    // Keyword-name tuples of the calls the module makes.
    PyObject *kw_content = nullptr;             // ("content",)
    PyObject *kw_exc_info = nullptr;            // ("exc_info",)
    PyObject *kw_indent = nullptr;              // ("indent",)
};

extern State S;

// Fills `S` (the module's dict is `globals`); -1 with an error set, and the import fails.
int init_state(PyObject *globals);

// A global of the module by interned name, as a new reference; NameError when it is missing.
PyObject *module_global(PyObject *name);

// The argument rule for the typed parameters of the module: `request` must be a Request and an
// `HTTPException` parameter an instance of it (the bodies read their fields, so None is refused
// too); an `Exception` parameter also takes None.
bool check_request(PyObject *o, const char *arg);
bool check_http_exception(PyObject *o, const char *arg);
bool check_exception_or_none(PyObject *o, const char *arg);

// The integer `status` of an HTTP exception, as an int (a new reference; null with an error set).
PyObject *status_of(PyObject *http_exception);

// `self.<name>(args...)`, looked up as Python would and bound without a method object. New
// reference, or null with an error set.
template <class... Args>
PyObject *call_method(PyObject *name, PyObject *self, Args... args) {
    PyObject *stack[] = {nullptr, self, args...};  // the spare slot lets the call prepend
    return PyObject_VectorcallMethod(name, stack + 1,
                                     (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

inline bool is_request(PyObject *o) { return PyObject_TypeCheck(o, S.request_type); }
inline bool is_http_exception(PyObject *o) { return PyObject_TypeCheck(o, S.http_exception); }

}  // namespace qm::keystone
