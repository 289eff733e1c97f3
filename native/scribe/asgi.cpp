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

Coro send_asgi_body(Ref response, Ref send) {
    // The content as it was before any header is added.
    Ref content = Ref::borrow(as_response(response.get())->base.content);
    if (set_headers_for_response_content(response.get()) < 0) co_return Raised{};
    {
        Ref headers = Ref::borrow(as_response(response.get())->base._raw_headers);
        if (check_header_pairs(headers.get()) < 0) co_return Raised{};
        Ref start = start_event(as_response(response.get())->status, headers.get());
        if (!(co_await send_event(send.get(), std::move(start)))) co_return Raised{};
    }
    const int truth = content.get() == Py_None ? 0 : PyObject_IsTrue(content.get());
    if (truth < 0) co_return Raised{};
    if (!truth) {
        if (!(co_await send_event(send.get(), body_event(S.empty_bytes, More::Absent))))
            co_return Raised{};
        co_return Ref::none();
    }
    Ref length_obj = Ref::steal(PyObject_GetAttr(content.get(), S.n_length));
    if (!length_obj) co_return Raised{};
    const long long length = PyLong_AsLongLong(length_obj.get());
    if (length == -1 && PyErr_Occurred()) co_return Raised{};
    if (length < 0 || PyObject_TypeCheck(content.get(), S.streamed_content_type))
        co_return co_await await_(send_stream(std::move(send), std::move(content), length),
                                  "send_asgi_response");

    Ref body = Ref::steal(PyObject_GetAttr(content.get(), S.n_body));
    if (!body) co_return Raised{};
    if (!PyBytes_Check(body.get())) co_return expected_type("bytes", body.get());
    // Content-Length went out as `length`: a body of another size would corrupt the connection.
    if (PyBytes_GET_SIZE(body.get()) != length) {
        PyErr_Format(S.invalid_operation, "The body has %zd bytes, but its length is %lld",
                     PyBytes_GET_SIZE(body.get()), length);
        co_return Raised{};
    }
    if (length > kChunkSize)
        co_return co_await await_(send_chunks(std::move(send), std::move(body)), "send_asgi_response");
    if (!(co_await send_event(send.get(), body_event(body.get(), More::No)))) co_return Raised{};
    co_return Ref::none();
}

}  // namespace

PyObject *py_send_asgi_response(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) {
    static const char *const names[] = {"response", "send"};
    PyObject *a[2] = {};
    if (!parse_args("send_asgi_response", args, nargs, kwnames, names, 2, a)) return nullptr;
    if (!check_response_arg(a[0], "response")) return nullptr;
    return send_asgi_body(Ref::borrow(a[0]), Ref::borrow(a[1])).release("send_asgi_response");
}

}  // namespace qm::scribe
