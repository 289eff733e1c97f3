#include "scribe/streams.hpp"

#include "scribe/state.hpp"

namespace qm::scribe {

Ref async_iter(PyObject *iterable) {
    PyTypeObject *type = Py_TYPE(iterable);
    unaryfunc aiter = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
    if (!aiter) {
        PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.200s",
                     type->tp_name);
        return {};
    }
    Ref it = Ref::steal(aiter(iterable));
    if (!it) return {};
    PyTypeObject *it_type = Py_TYPE(it.get());
    if (!it_type->tp_as_async || !it_type->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement "
                     "__anext__: %.100s",
                     it_type->tp_name);
        return {};
    }
    return it;
}

Ref watched(Ref writing, PyObject *request) {
    if (!writing || request == Py_None) return writing;
    PyObject *args[] = {writing.get(), request};
    return Ref::steal(PyObject_Vectorcall(S.write_watched, args, 2, nullptr));
}

Raised longer_than_declared(long long declared) {
    PyErr_Format(S.invalid_operation,
                 "The streamed body is longer than its declared length (%lld)", declared);
    return {};
}

Raised not_as_declared(long long sent, long long declared) {
    PyErr_Format(S.invalid_operation, "The streamed body has %lld bytes, but %lld were declared",
                 sent, declared);
    return {};
}

namespace {

// Raises the current exception (from closing) with `error` as its context, as a `finally` block
// whose cleanup fails does.
Raised raise_in_context(Ref error) {
    PyObject *cleanup_error = PyErr_GetRaisedException();
    if (cleanup_error != error.get()) PyException_SetContext(cleanup_error, error.release());
    PyErr_SetRaisedException(cleanup_error);
    return {};
}

}  // namespace

Coro abandon(Ref aiter, Ref error) {
    PyObject *found = nullptr;
    if (PyObject_GetOptionalAttr(aiter.get(), S.n_aclose, &found) < 0)
        co_return raise_in_context(std::move(error));
    Ref close = Ref::steal(found);
    if (close) {
        Ref closed = co_await await_(Ref::steal(PyObject_CallNoArgs(close.get())));
        if (!closed) co_return raise_in_context(std::move(error));
    }
    PyErr_SetRaisedException(error.release());
    co_return Raised{};
}

}  // namespace qm::scribe
