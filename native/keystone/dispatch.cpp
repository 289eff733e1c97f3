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

// `handler(app, request, exc)`, to be awaited. The module's own handlers answer at once, without
// a coroutine of their own.
Await call_handler(PyObject *handler, PyObject *app, PyObject *request, PyObject *exc) {
    PyObject *args[] = {nullptr, app, request, exc};
    if (const ImmediateBody immediate = immediate_body_of(handler))
        return ready(Ref::steal(immediate(args + 1, 3, nullptr)));
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

// After the record: handle_http_exception for an HTTP exception, else handle_exception.
Await continue_dispatch(PyObject *self, PyObject *request, PyObject *exc) {
    if (is_http_exception(exc))
        return call_self(site_handle_http_exception, self, builtin_handle_http_exception, request, exc);
    return call_self(site_handle_exception, self, builtin_handle_exception, request, exc);
}

// An overriding logging method is awaited in a frame of its own before the dispatch goes on.
// `handled`: whether the registry knows the exception, found before the record is chosen.
Coro log_override_then_dispatch(Ref self, Ref request, Ref exc, bool handled) {
    Ref logged = co_await call_self(handled ? site_log_handled_exc : site_log_unhandled_exc,
                                    self.get(),
                                    handled ? builtin_log_handled_exc : builtin_log_unhandled_exc,
                                    request.get(), exc.get());
    if (!logged) co_return Raised{};
    Ref response = co_await continue_dispatch(self.get(), request.get(), exc.get());
    if (!response) co_return Raised{};
    co_return response;
}

// ---- handle_http_exception and handle_exception -------------------------------------------------

bool check_http_exception_args(PyObject *request, PyObject *exc) {
    return check_request(request, "request") && check_http_exception(exc, "http_exception");
}

// The handler found, applied; or, without one, the next step.
template <class Otherwise>
Await apply_or(PyObject *self, PyObject *request, PyObject *exc, Ref handler, OverrideSite &site,
               Otherwise otherwise) {
    if (!handler) return Await{};
    const int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) return Await{};
    if (truth)
        return call_self(site_apply_exception_handler, self, builtin_apply_exception_handler,
                         request, exc, handler.get());
    return call_self(site, self, otherwise, request, exc);
}

// A Python caller's coroutine for a method whose built-in steps give an awaitable.
using Step = Await (*)(PyObject *, PyObject *, PyObject *);

Coro run_step(Ref self, Ref request, Ref exc, Step step) {
    Ref response = co_await step(self.get(), request.get(), exc.get());
    if (!response) co_return Raised{};
    co_return response;
}

// ---- _apply_exception_handler ------------------------------------------------------------------

bool check_request_and_exception(PyObject *request, PyObject *exc) {
    return check_request(request, "request") && check_exception_or_none(exc, "exc");
}

// A handler that fails is never answered by the registry again: the response is the error
// details when asked for, else the plain 500 of the module's handle_internal_server_error.
// `failure` is the handler's exception.
Coro answer_handler_failure(Ref self, Ref request, Ref exc, Ref handler, Ref failure) {
    PyObject *app = self.get();
    PyObject *f = failure.get();
    if (while_handling(f, [&] { return log_handler_failure(app, handler.get()); }) < 0)
        co_return Raised{};
    if (as_app(app)->show_error_details) {
        Ref details = while_handling(f, [&] {
            return produce_details(app, request.get(), exc.get());
        });
        if (!details) co_return Raised{};
        co_return details;
    }
    Ref plain = co_await handling(f, while_handling(f, [&] {
        Ref fallback = Ref::steal(module_global(S.n_handle_internal_server_error));
        if (!fallback) return Await{};
        return call_handler(fallback.get(), app, request.get(), f);
    }));
    if (!plain) co_return Raised{};
    co_return plain;
}

// What answers the failure of `handler` that is being raised; anything but an Exception
// propagates.
Await after_handler_failure(PyObject *self, PyObject *request, PyObject *exc, PyObject *handler) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Await{};
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    return await_(answer_handler_failure(Ref::borrow(self), Ref::borrow(request), Ref::borrow(exc),
                                         Ref::borrow(handler), std::move(failure)),
                  kApplyExceptionHandler);
}

Coro apply_exception_handler_body(Ref self, Ref request, Ref exc, Ref handler) {
    Ref response = co_await call_handler(handler.get(), self.get(), request.get(), exc.get());
    if (response) co_return response;
    Ref answer = co_await after_handler_failure(self.get(), request.get(), exc.get(), handler.get());
    if (!answer) co_return Raised{};
    co_return answer;
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
    return run_step(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]),
                    builtin_handle_request_handler_exception)
        .release(kHandleRequestHandlerException);
}

PyObject *py_handle_http_exception(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_http_exception", args, nargs, kwnames, kRequestHttpException, 2, a) ||
        !check_http_exception_args(a[0], a[1]))
        return nullptr;
    return run_step(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]),
                    builtin_handle_http_exception)
        .release(kHandleHttpException);
}

PyObject *py_handle_exception(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("handle_exception", args, nargs, kwnames, kRequestExc, 2, a)) return nullptr;
    return run_step(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]),
                    builtin_handle_exception)
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

// The record is written at once when the logging method is the built-in one.
Await builtin_handle_request_handler_exception(PyObject *self, PyObject *request, PyObject *exc) {
    int handled = 1;
    if (!is_http_exception(exc) && (handled = is_handled_exception(self, exc)) < 0) return Await{};
    const int b = is_builtin(handled ? site_log_handled_exc : site_log_unhandled_exc, self);
    if (b < 0) return Await{};
    if (!b)
        return await_(log_override_then_dispatch(Ref::borrow(self), Ref::borrow(request),
                                                 Ref::borrow(exc), handled),
                      kHandleRequestHandlerException);
    if ((handled ? log_handled : log_unhandled)(self, request, exc) < 0) return Await{};
    return continue_dispatch(self, request, exc);
}

Await builtin_handle_http_exception(PyObject *self, PyObject *request, PyObject *exc) {
    if (!check_http_exception_args(request, exc)) return Await{};
    return apply_or(self, request, exc, Ref::steal(get_http_exception_handler(self, exc)),
                    site_handle_exception, builtin_handle_exception);
}

Await builtin_handle_exception(PyObject *self, PyObject *request, PyObject *exc) {
    return apply_or(self, request, exc, Ref::steal(get_exception_handler(self, exc, Py_None)),
                    site_handle_internal_server_error, builtin_handle_internal_server_error);
}

Await builtin_apply_exception_handler(PyObject *self, PyObject *request, PyObject *exc,
                                      PyObject *handler) {
    if (!check_request_and_exception(request, exc)) return Await{};
    // The module's own handlers answer at once: a coroutine is needed only if one fails.
    if (immediate_body_of(handler)) {
        Await answer = call_handler(handler, self, request, exc);
        if (answer.target) return answer;
        return after_handler_failure(self, request, exc, handler);
    }
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
