// The two log records of the dispatch: info for a handled error, error with the traceback for an
// unhandled one. Formats and arguments go to the logger separately (it formats lazily).
#include <Python.h>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/ref.hpp"
#include "common/results.hpp"
#include "keystone/application.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {

OverrideSite site_log_handled_exc{"log_handled_exc"};
OverrideSite site_log_unhandled_exc{"log_unhandled_exc"};

namespace {

// The request's method, and its URL as text. The URL's bytes come from the client and need not
// be UTF-8: undecodable bytes are shown escaped, so logging a failure never fails on them.
bool request_line(PyObject *request, Ref &method, Ref &url_text) {
    method = Ref::steal(PyObject_GetAttr(request, S.n_method));
    if (!method) return false;
    Ref url = Ref::steal(PyObject_GetAttr(request, S.n_url));
    if (!url) return false;
    Ref value = Ref::steal(PyObject_GetAttr(url.get(), S.n_value));
    if (!value) return false;
    if (PyBytes_CheckExact(value.get())) {
        url_text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()),
                                                   PyBytes_GET_SIZE(value.get()), "backslashreplace"));
    } else {
        url_text = Ref::steal(PyObject_CallMethod(value.get(), "decode", "ss", "utf-8",
                                                  "backslashreplace"));
    }
    return bool(url_text);
}

// str(exc) for the record; an exception whose own __str__ fails is still logged (and answered).
Ref text_of(PyObject *exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) return text;
    PyErr_Clear();
    return Ref::borrow(S.str_failed);
}

int log_handled(PyObject *self, PyObject *request, PyObject *exc) {
    Ref logger = Ref::borrow(as_app(self)->logger);
    Ref method, url, result;
    if (is_http_exception(exc)) {
        Ref status = Ref::steal(PyObject_GetAttr(exc, S.n_status));
        if (!status || !request_line(request, method, url)) return -1;
        Ref text = text_of(exc);
        if (!text) return -1;
        result = Ref::steal(call_method(S.n_info, logger.get(), S.fmt_http, status.get(),
                                        method.get(), url.get(), text.get()));
    } else {
        if (!request_line(request, method, url)) return -1;
        Ref text = text_of(exc);
        if (!text) return -1;
        result = Ref::steal(call_method(S.n_info, logger.get(), S.fmt_handled, method.get(),
                                        url.get(), text.get()));
    }
    return result ? 0 : -1;
}

int log_unhandled(PyObject *self, PyObject *request, PyObject *exc) {
    Ref logger = Ref::borrow(as_app(self)->logger);
    Ref method, url;
    if (!request_line(request, method, url)) return -1;
    PyObject *stack[] = {nullptr, logger.get(), S.fmt_unhandled, method.get(), url.get(), exc};
    Ref result = Ref::steal(PyObject_VectorcallMethod(
        S.n_error, stack + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_exc_info));
    return result ? 0 : -1;
}

using LogFunction = int (*)(PyObject *, PyObject *, PyObject *);

// The Python-visible coroutine: the record is written when it is awaited.
Coro log_body(Ref self, Ref request, Ref exc, LogFunction log) {
    if (log(self.get(), request.get(), exc.get()) < 0) co_return Raised{};
    co_return Ref::none();
}

const char *const kNames[] = {"request", "exc"};

PyObject *py_log_handled_exc(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("log_handled_exc", args, nargs, kwnames, kNames, 2, a)) return nullptr;
    return log_body(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]), log_handled)
        .release("KeystoneApplication.log_handled_exc");
}

PyObject *py_log_unhandled_exc(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    PyObject *a[2] = {};
    if (!parse_args("log_unhandled_exc", args, nargs, kwnames, kNames, 2, a)) return nullptr;
    return log_body(Ref::borrow(self), Ref::borrow(a[0]), Ref::borrow(a[1]), log_unhandled)
        .release("KeystoneApplication.log_unhandled_exc");
}

const CoroutineFunctionDef kMethods[] = {
    {"log_handled_exc", "KeystoneApplication.log_handled_exc", "(self, request, exc)",
     "Logs a failure that a registered handler answers, at info level.", py_log_handled_exc},
    {"log_unhandled_exc", "KeystoneApplication.log_unhandled_exc", "(self, request, exc)",
     "Logs a failure that no registered handler answers, at error level with its traceback.",
     py_log_unhandled_exc},
};

}  // namespace

// Built in, the record is written at once: there is nothing to wait for.
Await builtin_log_handled_exc(PyObject *self, PyObject *request, PyObject *exc) {
    return ready(Ref::steal(none_or_null(log_handled(self, request, exc))));
}

Await builtin_log_unhandled_exc(PyObject *self, PyObject *request, PyObject *exc) {
    return ready(Ref::steal(none_or_null(log_unhandled(self, request, exc))));
}

std::span<const CoroutineFunctionDef> log_methods() { return kMethods; }

}  // namespace qm::keystone
