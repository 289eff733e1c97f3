// The exchange as the server layer's `__call__` and `__rsgi__` had it in Python, in one native
// coroutine: no Python frame between the server's call and the handler's.
#include "scribe/serve.hpp"

#include <cstring>

#include "common/args.hpp"
#include "common/ascii.hpp"
#include "common/errors.hpp"
#include "common/unpack.hpp"
#include "common/coro.hpp"
#include "common/ref.hpp"
#include "common/remembered_key.hpp"
#include "scribe/asgi.hpp"
#include "scribe/writing.hpp"
#include "scribe/content_headers.hpp"
#include "scribe/rsgi.hpp"
#include "scribe/state.hpp"

namespace qm::scribe {
namespace {

// The scope's keys (common/remembered_key.hpp).
RememberedKey k_headers{S.n_headers}, k_raw_path{S.n_raw_path}, k_path{S.n_path},
    k_query_string{S.n_query_string}, k_method{S.n_method}, k_http_version{S.n_http_version};

// "1.1" or "1.0", compared as the three ASCII characters they are.
bool is_http1(PyObject *version) {
    if (!PyUnicode_IS_ASCII(version) || PyUnicode_GET_LENGTH(version) != 3) return false;
    const char *s = static_cast<const char *>(PyUnicode_DATA(version));
    return s[0] == '1' && s[1] == '.' && (s[2] == '1' || s[2] == '0');
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// What a Content-Length value says: whether it announces a body (anything but "0" or nothing,
// around spaces), and into `length` the number it gives when it is plain digits, else -1.
bool length_announces_body(PyObject *value, long long &length) {
    length = -1;
    if (!PyBytes_Check(value)) return true;
    const char *s = PyBytes_AS_STRING(value);
    Py_ssize_t begin = 0, end = PyBytes_GET_SIZE(value);
    while (begin < end && is_ascii_space(s[begin])) ++begin;
    while (end > begin && is_ascii_space(s[end - 1])) --end;
    if (end > begin && end - begin <= 18) {  // 18 digits cannot overflow
        long long n = 0;
        Py_ssize_t i = begin;
        for (; i < end && s[i] >= '0' && s[i] <= '9'; ++i) n = n * 10 + (s[i] - '0');
        if (i == end) length = n;
    }
    return !(end == begin || (end - begin == 1 && s[begin] == '0'));
}

bool header_is(PyObject *name, PyObject *shared, const char *lowered, Py_ssize_t n) {
    return name == shared || (PyBytes_Check(name) && PyBytes_GET_SIZE(name) == n &&
                              lowered_equal(PyBytes_AS_STRING(name), lowered, n));
}

}  // namespace

int announced_body(PyObject *headers, long long &length) {
    length = -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
        Ref name, value;
        if (!unpack_pair(PyList_GET_ITEM(headers, i), name, value)) return -2;
        if (header_is(name.get(), S.h_content_length, "content-length", 14))
            return length_announces_body(value.get(), length);
        if (header_is(name.get(), S.h_transfer_encoding, "transfer-encoding", 17)) return 1;
    }
    return -1;
}

PyObject *new_server_body(PyTypeObject *type, PyObject *channel, long long announced) {
    if (announced < 0) return PyObject_CallOneArg(reinterpret_cast<PyObject *>(type), channel);
    Ref length = Ref::steal(PyLong_FromLongLong(announced));
    if (!length) return nullptr;
    PyObject *args[] = {nullptr, channel, length.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(type), args + 1,
                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

int body_without_header(PyObject *scope, bool by_attribute) {
    PyObject *found = nullptr;
    const int given = by_attribute ? PyObject_GetOptionalAttr(scope, S.n_http_version, &found)
                                   : find_item(scope, k_http_version, &found);
    Ref version = Ref::steal(found);
    if (given <= 0) return given;
    if (!PyUnicode_Check(version.get())) return 1;
    return !is_http1(version.get());
}

namespace {

// The path of the request line: `raw_path` (without a query some servers leave on it), else the
// decoded `path` as UTF-8.
PyObject *scope_path(PyObject *scope) {
    Ref raw = Ref::steal(get_item(scope, k_raw_path, true));
    if (!raw) return nullptr;
    const int given = PyBytes_CheckExact(raw.get()) ? PyBytes_GET_SIZE(raw.get()) > 0
                                                    : PyObject_IsTrue(raw.get());
    if (given < 0) return nullptr;
    if (!given) {
        Ref text = Ref::steal(get_item(scope, k_path));
        if (!text) return nullptr;
        raw = PyUnicode_Check(text.get())
                  ? Ref::steal(PyUnicode_AsUTF8String(text.get()))
                  : Ref::steal(PyObject_CallMethodOneArg(text.get(), S.n_encode, S.s_utf8));
        if (!raw) return nullptr;
    }
    if (!PyBytes_CheckExact(raw.get())) return raw.release();  // refused by acquire_request
    const char *s = PyBytes_AS_STRING(raw.get());
    const void *query = std::memchr(s, '?', size_t(PyBytes_GET_SIZE(raw.get())));
    if (!query) return raw.release();
    return PyBytes_FromStringAndSize(s, static_cast<const char *>(query) - s);
}

// ---- giving the objects back ---------------------------------------------------------------------

// Whether the exchange's reference is the only one to `o` (no other, no weak one either).
bool held_here_only(PyObject *o) {
    if (Py_REFCNT(o) != 1) return false;
    const Py_ssize_t offset = Py_TYPE(o)->tp_weaklistoffset;
    return offset > 0 && *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset) == nullptr;
}

// Logs a failed release as pools.recycle does (the object is simply not reused).
void log_recycle_failure(PyObject *o) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(PyUnicode_FromString("Could not recycle %r"));
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", "exc_info"));
    if (message && kwnames) {
        PyObject *args[] = {S.server_logger, message.get(), o, exc.get()};
        Ref done = Ref::steal(PyObject_VectorcallMethod(
            S.n_error, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (done) return;
    }
    PyErr_FormatUnraisable("Exception ignored while recycling %R", o);
}

// pools.recycle for the exchange's two objects (the request and the response or null, which
// hold the exchange's references): when nothing else holds either, both go back to the pools
// here, the response first; anything else is pools.recycle's to sort out (it closes the form
// files of a request kept elsewhere). An exception being raised is left as it is.
void recycle(Ref request, Ref response) {
    PyObject *pending = PyErr_GetRaisedException();
    const bool response_free = !response || Py_IsNone(response.get()) ||
                               (PyObject_TypeCheck(response.get(), S.messages->response_type) &&
                                held_here_only(response.get()));
    if (response_free && held_here_only(request.get())) {
        if (response && !Py_IsNone(response.get()) &&
            S.messages->release_response(response.get(), 0) < 0)
            log_recycle_failure(response.get());
        response.reset();
        if (S.messages->release_request(request.get(), 0) < 0) log_recycle_failure(request.get());
    } else {
        Ref held = Ref::steal(PyList_New(2));
        Ref pools = Ref::steal(PyImport_ImportModule("quenmark.server.pools"));
        Ref recycle = pools ? Ref::steal(PyObject_GetAttr(pools.get(), S.n_recycle)) : Ref{};
        if (held && recycle) {
            // The list takes the exchange's references over: pools.recycle counts on that.
            PyList_SET_ITEM(held.get(), 0, request.release());
            PyList_SET_ITEM(held.get(), 1, response ? response.release() : Py_NewRef(Py_None));
            Ref done = Ref::steal(PyObject_CallOneArg(recycle.get(), held.get()));
        }
        if (PyErr_Occurred()) PyErr_FormatUnraisable("Exception ignored while recycling");
    }
    PyErr_SetRaisedException(pending);
}

// ---- the exchanges -------------------------------------------------------------------------------

// What answers `unanswered`: the request's body ended early, because the client went away or
// because the server took a malformed body for that. A client still listening is told 400.
PyObject *bad_request() {
    const messages::AcquireResponseArgs status{.given = 1, .status = 400, .headers = nullptr,
                                               .content = nullptr};
    return S.messages->acquire_response(0, &status);
}

// `await entry(request)`, or with an `answerer` its steps on the application `entry`: the response,
// or null with an error set.
Await answer(const Answerer *answerer, PyObject *entry, PyObject *request, int &ready) {
    ready = 0;
    if (!answerer) return await_(Ref::steal(PyObject_CallOneArg(entry, request)));
    Ref step = Ref::steal(answerer->start(entry, request, &ready));
    return ready ? qm::ready(std::move(step)) : await_(std::move(step));
}

// The rest of an exchange once its request is built: the response from `entry` (see answer),
// written to `sink` (a 400 without failure for `unanswered`), then both objects given back.
Coro exchange(Ref request, Ref entry, Ref sink, Ref unanswered, Writer write,
              const Answerer *answerer) {
    int ready = 0;
    Ref response = co_await answer(answerer, entry.get(), request.get(), ready);
    if (answerer && !ready) {
        Ref finished =
            Ref::steal(answerer->finish(entry.get(), request.get(), response.release(), &ready));
        Await rest = ready ? qm::ready(std::move(finished)) : await_(std::move(finished));
        response = co_await std::move(rest);
    }
    bool done = bool(response);
    const bool best_effort = done && response.get() == unanswered.get();
    if (best_effort) response = Ref::steal(bad_request());
    done = response && check_response_arg(response.get(), "response");
    if (done) {
        // The writer's steps as `written` runs them, in this frame. (No co_await inside a
        // condition: GCC 12 evaluates such operands eagerly.)
        Writing writing{.response = response.get(), .sink = sink.get(), .request = request.get()};
        for (;;) {
            Await step = write(writing);
            const bool last = writing.last;
            Ref sent = co_await std::move(step);
            done = bool(sent);
            if (!done || last) break;
        }
        // A client that is gone cannot be told; a cancellation still goes through.
        if (!done && best_effort && PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            done = true;
        }
    }
    recycle(std::move(request), std::move(response));
    if (!done) co_return Raised{};
    co_return Ref::none();
}

}  // namespace

PyObject *instantiate_asgi_request(PyObject *scope, PyObject *receive) {
    Ref headers = Ref::steal(get_item(scope, k_headers));
    if (!headers) return nullptr;
    if (!PyList_CheckExact(headers.get())) {
        headers = Ref::steal(PySequence_List(headers.get()));
        if (!headers) return nullptr;
    }
    Ref path = Ref::steal(scope_path(scope));
    if (!path) return nullptr;
    Ref query = Ref::steal(get_item(scope, k_query_string, true));
    if (!query) return nullptr;
    if (Py_IsNone(query.get())) query = Ref::borrow(S.empty_bytes);
    Ref method = Ref::steal(get_item(scope, k_method));
    if (!method) return nullptr;
    Ref request = Ref::steal(S.messages->acquire_request(method.get(), path.get(), query.get(),
                                                         headers.get(), scope, 0));
    if (!request) return nullptr;
    long long announced;
    int body = announced_body(headers.get(), announced);
    if (body == -1) body = body_without_header(scope, false);
    if (body < 0) return nullptr;
    if (body) {
        Ref content = Ref::steal(new_server_body(S.asgi_content_type, receive, announced));
        if (!content) return nullptr;
        set_field(reinterpret_cast<messages::MessageObject *>(request.get())->content,
                  std::move(content));
    } else {
        // For the disconnect probe and the stream watcher (quenmark.disconnects). Kept on the
        // request rather than in the scope: servers keep the scope on the object `receive` is
        // bound to, and a scope holding it would make a reference cycle per request.
        set_field(reinterpret_cast<messages::RequestObject *>(request.get())->_receive, receive);
    }
    return request.release();
}

PyObject *py_instantiate_asgi_request(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames) {
    static const char *const names[] = {"scope", "receive"};
    PyObject *a[2] = {};
    if (!parse_args("instantiate_asgi_request", args, nargs, kwnames, names, 2, a)) return nullptr;
    return instantiate_asgi_request(a[0], a[1]);
}

PyObject *serve_asgi(const Answerer *answerer, PyObject *entry, PyObject *scope, PyObject *receive,
                     PyObject *send, PyObject *unanswered) {
    Ref request = Ref::steal(instantiate_asgi_request(scope, receive));
    if (!request) return nullptr;
    return exchange(std::move(request), Ref::borrow(entry), Ref::borrow(send),
                    Ref::borrow(unanswered), asgi_write_step, answerer)
        .release("serve_asgi");
}

PyObject *serve_rsgi(const Answerer *answerer, PyObject *entry, PyObject *scope, PyObject *protocol,
                     PyObject *unanswered) {
    Ref request = Ref::steal(instantiate_rsgi_request(scope, protocol, false));
    if (!request) return nullptr;
    return exchange(std::move(request), Ref::borrow(entry), Ref::borrow(protocol),
                    Ref::borrow(unanswered), rsgi_write_step, answerer)
        .release("serve_rsgi");
}

PyObject *py_serve_asgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"entry", "scope", "receive", "send", "unanswered"};
    PyObject *a[5] = {};
    if (!parse_args("serve_asgi", args, nargs, kwnames, names, 5, a)) return nullptr;
    return serve_asgi(nullptr, a[0], a[1], a[2], a[3], a[4]);
}

PyObject *py_serve_rsgi(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"entry", "scope", "protocol", "unanswered"};
    PyObject *a[4] = {};
    if (!parse_args("serve_rsgi", args, nargs, kwnames, names, 4, a)) return nullptr;
    return serve_rsgi(nullptr, a[0], a[1], a[2], a[3]);
}

}  // namespace qm::scribe
