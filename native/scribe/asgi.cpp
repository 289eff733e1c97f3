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

Ref start_event(int status, PyObject *headers) {
    Ref code = Ref::steal(PyLong_FromLong(status));
    Ref event = Ref::steal(PyDict_New());
    if (!code || !event || PyDict_SetItem(event.get(), S.n_type, S.response_start) < 0 ||
        PyDict_SetItem(event.get(), S.n_status, code.get()) < 0 ||
        PyDict_SetItem(event.get(), S.n_headers, headers) < 0)
        return {};
    return event;
}

enum class More { Absent, No, Yes };

Ref body_event(PyObject *body, More more) {
    Ref event = Ref::steal(PyDict_New());
    if (!event || PyDict_SetItem(event.get(), S.n_type, S.response_body) < 0 ||
        PyDict_SetItem(event.get(), S.n_body, body) < 0)
        return {};
    if (more != More::Absent &&
        PyDict_SetItem(event.get(), S.n_more_body, more == More::Yes ? Py_True : Py_False) < 0)
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

// What follows the start event.
enum class Rest { Event, Stream, Chunks };

// Everything decided before the first event goes out: the headers are complete and checked, and
// a body whose size disagrees with its Content-Length is refused before the server sees either.
struct Plan {
    Ref start;
    Rest rest = Rest::Event;
    Ref body;     // Event: the body event; Chunks: the body
    Ref content;  // Stream: the content
    long long length = 0;
};

bool plan_response(PyObject *response, Plan &plan) {
    // The content as it was before any header is added.
    plan.content = Ref::borrow(as_response(response)->base.content);
    // The application's headers are checked; those added here are safe by construction.
    if (check_header_pairs(as_response(response)->base._raw_headers) < 0) return false;
    bool has_content = false;
    if (add_content_headers(response, plan.content.get(), has_content, plan.length) < 0)
        return false;
    plan.start = start_event(as_response(response)->status, as_response(response)->base._raw_headers);
    if (!plan.start) return false;
    if (!has_content) {
        plan.body = body_event(S.empty_bytes, More::Absent);
        return bool(plan.body);
    }
    if (plan.length < 0 || PyObject_TypeCheck(plan.content.get(), S.streamed_content_type)) {
        plan.rest = Rest::Stream;
        return true;
    }
    Ref body = Ref::steal(S.content_body.get(plan.content.get()));
    if (!body) return false;
    if (!PyBytes_Check(body.get())) {
        expected_type("bytes", body.get());
        return false;
    }
    // Content-Length says `length`: a body of another size would corrupt the connection.
    if (PyBytes_GET_SIZE(body.get()) != plan.length) {
        PyErr_Format(S.invalid_operation, "The body has %zd bytes, but its length is %lld",
                     PyBytes_GET_SIZE(body.get()), plan.length);
        return false;
    }
    if (plan.length > kChunkSize) {
        plan.rest = Rest::Chunks;
        plan.body = std::move(body);
        return true;
    }
    plan.body = body_event(body.get(), More::No);
    return bool(plan.body);
}

}  // namespace

// Two awaits at most, so that the frame stays small: the start event, then the rest. A stream is
// watched for the client's disconnect when the request is given.
Coro send_asgi_body(Ref response, Ref send, Ref request) {
    Plan plan;
    if (!plan_response(response.get(), plan)) co_return Raised{};
    response.reset();
    if (!(co_await send_event(send.get(), std::move(plan.start)))) co_return Raised{};
    Await rest = plan.rest == Rest::Event ? send_event(send.get(), std::move(plan.body))
                 : plan.rest == Rest::Stream
                     ? await_(watched(Ref::steal(send_stream(Ref::borrow(send.get()),
                                                             std::move(plan.content), plan.length)
                                                     .release("send_asgi_response")),
                                      request.get()))
                     : await_(send_chunks(Ref::borrow(send.get()), std::move(plan.body)),
                              "send_asgi_response");
    if (!(co_await std::move(rest))) co_return Raised{};
    co_return Ref::none();
}

PyObject *py_send_asgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"response", "send", "request"};
    PyObject *a[3] = {nullptr, nullptr, Py_None};
    if (!parse_args("send_asgi_response", args, nargs, kwnames, names, 2, a)) return nullptr;
    if (!check_response_arg(a[0], "response")) return nullptr;
    return send_asgi_body(Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]))
        .release("send_asgi_response");
}

}  // namespace qm::scribe
