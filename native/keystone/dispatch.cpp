// The exception dispatch: from a handler's failure to the response that answers it. Each method
// reaches the others through `self` (call_self), so a Python subclass can change any step.
#include <Python.h>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "keystone/application.hpp"
#include "keystone/handling.hpp"
#include "keystone/responses.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {

OverrideSite site_handle_request_handler_exception{"handle_request_handler_exception"};
OverrideSite site_handle_http_exception{"handle_http_exception"};
OverrideSite site_handle_exception{"handle_exception"};
OverrideSite site_apply_exception_handler{"_apply_exception_handler"};
OverrideSite site_handle_internal_server_error{"handle_internal_server_error"};

namespace {

constexpr const char *kHandleRequestHandlerException =
    "KeystoneApplication.handle_request_handler_exception";
constexpr const char *kHandleHttpException = "KeystoneApplication.handle_http_exception";
constexpr const char *kHandleException = "KeystoneApplication.handle_exception";
constexpr const char *kApplyExceptionHandler = "KeystoneApplication._apply_exception_handler";
constexpr const char *kHandleInternalServerError =
    "KeystoneApplication.handle_internal_server_error";

bool is_exception_or_none(PyObject *o) {
    return o == Py_None || PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception));
}

// `handler(app, request, exc)`, to be awaited.
Await call_handler(PyObject *handler, PyObject *app, PyObject *request, PyObject *exc) {
    PyObject *args[] = {nullptr, app, request, exc};
    return await_(Ref::steal(
        PyObject_Vectorcall(handler, args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// The subclass's error-details response, returned as it comes (not awaited).
Ref produce_details(PyObject *self, PyObject *request, PyObject *exc) {
    Ref producer = Ref::steal(PyObject_GetAttr(self, S.n_server_error_details_handler));
    if (!producer) return {};
    return Ref::steal(call_method(S.n_produce_response, producer.get(), request, exc));
}

// The record for a registered handler that failed, naming it by its __name__. A handler without
// one (a partial, a callable object) is passed as it is, for the logger to format.
int log_handler_failure(PyObject *self, PyObject *handler) {
    Ref logger = Ref::borrow(as_app(self)->logger);
    PyObject *name = nullptr;
    if (PyObject_GetOptionalAttr(handler, S.n___name__, &name) < 0) return -1;
    Ref owned = Ref::steal(name);
    Ref result = Ref::steal(call_method(S.n_error, logger.get(), S.fmt_handler_failed,
                                        name ? name : handler));
    return result ? 0 : -1;
}

// ---- handle_request_handler_exception --------------------------------------------------------

Coro handle_request_handler_exception_body(Ref self, Ref request, Ref exc) {
    PyObject *app = self.get();
    if (is_http_exception(exc.get())) {
        Ref logged = co_await call_self(site_log_handled_exc, app, builtin_log_handled_exc,
                                        request.get(), exc.get());
        if (!logged) co_return Raised{};
        Ref response = co_await call_self(site_handle_http_exception, app,
                                          builtin_handle_http_exception, request.get(), exc.get());
        if (!response) co_return Raised{};
        co_return response;
    }
    const int handled = is_handled_exception(app, exc.get());
    if (handled < 0) co_return Raised{};
    // (A conditional expression as the operand of co_await evaluates both arms under GCC 12.)
    Ref logged;
    if (handled) {
        logged = co_await call_self(site_log_handled_exc, app, builtin_log_handled_exc,
                                    request.get(), exc.get());
    } else {
        logged = co_await call_self(site_log_unhandled_exc, app, builtin_log_unhandled_exc,
                                    request.get(), exc.get());
    }
    if (!logged) co_return Raised{};
    Ref response = co_await call_self(site_handle_exception, app, builtin_handle_exception,
                                      request.get(), exc.get());
    if (!response) co_return Raised{};
    co_return response;
}

// ---- handle_http_exception --------------------------------------------------------------------

bool check_http_exception_args(PyObject *request, PyObject *exc) {
    return check_request(request, "request") && check_http_exception(exc, "http_exception");
}

Coro handle_http_exception_body(Ref self, Ref request, Ref exc) {
    PyObject *app = self.get();
    Ref handler = Ref::steal(get_http_exception_handler(app, exc.get()));
    if (!handler) co_return Raised{};
    const int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) co_return Raised{};
    Ref response;
    if (truth) {
        response = co_await call_self(site_apply_exception_handler, app,
                                      builtin_apply_exception_handler, request.get(), exc.get(),
                                      handler.get());
    } else {
        response = co_await call_self(site_handle_exception, app, builtin_handle_exception,
                                      request.get(), exc.get());
    }
    if (!response) co_return Raised{};
    co_return response;
}

// ---- handle_exception -------------------------------------------------------------------------

Coro handle_exception_body(Ref self, Ref request, Ref exc) {
    PyObject *app = self.get();
    Ref handler = Ref::steal(get_exception_handler(app, exc.get(), Py_None));
    if (!handler) co_return Raised{};
    const int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) co_return Raised{};
    Ref response;
    if (truth) {
        response = co_await call_self(site_apply_exception_handler, app,
                                      builtin_apply_exception_handler, request.get(), exc.get(),
                                      handler.get());
    } else {
        response = co_await call_self(site_handle_internal_server_error, app,
                                      builtin_handle_internal_server_error, request.get(),
                                      exc.get());
    }
    if (!response) co_return Raised{};
    co_return response;
}

// ---- _apply_exception_handler ------------------------------------------------------------------

bool check_request_and_exception(PyObject *request, PyObject *exc) {
    if (!check_request(request, "request")) return false;
    if (is_exception_or_none(exc)) return true;
    arg_type_error("exc", kExceptionName, exc);
    return false;
}

// A handler that fails is never answered by the registry again: the response is the error
// details when asked for, else the plain 500 of the module's handle_internal_server_error.
Coro apply_exception_handler_body(Ref self, Ref request, Ref exc, Ref handler) {
    PyObject *app = self.get();
    Ref response = co_await call_handler(handler.get(), app, request.get(), exc.get());
    if (response) co_return response;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return Raised{};
    Ref server_ex = Ref::steal(PyErr_GetRaisedException());
    PyObject *failure = server_ex.get();
    if (while_handling(failure, [&] { return log_handler_failure(app, handler.get()); }) < 0)
        co_return Raised{};
    if (as_app(app)->show_error_details) {
        Ref details = while_handling(failure, [&] {
            return produce_details(app, request.get(), exc.get());
        });
        if (!details) co_return Raised{};
        co_return details;
    }
    Ref plain = co_await handling(failure, while_handling(failure, [&] {
        Ref fallback = Ref::steal(module_global(S.n_handle_internal_server_error));
        if (!fallback) return Await{};
        return call_handler(fallback.get(), app, request.get(), failure);
    }));
    if (!plain) co_return Raised{};
    co_return plain;
}

// ---- handle_internal_server_error (the method) --------------------------------------------------

Coro handle_internal_server_error_body(Ref self, Ref request, Ref exc) {
    PyObject *app = self.get();
    if (as_app(app)->show_error_details) {
        Ref details = produce_details(app, request.get(), exc.get());
        if (!details) co_return Raised{};
        co_return details;
    }
    Ref error = Ref::steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject *>(S.internal_server_error), exc.get()));
    if (!error) co_return Raised{};
    Ref handler = Ref::steal(get_http_exception_handler(app, error.get()));
    if (!handler) co_return Raised{};
    Ref response = co_await call_handler(handler.get(), app, request.get(), error.get());
    if (response) co_return response;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return Raised{};
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    Ref logged = while_handling(failure.get(), [&] {
        Ref logger = Ref::borrow(as_app(app)->logger);
        return Ref::steal(call_method(S.n_exception, logger.get(), S.fmt_ise_handler_failed));
    });
    if (!logged) co_return Raised{};
    co_return Ref::steal(text_response(S.int_500, S.internal_server_error_text));
}

// ---- The Python-visible methods -----------------------------------------------------------------

const char *const kRequestExc[] = {"request", "exc"};
const char *const kRequestHttpException[] = {"request", "http_exception"};
const char *const kApplyNames[] = {"request", "exc", "exception_handler"};

PyObject *py_handle_request_handler_exception(PyObject *self, PyObject *const *args,
                                              Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_request_handler_exception", args, nargs, kwnames, kRequestExc, 2, a))
        return nullptr;
    return handle_request_handler_exception_body(Ref::borrow(self), Ref::borrow(a[0]),
                                                 Ref::borrow(a[1]))
        .release(kHandleRequestHandlerException);
}

PyObject *py_handle_http_exception(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_http_exception", args, nargs, kwnames, kRequestHttpException, 2, a) ||
        !check_http_exception_args(a[0], a[1]))
        return nullptr;
    return handle_http_exception_body(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]))
        .release(kHandleHttpException);
}

PyObject *py_handle_exception(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_exception", args, nargs, kwnames, kRequestExc, 2, a)) return nullptr;
    return handle_exception_body(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]))
        .release(kHandleException);
}

PyObject *py_apply_exception_handler(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) {
    PyObject *a[3] = {};
    if (!parse_args("_apply_exception_handler", args, nargs, kwnames, kApplyNames, 3, a) ||
        !check_request_and_exception(a[0], a[1]))
        return nullptr;
    return apply_exception_handler_body(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]),
                                        Ref::borrow(a[2]))
        .release(kApplyExceptionHandler);
}

PyObject *py_handle_internal_server_error(PyObject *self, PyObject *const *args,
                                          Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_internal_server_error", args, nargs, kwnames, kRequestExc, 2, a) ||
        !check_request_and_exception(a[0], a[1]))
        return nullptr;
    return handle_internal_server_error_body(Ref::borrow(self), Ref::borrow(a[0]),
                                             Ref::borrow(a[1]))
        .release(kHandleInternalServerError);
}

const CoroutineFunctionDef kMethods[] = {
    {"handle_request_handler_exception", kHandleRequestHandlerException, "(self, request, exc)",
     "Logs a request handler's failure and answers it through the registry.",
     py_handle_request_handler_exception},
    {"handle_http_exception", kHandleHttpException, "(self, request, http_exception)",
     "Answers an HTTP exception with its registered handler, else through handle_exception.",
     py_handle_http_exception},
    {"handle_exception", kHandleException, "(self, request, exc)",
     "Answers an exception with the handler registered for its class hierarchy, else through "
     "handle_internal_server_error.",
     py_handle_exception},
    {"_apply_exception_handler", kApplyExceptionHandler, "(self, request, exc, exception_handler)",
     "Awaits exception_handler(app, request, exc); if the handler itself fails, answers with a "
     "plain 500 (or the error details).",
     py_apply_exception_handler},
    {"handle_internal_server_error", kHandleInternalServerError, "(self, request, exc)",
     "Answers an unhandled error: the error details when show_error_details is set, else the "
     "handler for InternalServerError.",
     py_handle_internal_server_error},
};

}  // namespace

// ---- The built-in methods, for call_self ---------------------------------------------------------

Await builtin_handle_request_handler_exception(PyObject *self, PyObject *request, PyObject *exc) {
    return await_(handle_request_handler_exception_body(Ref::borrow(self), Ref::borrow(request),
                                                        Ref::borrow(exc)),
                  kHandleRequestHandlerException);
}

Await builtin_handle_http_exception(PyObject *self, PyObject *request, PyObject *exc) {
    if (!check_http_exception_args(request, exc)) return Await{};
    return await_(handle_http_exception_body(Ref::borrow(self), Ref::borrow(request),
                                             Ref::borrow(exc)),
                  kHandleHttpException);
}

Await builtin_handle_exception(PyObject *self, PyObject *request, PyObject *exc) {
    return await_(
        handle_exception_body(Ref::borrow(self), Ref::borrow(request), Ref::borrow(exc)),
        kHandleException);
}

Await builtin_apply_exception_handler(PyObject *self, PyObject *request, PyObject *exc,
                                      PyObject *handler) {
    if (!check_request_and_exception(request, exc)) return Await{};
    return await_(apply_exception_handler_body(Ref::borrow(self), Ref::borrow(request),
                                               Ref::borrow(exc), Ref::borrow(handler)),
                  kApplyExceptionHandler);
}

Await builtin_handle_internal_server_error(PyObject *self, PyObject *request, PyObject *exc) {
    if (!check_request_and_exception(request, exc)) return Await{};
    return await_(handle_internal_server_error_body(Ref::borrow(self), Ref::borrow(request),
                                                    Ref::borrow(exc)),
                  kHandleInternalServerError);
}

std::span<const CoroutineFunctionDef> dispatch_methods() { return kMethods; }

}  // namespace qm::keystone
