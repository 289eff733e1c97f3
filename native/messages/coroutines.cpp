// Request.is_disconnected and Response.raise_for_status, as native coroutines.
#include "messages/coroutines.hpp"

#include <Python.h>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "messages/message.hpp"
#include "messages/request.hpp"
#include "messages/response.hpp"
#include "messages/state.hpp"
#include "messages/disconnect_probe.hpp"

namespace qm::messages {
namespace {

// Probes the connection once: the request's channel to its client (quenmark.disconnects) is
// watched until its first wait, and a MessageAborted on the way means the client left, which is
// then remembered for good. A request that came through no server gets TypeError.
Coro is_disconnected_body(Ref self) {
    RequestObject *r = as_request(self.get());
    if (r->_is_disconnected == Py_True) co_return Ref::borrow(Py_True);
    Ref probe = Ref::steal(PyObject_CallOneArg(S.disconnect_probe, self.get()));
    if (!probe) co_return Raised{};
    if (r->_is_disconnected == Py_None) set_field(r->_is_disconnected, Py_False);
    Ref result = co_await await_(Ref::steal(body::call_soon(probe.get())));
    if (!result) {
        if (!PyErr_ExceptionMatches(S.message_aborted)) co_return Raised{};
        PyErr_Clear();
        set_field(as_request(self.get())->_is_disconnected, Py_True);
    }
    co_return Ref::borrow(as_request(self.get())->_is_disconnected);
}

PyObject *py_is_disconnected(PyObject *self, PyObject *) {
    return is_disconnected_body(Ref::borrow(self)).release("Request.is_disconnected");
}

const PyMethodDef kRequestMethods[] = {
    {"is_disconnected", py_is_disconnected, METH_NOARGS,
     "Awaitable: whether the client has gone away."},
};

Coro raise_for_status_body(Ref self) {
    const int status = as_response(self.get())->status;
    if (status >= 200 && status <= 299) co_return Ref::none();
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) co_return Raised{};
    Ref text = co_await await_(Ref::steal(PyObject_CallMethodNoArgs(self.get(), S.n_text)));
    if (!text) co_return Raised{};
    PyObject *args[] = {code.get(), text.get()};
    Ref error = Ref::steal(PyObject_Vectorcall(S.failed_request_error, args, 2, nullptr));
    if (!error) co_return Raised{};
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    co_return Raised{};
}

PyObject *py_raise_for_status(PyObject *self, PyObject *) {
    return raise_for_status_body(Ref::borrow(self)).release("Response.raise_for_status");
}

const PyMethodDef kResponseMethods[] = {
    {"raise_for_status", py_raise_for_status, METH_NOARGS,
     "Awaitable: raises FailedRequestError with the body text unless the status is 2xx."},
};

}  // namespace

std::span<const PyMethodDef> request_coroutine_methods() {
    return kRequestMethods;
}

std::span<const PyMethodDef> response_coroutine_methods() { return kResponseMethods; }

}  // namespace qm::messages
