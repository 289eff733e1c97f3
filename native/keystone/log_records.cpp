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

// 1 when a record of `level` on `logger` would reach no handler, so that building it (and its
// arguments: the request's URL is parsed for it) would change nothing; 0 when it may be seen.
// Only the logging module's own loggers are judged, by their attributes, the way
// Logger.callHandlers walks the hierarchy: no filter on the logger, no handler on the way up,
// and logging.lastResort above the level (by default it takes warnings and up). Under a
// server's default logging configuration the info record of a handled error reaches nobody,
// and building it costs more than answering the request.
int reaches_nobody(PyObject *logger, PyObject *level) {
    const auto plain = [](PyObject *o) {
        return Py_IS_TYPE(o, S.logger_type) || Py_IS_TYPE(o, S.root_logger_type);
    };
    // A plain logger keeps these in its instance dict; read it without the attribute lookup.
    const auto field = [](PyObject *dict, PyObject *name) {
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(dict, name, &value) == 0)
            PyErr_SetObject(PyExc_AttributeError, name);
        return Ref::steal(value);
    };
    const auto empty = [](PyObject *o) { return PyList_CheckExact(o) && PyList_GET_SIZE(o) == 0; };
    if (!plain(logger)) return 0;
    bool first = true;
    for (Ref c = Ref::borrow(logger); c.get() != Py_None; first = false) {
        if (!plain(c.get())) return 0;
        Ref dict = Ref::steal(PyObject_GenericGetDict(c.get(), nullptr));
        if (!dict) return -1;
        if (first) {
            Ref disabled = field(dict.get(), S.n_disabled);
            if (!disabled) return -1;
            if (disabled.get() == Py_True) return 1;
            Ref filters = field(dict.get(), S.n_filters);
            if (!filters) return -1;
            if (!empty(filters.get())) return 0;
        }
        Ref handlers = field(dict.get(), S.n_handlers);
        if (!handlers) return -1;
        if (!empty(handlers.get())) return 0;
        Ref propagate = field(dict.get(), S.n_propagate);
        if (!propagate) return -1;
        const int up = PyObject_IsTrue(propagate.get());
        if (up < 0) return -1;
        if (!up) break;
        c = field(dict.get(), S.n_parent);
        if (!c) return -1;
    }
    // Logger.callHandlers reads lastResort as a global of its module.
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(S.logging_module), S.n_lastResort, &found) == 0)
        PyErr_SetObject(PyExc_NameError, S.n_lastResort);
    Ref last_resort = Ref::steal(found);
    if (!last_resort) return -1;
    if (last_resort.get() == Py_None) return 0;  // logging then says that nothing handled it
    Ref threshold = Ref::steal(PyObject_GetAttr(last_resort.get(), S.n_level));
    if (!threshold) return -1;
    return PyObject_RichCompareBool(level, threshold.get(), Py_LT);
}

// str(exc) for the record; an exception whose own __str__ fails is still logged (and answered).
Ref text_of(PyObject *exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) return text;
    PyErr_Clear();
    return Ref::borrow(S.str_failed);
}

// 1 when the logging module's own logger drops records of `level` (Logger.isEnabledFor), so that
// their arguments need not be built; 0 otherwise, and for any other kind of logger.
int disabled_for(PyObject *logger, PyObject *level) {
    if (!Py_IS_TYPE(logger, S.logger_type) && !Py_IS_TYPE(logger, S.root_logger_type)) return 0;
    Ref enabled = Ref::steal(call_method(S.n_isEnabledFor, logger, level));
    if (!enabled) return -1;
    const int truth = PyObject_IsTrue(enabled.get());
    return truth < 0 ? -1 : !truth;
}

}  // namespace

int log_handled(PyObject *self, PyObject *request, PyObject *exc) {
    Ref logger = Ref::borrow(as_app(self)->logger);
    // Under a server's default configuration nothing hears the record; with handlers, the
    // logger's level may still drop it.
    int skip = reaches_nobody(logger.get(), S.info_level);
    if (skip == 0) skip = disabled_for(logger.get(), S.info_level);
    if (skip) return skip < 0 ? -1 : 0;
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

namespace {

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
