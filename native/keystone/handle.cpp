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

// Awaits the matched handler; null with the exception set when the handler (or reading it)
// fails or it gives something other than a Response or None.
Coro handle_body(Ref self, Ref request) {
    Ref router = Ref::borrow(as_app(self.get())->router);
    Ref route = Ref::steal(call_method(S.n_get_match, router.get(), request.get()));
    if (!route) co_return Raised{};
    const int matched = PyObject_IsTrue(route.get());
    if (matched < 0) co_return Raised{};
    if (!matched) co_return Ref::steal(bare_response(S.int_404));
    // A RouteMatch's `values` and `handler` are its fields; any other match is asked for them.
    const bool route_match = Py_IS_TYPE(route.get(), S.route_match_type);
    const auto *fields = reinterpret_cast<routing::RouteMatchObject *>(route.get());
    Ref values = route_match ? Ref::borrow(fields->_values)
                             : Ref::steal(PyObject_GetAttr(route.get(), S.n_values));
    if (!values) co_return Raised{};
    set_field(reinterpret_cast<messages::RequestObject *>(request.get())->route_values,
              std::move(values));

    Ref response;
    if (Ref handler = route_match ? Ref::borrow(fields->handler)
                                  : Ref::steal(PyObject_GetAttr(route.get(), S.n_handler))) {
        response = co_await await_(Ref::steal(PyObject_CallOneArg(handler.get(), request.get())));
        if (response && !check_value_instance(response.get(), S.response_type)) response.reset();
    }
    if (!response) {
        // Cancellation and exit requests are not the application's failures.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return Raised{};
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        // The dispatch runs, and is awaited, with the exception being handled, as it would in
        // an `except` block.
        response = co_await handling(exc.get(), while_handling(exc.get(), [&] {
            return call_self(site_handle_request_handler_exception, self.get(),
                             builtin_handle_request_handler_exception, request.get(), exc.get());
        }));
        if (!response || !check_value_instance(response.get(), S.response_type)) co_return Raised{};
    }
    const int truth = PyObject_IsTrue(response.get());
    if (truth < 0) co_return Raised{};
    if (!truth) co_return Ref::steal(bare_response(S.int_204));
    co_return response;
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

}  // namespace qm::keystone
