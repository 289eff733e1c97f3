#include "keystone/handling.hpp"

#include "common/awaitable.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"

namespace qm::keystone {
namespace {

// Delegates to the awaited object's iterator, like `await` inside an except block.
struct HandlingObject {
    PyObject_HEAD
    PyObject *exc;        // the exception being handled
    PyObject *awaitable;  // until the first step asks it for its iterator
    PyObject *iter;
};

PyTypeObject HandlingType = {PyVarObject_HEAD_INIT(nullptr, 0)};

HandlingObject *as_handling(PyObject *o) { return reinterpret_cast<HandlingObject *>(o); }

// The iterator, made on the first step (`__await__` may run code too); null with an error set.
PyObject *iterator(HandlingObject *h) {
    if (!h->iter) {
        Ref it = awaitable::get_iter(h->awaitable);
        if (!it) return nullptr;
        h->iter = it.release();
        Py_CLEAR(h->awaitable);
    }
    return h->iter;
}

PySendResult handling_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    HandlingObject *h = as_handling(self);
    HandledScope scope(h->exc);
    *out = nullptr;
    PyObject *it = iterator(h);
    if (!it) return PYGEN_ERROR;
    Ref keep = Ref::borrow(it);  // a step may clear the object
    return PyIter_Send(it, arg, out);
}

PyObject *result_as_value(PySendResult r, PyObject *res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        awaitable::set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

PyObject *handling_iternext(PyObject *self) {
    PyObject *res = nullptr;
    const PySendResult r = handling_am_send(self, Py_None, &res);
    if (r == PYGEN_RETURN && res == Py_None) {
        Py_DECREF(res);
        return nullptr;
    }
    return result_as_value(r, res);
}

PyObject *handling_send(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    const PySendResult r = handling_am_send(self, arg, &res);
    return result_as_value(r, res);
}

PyObject *handling_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("throw", args, nargs);
    if (!exc) return nullptr;
    HandlingObject *h = as_handling(self);
    HandledScope scope(h->exc);
    PyObject *it = iterator(h);
    if (!it) return nullptr;
    Ref keep = Ref::borrow(it);
    PyObject *res = nullptr;
    switch (awaitable::throw_into(it, exc.get(), &res)) {
    case awaitable::Thrown::Yielded:
        return res;
    case awaitable::Thrown::Returned:
        return result_as_value(PYGEN_RETURN, res);
    case awaitable::Thrown::Raised:
        return nullptr;
    case awaitable::Thrown::NoThrow:
        break;
    }
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

PyObject *handling_close(PyObject *self, PyObject *) {
    HandlingObject *h = as_handling(self);
    if (!h->iter) Py_RETURN_NONE;  // never started: nothing to close
    HandledScope scope(h->exc);
    Ref keep = Ref::borrow(h->iter);
    if (awaitable::close_iter(h->iter) < 0) return nullptr;
    Py_RETURN_NONE;
}

int handling_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_handling(self)->exc);
    Py_VISIT(as_handling(self)->awaitable);
    Py_VISIT(as_handling(self)->iter);
    return 0;
}

int handling_clear(PyObject *self) {
    Py_CLEAR(as_handling(self)->exc);
    Py_CLEAR(as_handling(self)->awaitable);
    Py_CLEAR(as_handling(self)->iter);
    return 0;
}

void handling_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    handling_clear(self);
    PyObject_GC_Del(self);
}

PyAsyncMethods handling_as_async = {
    .am_await = [](PyObject *self) { return Py_NewRef(self); },
    .am_send = handling_am_send,
};

PyMethodDef handling_methods[] = {
    {"send", handling_send, METH_O, nullptr},
    {"throw", fastcall(handling_throw),
     METH_FASTCALL, nullptr},
    {"close", handling_close, METH_NOARGS, nullptr},
    {nullptr},
};

}  // namespace

Await handling(PyObject *exc, Await operand) {
    if (operand.is_value || !operand.target) return operand;
    HandlingObject *h = PyObject_GC_New(HandlingObject, &HandlingType);
    if (!h) return Await{};
    h->exc = Py_XNewRef(exc);
    h->awaitable = operand.target.release();
    h->iter = nullptr;
    PyObject_GC_Track(h);
    return await_(Ref::steal(reinterpret_cast<PyObject *>(h)));
}

int ready_handling_type() {
    HandlingType.tp_name = "quenmark.keystone._handling";
    HandlingType.tp_basicsize = sizeof(HandlingObject);
    HandlingType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    HandlingType.tp_dealloc = handling_dealloc;
    HandlingType.tp_traverse = handling_traverse;
    HandlingType.tp_clear = handling_clear;
    HandlingType.tp_as_async = &handling_as_async;
    HandlingType.tp_iter = PyObject_SelfIter;
    HandlingType.tp_iternext = handling_iternext;
    HandlingType.tp_methods = handling_methods;
    return PyType_Ready(&HandlingType);
}

}  // namespace qm::keystone
