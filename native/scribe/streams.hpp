// The `async for` loops of the writers: getting the iterator, and closing it when the loop stops
// part way (the sink raised, a chunk was refused), so that the producer's cleanup runs now and
// not whenever the collector finds it.
#pragma once

#include <Python.h>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

// The asynchronous iterator `async for` would take from `iterable`, with the interpreter's
// messages when there is none. Null with an error set.
Ref async_iter(PyObject *iterable);

// The same for the result of a call, which may have failed already.
inline Ref async_iter(Ref iterable) { return iterable ? async_iter(iterable.get()) : Ref{}; }

// Awaits `aiter.aclose()`, when it has one, and ends with `error` (an exception instance) raised
// again; an exception from `aclose()` is raised instead, with `error` as its context. Await it
// with `co_await await_(abandon(...))`: the result is always null.
Coro abandon(Ref aiter, Ref error);

// `abandon` for the exception that is set.
inline Await abandon_on_error(Ref aiter) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    return await_(abandon(std::move(aiter), std::move(error)));
}

// InvalidOperation for a stream that yields more than the length it declared (and sent as
// Content-Length), or a different amount in all.
Raised longer_than_declared(long long declared);
Raised not_as_declared(long long sent, long long declared);

// The coroutine that writes a streamed body, as the writers await it: with a request, through
// `quenmark.disconnects.write_watched`, which stops it when the request's client goes away or the
// server shuts down; without one (None), as it is. Null with an error set, also when `writing` is.
Ref watched(Ref writing, PyObject *request);

// Whether a chunk of a stream stands for nothing to send: None, or an empty byte string.
inline bool is_empty_chunk(PyObject *chunk) {
    return chunk == Py_None || (PyBytes_Check(chunk) && PyBytes_GET_SIZE(chunk) == 0);
}

}  // namespace qm::scribe
