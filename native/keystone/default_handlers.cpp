// The default error handlers: coroutine functions of the registry's shape (app, request, exc)
// that answer at once. `app` and `request` are not used.
#include "keystone/default_handlers.hpp"

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "keystone/responses.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

// The attribute, or None when the object has none.
Ref attribute_or_none(PyObject *o, PyObject *name) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &value) < 0) return {};
    return value ? Ref::steal(value) : Ref::none();
}

// text.encode(codec), as bytes.
Ref encoded(PyObject *text, PyObject *codec) {
    Ref data = Ref::steal(call_method(S.n_encode, text, codec));
    if (data && !PyBytes_CheckExact(data.get())) return Ref::steal(expected_type("bytes", data.get()));
    return data;
}

using Answer = Ref (*)(PyObject *exc);

// The handler's body runs when its coroutine is first awaited, as an `async def` body would.
Coro answer_body(Ref exc, Answer answer) {
    Ref result = answer(exc.get());
    if (!result) co_return Raised{};
    co_return result;
}

// The common shape: (app, request, <exc>) by position or keyword, `request` a Request and the
// exception typed per handler. The exception, borrowed from `args`; null with an error set.
PyObject *checked_exception(const char *name, const char *exc_arg, bool http_typed,
                            PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const char *const names[] = {"app", "request", exc_arg};
    PyObject *a[3] = {};
    if (!parse_args(name, args, nargs, kwnames, names, 3, a)) return nullptr;
    if (!check_request(a[1], "request")) return nullptr;
    if (http_typed ? !check_http_exception(a[2], exc_arg) : !check_exception_or_none(a[2], exc_arg))
        return nullptr;
    return a[2];
}

Ref not_found(PyObject *) { return Ref::steal(text_response(S.int_404, S.resource_not_found)); }

Ref internal_server_error(PyObject *) {
    return Ref::steal(text_response(S.int_500, S.internal_server_error_text));
}

// A BadRequest raised while handling an error that renders itself as JSON (a validation error)
// answers with that JSON; anything else with its text.
Ref bad_request(PyObject *exc) {
    Ref context = Ref::steal(PyException_GetContext(exc));
    if (context) {
        Ref json = attribute_or_none(context.get(), S.n_json);
        if (!json) return {};
        if (json.get() != Py_None && PyCallable_Check(json.get())) {
            Ref text = Ref::steal(PyObject_CallNoArgs(json.get()));
            if (!text) return {};
            Ref data = encoded(text.get(), S.codec_utf8);
            Ref status = data ? Ref::steal(status_of(exc)) : Ref{};
            if (!status) return {};
            return Ref::steal(json_response(status.get(), data.get()));
        }
    }
    Ref message = Ref::steal(PyObject_Str(exc));
    if (!message) return {};
    Ref text = Ref::steal(PyUnicode_Concat(S.bad_request_prefix, message.get()));
    if (!text) return {};
    return Ref::steal(text_response(S.int_400, text.get()));
}

Ref unprocessable_entity(PyObject *exc) {
    Ref details = attribute_or_none(exc, S.n_details);
    if (!details) return {};
    Ref document;
    if (details.get() != Py_None) {
        Ref message = attribute_or_none(exc, S.n_message);
        if (!message) return {};
        document = Ref::steal(format_validation_details(details.get(), message.get()));
    } else {
        Ref message = attribute_or_none(exc, S.n_message);
        if (!message) return {};
        const int truth = PyObject_IsTrue(message.get());
        if (truth < 0) return {};
        document = Ref::steal(format_validation_details(
            truth ? message.get() : S.unprocessable_entity_text, Py_None));
    }
    if (!document) return {};
    Ref data = Ref::steal(PyObject_CallOneArg(S.msgspec_encode, document.get()));
    if (!data) return {};
    if (!PyBytes_CheckExact(data.get())) return Ref::steal(expected_type("bytes", data.get()));
    return Ref::steal(json_response(S.int_422, data.get()));
}

// pydantic's own JSON rendering of its errors, indented by 4, as a 400.
Ref pydantic_validation_error(PyObject *error) {
    PyObject *stack[] = {nullptr, error, S.indent};
    Ref text = Ref::steal(PyObject_VectorcallMethod(S.n_json, stack + 1,
                                                    1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_indent));
    if (!text) return {};
    Ref data = encoded(text.get(), S.codec_utf_8);
    if (!data) return {};
    return Ref::steal(json_response(S.int_400, data.get()));
}

// The status with its standard reason phrase; a status HTTPStatus does not know is a ValueError.
Ref common_http_exception(PyObject *exc) {
    Ref status = Ref::steal(status_of(exc));
    if (!status) return {};
    Ref known = Ref::steal(PyObject_CallOneArg(S.http_status, status.get()));
    if (!known) return {};
    Ref phrase = Ref::steal(PyObject_GetAttr(known.get(), S.n_phrase));
    if (!phrase) return {};
    return Ref::steal(text_response(status.get(), phrase.get()));
}

// Each handler as a coroutine function, and its immediate body for the dispatch (see
// coroutine_function.hpp): the arguments are checked at the call either way.
#define QM_DEFAULT_HANDLER(fn, answer, exc_arg, http_typed)                                    \
    PyObject *py_##fn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) { \
        PyObject *exc = checked_exception(#fn, exc_arg, http_typed, args, nargs, kwnames);     \
        if (!exc) return nullptr;                                                              \
        return answer_body(Ref::borrow(exc), answer).release(#fn);                             \
    }                                                                                          \
    PyObject *now_##fn(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {           \
        PyObject *exc = checked_exception(#fn, exc_arg, http_typed, args, nargs, kwnames);     \
        return exc ? answer(exc).release() : nullptr;                                          \
    }

QM_DEFAULT_HANDLER(handle_not_found, not_found, "http_exception", true)
QM_DEFAULT_HANDLER(handle_internal_server_error, internal_server_error, "exception", false)
QM_DEFAULT_HANDLER(handle_bad_request, bad_request, "http_exception", true)
QM_DEFAULT_HANDLER(handle_unprocessable_entity, unprocessable_entity, "http_exception", true)
QM_DEFAULT_HANDLER(_default_pydantic_validation_error_handler, pydantic_validation_error, "error",
                   false)
QM_DEFAULT_HANDLER(common_http_exception_handler, common_http_exception, "http_exception", true)
#undef QM_DEFAULT_HANDLER

const CoroutineFunctionDef kHandlers[] = {
    {"handle_not_found", "handle_not_found", "(app, request, http_exception)",
     "404 with the text \"Resource not found\".", py_handle_not_found, now_handle_not_found},
    {"handle_internal_server_error", "handle_internal_server_error", "(app, request, exception)",
     "500 with the text \"Internal Server Error\".", py_handle_internal_server_error,
     now_handle_internal_server_error},
    {"handle_bad_request", "handle_bad_request", "(app, request, http_exception)",
     "400 with the exception's text, or the JSON of the validation error it was raised from.",
     py_handle_bad_request, now_handle_bad_request},
    {"handle_unprocessable_entity", "handle_unprocessable_entity", "(app, request, http_exception)",
     "422 with the validation-error document built from the exception's details or message.",
     py_handle_unprocessable_entity, now_handle_unprocessable_entity},
    {"_default_pydantic_validation_error_handler", "_default_pydantic_validation_error_handler",
     "(app, request, error)", "400 with the pydantic error's own JSON.",
     py__default_pydantic_validation_error_handler,
     now__default_pydantic_validation_error_handler},
    {"common_http_exception_handler", "common_http_exception_handler",
     "(app, request, http_exception)",
     "The exception's status with its standard reason phrase as text.",
     py_common_http_exception_handler, now_common_http_exception_handler},
};

}  // namespace

std::span<const CoroutineFunctionDef> default_handlers() { return kHandlers; }

}  // namespace qm::keystone
