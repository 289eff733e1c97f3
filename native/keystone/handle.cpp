// KeystoneApplication.handle: one request to one response.
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
namespace {

// `router.get_match(request)`. The routing module's request router is asked through its C-level
// entry, which calls a subclass's or an instance's own get_match as the method call would.
PyObject *find_route(PyObject *router, PyObject *request) {
    if (PyObject_TypeCheck(router, S.routing->request_router_type))
        return S.routing->request_router.get_match(router, request);
    return call_method(S.n_get_match, router, request);
}

// A handler's response as `handle` gives it: a falsy one (a response that says it has nothing)
// becomes a bare 204. New reference, or null with an error set.
PyObject *final_response(Ref response) {
    const int truth = PyObject_IsTrue(response.get());
    if (truth < 0) return nullptr;
    if (!truth) return bare_response(S.int_204);
    return response.release();
}

// The exception dispatch's response to the handler's failure `exc`.
Coro answer_failure(Ref self, Ref request, Ref exc) {
    // The dispatch runs, and is awaited, with the exception being handled, as it would in an
    // `except` block.
    Ref response = co_await handling(exc.get(), while_handling(exc.get(), [&] {
        return call_self(site_handle_request_handler_exception, self.get(),
                         builtin_handle_request_handler_exception, request.get(), exc.get());
    }));
    if (!response || !check_value_instance(response.get(), S.response_type)) co_return Raised{};
    co_return Ref::steal(final_response(std::move(response)));
}

// `handle` in two steps around the await of the handler, so that an exchange can await the
// handler itself (see scribe's Answerer). Routing: a bare 404 when no route matches; otherwise
// the route's values go to the request and the handler's awaitable is what to await. A failure
// of the router is the request's; a failure of the handler (calling or awaiting it) goes to the
// dispatch in `finish`.
PyObject *handle_start(PyObject *self, PyObject *request, int *ready) {
    *ready = 1;
    Ref router = Ref::borrow(as_app(self)->router);
    Ref route = Ref::steal(find_route(router.get(), request));
    if (!route) return nullptr;
    const int matched = PyObject_IsTrue(route.get());
    if (matched < 0) return nullptr;
    if (!matched) return bare_response(S.int_404);
    // A RouteMatch's `values` and `handler` are its fields; any other match is asked for them.
    const bool route_match = Py_IS_TYPE(route.get(), S.route_match_type);
    const auto *fields = reinterpret_cast<routing::RouteMatchObject *>(route.get());
    Ref values = route_match ? Ref::borrow(fields->_values)
                             : Ref::steal(PyObject_GetAttr(route.get(), S.n_values));
    if (!values) return nullptr;
    set_field(reinterpret_cast<messages::RequestObject *>(request)->route_values,
              std::move(values));
    *ready = 0;
    Ref handler = route_match ? Ref::borrow(fields->handler)
                              : Ref::steal(PyObject_GetAttr(route.get(), S.n_handler));
    return handler ? PyObject_CallOneArg(handler.get(), request) : nullptr;
}

// What the handler gave: a Response (or None, refused like any other non-Response), or null with
// its exception set, which the dispatch answers unless it is a cancellation or an exit request.
PyObject *handle_finish(PyObject *self, PyObject *request, PyObject *result, int *ready) {
    *ready = 1;
    Ref response = Ref::steal(result);
    if (response && check_value_instance(response.get(), S.response_type))
        return final_response(std::move(response));
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    *ready = 0;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return answer_failure(Ref::borrow(self), Ref::borrow(request), std::move(exc))
        .release("KeystoneApplication.handle");
}

Coro handle_body(Ref self, Ref request) {
    int ready = 0;
    Ref step = Ref::steal(handle_start(self.get(), request.get(), &ready));
    if (!ready) {
        Ref result = co_await await_(std::move(step));
        step = Ref::steal(handle_finish(self.get(), request.get(), result.release(), &ready));
        if (!ready) step = co_await await_(std::move(step));
    }
    if (!step) co_return Raised{};
    co_return step;
}

PyObject *py_handle(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"request"};
    PyObject *a[1] = {};
    if (!parse_args("handle", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_request(a[0], "request")) return nullptr;
    return handle_body(Ref::borrow(self), Ref::borrow(a[0])).release("KeystoneApplication.handle");
}

const CoroutineFunctionDef kMethods[] = {
    {"handle", "KeystoneApplication.handle", "(self, request)",
     "Routes the request to its handler and returns the handler's Response: a bare 404 when no "
     "route matches, 204 when the handler returns None, and the exception dispatch's response "
     "when it raises.",
     py_handle},
};

}  // namespace

std::span<const CoroutineFunctionDef> handle_methods() { return kMethods; }

const scribe::Answerer kHandleAnswerer{handle_start, handle_finish};

bool is_builtin_handle(PyObject *o) { return coroutine_function_def(o) == &kMethods[0]; }

}  // namespace qm::keystone
