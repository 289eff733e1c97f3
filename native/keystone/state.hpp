// Everything the module binds once at import, in one place: the messages table, sibling classes,
// standard-library objects, interned names and constant objects. The dispatch reads these
// instead of looking anything up by name; what the module must look up at call time (its own
// globals, which users may replace) goes through `module_global`.
#pragma once

#include <Python.h>

#include "common/module_state.hpp"
#include "messages/messages_api.hpp"
#include "routing/routing_api.hpp"
#include "scribe/scribe_api.hpp"

namespace qm::keystone {

// Makers for the entries below that take more than one call: new references, or null with an
// error set.
PyObject *number(long value);
PyObject *names_tuple(const char *name);  // a one-name keyword tuple for vectorcall

// The module's state (see common/module_state.hpp).
#define QM_KEYSTONE_STATE(NAME, OBJECT, TYPE)                                                    \
    NAME(get_match) NAME(values) NAME(handler) NAME(status) NAME(url) NAME(value) NAME(method)  \
    NAME(info) NAME(error) NAME(exception) NAME(get) NAME(server_error_details_handler)         \
    NAME(produce_response) NAME(__name__) NAME(json) NAME(details) NAME(message) NAME(encode)   \
    NAME(parameters) NAME(kind) NAME(setLevel) NAME(phrase) NAME(__setitem__) NAME(rstrip)     \
    NAME(init_exceptions_handlers)                                                             \
    NAME(disabled) NAME(filters) NAME(handlers) NAME(propagate) NAME(parent) NAME(level)       \
    NAME(lastResort) NAME(data) NAME(isEnabledFor) NAME(__call__) NAME(__init_subclass__)      \
    NAME(type) NAME(http) NAME(proto) NAME(_entry) NAME(_unanswered) NAME(_serve_other_scope)  \
    /* Globals of the module, read when they are used (users may replace them). */            \
    NAME(get_logger) NAME(get_class_instance_hierarchy) NAME(handle_not_found)                 \
    NAME(handle_bad_request) NAME(handle_unprocessable_entity)                                 \
    NAME(_default_pydantic_validation_error_handler) NAME(common_http_exception_handler)       \
    NAME(handle_internal_server_error) NAME(ValidationError) NAME(ExceptionHandlersDict)       \
    /* The standard library and msgspec. */                                                    \
    OBJECT(http_status, state::attr("http", "HTTPStatus"))                                     \
    OBJECT(iscoroutinefunction, state::attr("inspect", "iscoroutinefunction"))                 \
    OBJECT(signature_class, state::attr("inspect", "Signature"))                               \
    OBJECT(coroutine_mark, state::attr("inspect", "_is_coroutine_mark"))                       \
    OBJECT(get_logger_by_name, state::attr("logging", "getLogger"))                            \
    OBJECT(info_level, state::attr("logging", "INFO"))                                         \
    OBJECT(logging_module, PyImport_ImportModule("logging"))                                   \
    TYPE(logger_type, state::cls("logging", "Logger"))                                         \
    TYPE(root_logger_type, state::cls("logging", "RootLogger"))                                \
    TYPE(user_dict, state::cls("collections", "UserDict"))                                     \
    OBJECT(msgspec_encode, state::attr("msgspec.json", "encode"))                              \
    /* Sibling modules. */                                                                     \
    OBJECT(serve_asgi, state::attr("quenmark.scribe", "serve_asgi"))                           \
    OBJECT(serve_rsgi, state::attr("quenmark.scribe", "serve_rsgi"))                           \
    OBJECT(class_hierarchy, state::attr("quenmark.utils", "get_class_instance_hierarchy"))     \
    TYPE(http_exception, state::cls("quenmark.exceptions", "HTTPException"))                   \
    TYPE(internal_server_error, state::cls("quenmark.exceptions", "InternalServerError"))      \
    TYPE(unprocessable_entity, state::cls("quenmark.exceptions", "UnprocessableEntity"))       \
    TYPE(invalid_exception_handler, state::cls("quenmark.exceptions", "InvalidExceptionHandler")) \
    TYPE(content, state::cls("quenmark.contents", "Content"))                                  \
    TYPE(text_content, state::cls("quenmark.contents", "TextContent"))                         \
    /* Statuses and other numbers. */                                                          \
    OBJECT(int_204, number(204)) OBJECT(int_400, number(400)) OBJECT(int_404, number(404))     \
    OBJECT(int_422, number(422)) OBJECT(int_500, number(500))                                  \
    OBJECT(var_positional, number(2)) /* inspect.Parameter.VAR_POSITIONAL */                   \
    OBJECT(indent, number(4))                                                                  \
    /* Texts of the default handlers. */                                                       \
    OBJECT(resource_not_found, state::str("Resource not found"))                               \
    OBJECT(internal_server_error_text, state::str("Internal Server Error"))                    \
    OBJECT(bad_request_prefix, state::str("Bad Request: "))                                    \
    OBJECT(unprocessable_entity_text, state::str("Unprocessable entity"))                      \
    OBJECT(validation_error_text, state::str("Validation error"))                              \
    OBJECT(validation_error_type, state::str("validation_error"))                              \
    OBJECT(application_json, state::bytes("application/json"))                                 \
    OBJECT(codec_utf8, state::str("utf8"))                                                     \
    OBJECT(codec_utf_8, state::str("utf-8"))                                                   \
    OBJECT(logger_name, state::str("quenmark.server"))                                         \
    OBJECT(str_failed, state::str("<exception str() failed>"))                                 \
    /* The validation-error document. */                                                       \
    OBJECT(loc_body, state::str("body"))                                                       \
    OBJECT(path_separator, state::str(" - at `"))                                              \
    OBJECT(backquote, state::str("`"))                                                         \
    OBJECT(path_run_rx, state::str("[^.\\[\\]]+"))                                             \
    /* Log formats. */                                                                         \
    OBJECT(fmt_http, state::str("HTTP %s - \"%s %s\". %s"))                                     \
    OBJECT(fmt_handled, state::str("Handled error: \"%s %s\". %s"))                             \
    OBJECT(fmt_unhandled, state::str("Unhandled exception - \"%s %s\""))                        \
    OBJECT(fmt_handler_failed, state::str("Unhandled exception in exception_handler: %s"))     \
    OBJECT(fmt_ise_handler_failed, state::str("An exception occurred while trying to apply "   \
                                              "the configured Internal Server Error handler!")) \
    /* Keyword names of the calls the module makes. */                                         \
    OBJECT(kw_content, names_tuple("content"))                                                 \
    OBJECT(kw_exc_info, names_tuple("exc_info"))                                               \
    OBJECT(kw_indent, names_tuple("indent"))

// The type names that argument errors spell out.
inline constexpr const char *kHTTPExceptionName = "quenmark.exceptions.HTTPException";
inline constexpr const char *kExceptionName = "Exception";

struct State {
    const messages::CApi *messages = nullptr;  // bound first
    PyTypeObject *request_type = nullptr;      // from the messages table
    PyTypeObject *response_type = nullptr;
    // The routing table, for RouteMatch: handle reads an exact RouteMatch's fields directly.
    const routing::CApi *routing = nullptr;
    const scribe::CApi *scribe = nullptr;
    PyTypeObject *route_match_type = nullptr;
    PyObject *globals = nullptr;               // the module's dict
    PyObject *handlers_dict_class = nullptr;   // ExceptionHandlersDict, once made
    QM_STATE_FIELDS(QM_KEYSTONE_STATE)
};

extern State S;

// Binds the messages table, fills `S` and adds the imported globals to `globals` (the module's
// dict); -1 with an error set (the module's import then fails).
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
inline bool is_exception_or_none(PyObject *o) {
    return o == Py_None || PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception));
}
inline bool is_http_exception(PyObject *o) { return PyObject_TypeCheck(o, S.http_exception); }

}  // namespace qm::keystone
