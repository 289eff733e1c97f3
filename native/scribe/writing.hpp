// Writing one response to a server, one `co_await` at a time. A writer gives the operand of the
// next await from the state it keeps in a `Writing` and marks the last one. The exchange runs the
// steps inside its own coroutine, so a response costs no coroutine of its own; the Python-facing
// send_asgi_response and send_rsgi_response run the same steps as a coroutine (`written`).
#pragma once

#include <Python.h>

#include "common/coro.hpp"
#include "common/ref.hpp"

namespace qm::scribe {

// What follows an ASGI start event.
enum class Rest { Event, Stream, Chunks };

// The three objects are borrowed: the frame running the steps holds them (as parameters, which
// the cyclic collector sees).
struct Writing {
    PyObject *response;
    PyObject *sink;     // ASGI `send`, or the RSGI protocol
    PyObject *request;  // whose client a streamed body watches, or None
    int step = 0;
    bool last = false;  // set by the writer with the final operand

    // ASGI's plan (asgi.cpp): everything decided before the first event goes out.
    Ref start;
    Rest rest = Rest::Event;
    Ref body;     // Event: the body event; Chunks: the body
    Ref content;  // Stream: the content
    long long length = 0;
};

// The operand of the next await; a failure is a null operand (the error set).
using Writer = Await (*)(Writing &);

Await asgi_write_step(Writing &w);  // asgi.cpp
Await rsgi_write_step(Writing &w);  // rsgi_response.cpp

// Every step of `write` for `response`, as a coroutine.
Coro written(Writer write, Ref response, Ref sink, Ref request);

}  // namespace qm::scribe
