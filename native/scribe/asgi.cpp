// The events: one `http.response.start` with the response's header list, then the body in one
// event, in events of at most kChunkSize bytes, or as the content's stream. A body that cannot be
// sent whole (a stream that fails, a length that does not match) stops without its closing
// event, so the server ends the connection instead of presenting a truncated body as complete.
#include "scribe/asgi.hpp"

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "scribe/content_headers.hpp"
#include "scribe/state.hpp"
#include "scribe/streams.hpp"
#include "scribe/wire.hpp"

namespace qm::scribe {
namespace {

// Each event is a copy of its template (state.hpp) with its own values put in: copying a small
// dict is one block copy where building one inserts key by key.
Ref start_event(int status, PyObject *headers) {
    Ref event = Ref::steal(PyDict_Copy(S.start_template));
    if (!event || PyDict_SetItem(event.get(), S.n_headers, headers) < 0) return {};
    if (status != 200) {
        Ref code = Ref::steal(PyLong_FromLong(status));
        if (!code || PyDict_SetItem(event.get(), S.n_status, code.get()) < 0) return {};
    }
    return event;
}

enum class More { Absent, No, Yes };

Ref body_event(PyObject *body, More more) {
    PyObject *const templates[] = {S.body_template, S.last_body_template, S.more_body_template};
    Ref event = Ref::steal(PyDict_Copy(templates[int(more)]));
    // The templates' body is the empty one already.
    if (!event || (body != S.empty_bytes && PyDict_SetItem(event.get(), S.n_body, body) < 0))
        return {};
    return event;
}

// `await send(event)`; a failure to build the event is the result.
Await send_event(PyObject *send, Ref event) {
    if (!event) return await_(Ref{});
    return await_(Ref::steal(PyObject_CallOneArg(send, event.get())));
}

// The content's parts, each as an event with "more_body" True, then the closing empty event. An
// empty or None part is nothing to send (an event with "more_body" False would end the body
// there). With a declared length (sent as Content-Length) the parts must add up to it.
Coro send_stream(Ref send, Ref content, long long declared) {
    Ref aiter = async_iter(Ref::steal(PyObject_CallMethodNoArgs(content.get(), S.n_get_parts)));
    if (!aiter) co_return Raised{};
    content.reset();
    long long sent = 0;
    for (;;) {
        Ref chunk = co_await anext_(aiter.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        if (is_empty_chunk(chunk.get())) continue;
        if (!PyBytes_CheckExact(chunk.get())) {
            expected_type("bytes", chunk.get());
            co_return co_await abandon_on_error(std::move(aiter));
        }
        sent += PyBytes_GET_SIZE(chunk.get());
        if (declared >= 0 && sent > declared) {
            longer_than_declared(declared);
            co_return co_await abandon_on_error(std::move(aiter));
        }
        if (!(co_await send_event(send.get(), body_event(chunk.get(), More::Yes))))
            co_return co_await abandon_on_error(std::move(aiter));
    }
    if (declared >= 0 && sent != declared) {
        co_return not_as_declared(sent, declared);
    }
    if (!(co_await send_event(send.get(), body_event(S.empty_bytes, More::No)))) co_return Raised{};
    co_return Ref::none();
}

// A body longer than one event, through the module's get_chunks (whatever it is bound to now):
// each chunk with "more_body" True, the closing empty one with False.
Coro send_chunks(Ref send, Ref body) {
    Ref get_chunks = Ref::steal(module_global(S.n_get_chunks));
    if (!get_chunks) co_return Raised{};
    Ref chunks = Ref::steal(PyObject_CallOneArg(get_chunks.get(), body.get()));
    if (!chunks) co_return Raised{};
    Ref it = Ref::steal(PyObject_GetIter(chunks.get()));
    if (!it) co_return Raised{};
    chunks.reset();
    for (;;) {
        Ref chunk = Ref::steal(PyIter_Next(it.get()));
        if (!chunk) {
            if (PyErr_Occurred()) co_return Raised{};
            break;
        }
        if (!PyBytes_CheckExact(chunk.get())) co_return expected_type("bytes", chunk.get());
        const More more = PyBytes_GET_SIZE(chunk.get()) ? More::Yes : More::No;
        if (!(co_await send_event(send.get(), body_event(chunk.get(), more)))) co_return Raised{};
    }
    co_return Ref::none();
}

bool plan_response(Writing &w) {
    PyObject *response = w.response;
    // The content as it was before any header is added.
    w.content = Ref::borrow(as_response(response)->base.content);
    // The application's headers are checked; those added here are safe by construction.
    if (check_header_pairs(as_response(response)->base._raw_headers) < 0) return false;
    bool has_content = false;
    if (add_content_headers(response, w.content.get(), has_content, w.length) < 0) return false;
    w.start = start_event(as_response(response)->status, as_response(response)->base._raw_headers);
    if (!w.start) return false;
    if (!has_content) {
        w.body = body_event(S.empty_bytes, More::Absent);
        return bool(w.body);
    }
    if (w.length < 0 || PyObject_TypeCheck(w.content.get(), S.streamed_content_type)) {
        w.rest = Rest::Stream;
        return true;
    }
    Ref body = Ref::steal(S.content_body.get(w.content.get()));
    if (!body) return false;
    if (!PyBytes_Check(body.get())) {
        expected_type("bytes", body.get());
        return false;
    }
    // Content-Length says `length`: a body of another size would corrupt the connection.
    if (PyBytes_GET_SIZE(body.get()) != w.length) {
        PyErr_Format(S.invalid_operation, "The body has %zd bytes, but its length is %lld",
                     PyBytes_GET_SIZE(body.get()), w.length);
        return false;
    }
    if (w.length > kChunkSize) {
        w.rest = Rest::Chunks;
        w.body = std::move(body);
        return true;
    }
    w.body = body_event(body.get(), More::No);
    return bool(w.body);
}

}  // namespace

// Two awaits: the start event, planned with everything else before it goes out (the headers
// complete and checked, a body whose size disagrees with its Content-Length refused before the
// server sees either), then the rest. A stream is watched for the client's disconnect when the
// request is given.
Await asgi_write_step(Writing &w) {
    if (w.step++ == 0) {
        if (!plan_response(w)) return await_(Ref{});
        return send_event(w.sink, std::move(w.start));
    }
    w.last = true;
    switch (w.rest) {
        case Rest::Event:
            return send_event(w.sink, std::move(w.body));
        case Rest::Stream:
            return await_(watched(Ref::steal(send_stream(Ref::borrow(w.sink), std::move(w.content),
                                                         w.length)
                                                 .release("send_asgi_response")),
                                  w.request));
        case Rest::Chunks:
            break;
    }
    return await_(send_chunks(Ref::borrow(w.sink), std::move(w.body)), "send_asgi_response");
}

PyObject *py_send_asgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"response", "send", "request"};
    PyObject *a[3] = {nullptr, nullptr, Py_None};
    if (!parse_args("send_asgi_response", args, nargs, kwnames, names, 2, a)) return nullptr;
    if (!check_response_arg(a[0], "response")) return nullptr;
    return written(asgi_write_step, Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]))
        .release("send_asgi_response");
}

}  // namespace qm::scribe
