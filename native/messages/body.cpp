// Body reading of Message, and the two coroutines behind Request.is_disconnected.
//
// The message keeps no copy of the body: every method asks the content object again. The
// internal calls to read/read_raw and the charset property go through the host-visible names,
// so a Python subclass can replace them; the built-in types take the direct path.
#include "messages/body.hpp"

#include <Python.h>

#include <cstring>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/slot_attr.hpp"
#include "messages/disconnect_probe.hpp"
#include "messages/message.hpp"
#include "messages/messages_api.hpp"
#include "messages/state.hpp"

namespace qm::messages::body {
namespace {

OverrideSite read_site{"read"};
OverrideSite read_raw_site{"read_raw"};

// The built-in read()/read_raw() as an operand of co_await: content.read(), or `empty` when the
// message has no content.
Await content_read(PyObject *self, PyObject *empty) {
    Ref content = Ref::borrow(as_message(self)->content);
    const int truth = content_truth(content.get());
    if (truth < 0) return await_(Ref{});
    if (!truth) return ready(Ref::borrow(empty));
    return await_(Ref::steal(PyObject_CallMethodNoArgs(content.get(), S.n_read)));
}

// read() or read_raw() through the host-visible name: a subclass's override, or a function
// stored on the instance, is awaited instead of the content's read().
Await host_read(PyObject *self, OverrideSite &site, PyObject *empty) {
    if (!is_builtin_message(self)) {
        const int o = is_overridden(site, self, &MessageType);
        if (o < 0) return await_(Ref{});
        if (o) return await_(call_override(site, self));
    }
    return content_read(self, empty);
}

// `bytes(value)` for a body: the same object when it is bytes already, a copy of any other
// buffer. (An integer is refused rather than read as a length.)
Ref detach(PyObject *value) {
    if (value == Py_None) return Ref::borrow(S.empty_bytes);
    return Ref::steal(PyObject_Bytes(value));
}

bool is_buffer_body(PyObject *o) {
    return PyBytes_Check(o) || PyByteArray_Check(o) || PyMemoryView_Check(o);
}

// Decodes a bytes-like body with a charset name, as `bytes.decode(charset)` does.
Ref decode_buffer(PyObject *body, PyObject *charset) {
    if (!PyUnicode_Check(charset)) {
        PyErr_Format(PyExc_TypeError, "decode() argument 'encoding' must be str, not %.200s",
                     Py_TYPE(charset)->tp_name);
        return {};
    }
    Py_ssize_t size = 0;
    const char *encoding = PyUnicode_AsUTF8AndSize(charset, &size);
    if (!encoding) return {};
    if (std::strlen(encoding) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return {};
    }
    if (PyBytes_Check(body))
        return Ref::steal(
            PyUnicode_Decode(PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body), encoding, nullptr));
    Py_buffer view;
    if (PyObject_GetBuffer(body, &view, PyBUF_SIMPLE) < 0) return {};
    Ref text = Ref::steal(
        PyUnicode_Decode(static_cast<const char *>(view.buf), view.len, encoding, nullptr));
    PyBuffer_Release(&view);
    return text;
}

// `body.decode(charset)`; a memory view has no decode method but is decoded all the same.
Ref decode_body(PyObject *body, PyObject *charset) {
    if (is_buffer_body(body)) return decode_buffer(body, charset);
    return Ref::steal(PyObject_CallMethodOneArg(body, S.n_decode, charset));
}

// `content.stream()` as an asynchronous iterator of chunks. Null with an error set.
Ref content_chunks(PyObject *content) {
    Ref source = Ref::steal(PyObject_CallMethodNoArgs(content, S.n_stream));
    if (!source) return {};
    return Ref::steal(PyObject_GetAIter(source.get()));
}

// Replaces the current exception (a decoder's) with BadRequestFormat, keeping it as the
// context and as the second argument.
Raised raise_bad_format(PyObject *self) {
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Ref ct = Ref::steal(content_type(self));
    if (!ct) return {};
    Ref message;
    const char *data = ct.get() == Py_None ? nullptr : PyBytes_AS_STRING(ct.get());
    const Py_ssize_t size = data ? PyBytes_GET_SIZE(ct.get()) : 0;
    if (size > 0 && memmem(data, static_cast<size_t>(size), "json", 4)) {
        // A header is not always valid UTF-8; a replacement character beats losing the 400.
        Ref declared = Ref::steal(PyUnicode_DecodeUTF8(data, size, "replace"));
        if (!declared) return {};
        message = Ref::steal(PyUnicode_FromFormat(
            "Declared Content-Type is %U but the content cannot be parsed as JSON.",
            declared.get()));
    } else {
        message = Ref::borrow(S.cannot_parse_json);
    }
    if (!message) return {};
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(S.bad_request_format, message.get(),
                                                      caught.get(), nullptr));
    if (!exc) return {};
    PyException_SetContext(exc.get(), caught.release());
    PyErr_SetRaisedException(exc.release());
    return {};
}

// `json_settings.has_custom_loads`: the settings' `_has_custom_loads` slot, read directly while
// their class's property is the one it was at import (the one returning that slot).
OverrideSite has_custom_loads_site{"has_custom_loads"};
SlotAttr custom_loads_flag{"_has_custom_loads"};

// 1, 0, or -1 with an error set.
int has_custom_loads() {
    PyObject *settings = S.json_settings;
    // The property as it was at import, never what the class holds when first asked.
    has_custom_loads_site.builtin = S.has_custom_loads_property;
    const int replaced = is_overridden(has_custom_loads_site, settings, Py_TYPE(settings));
    if (replaced < 0) return -1;
    Ref flag = Ref::steal(replaced ? PyObject_GetAttr(settings, S.n_has_custom_loads)
                                   : custom_loads_flag.get(settings));
    return flag ? PyObject_IsTrue(flag.get()) : -1;
}

// ---- the coroutines ------------------------------------------------------------------------

Coro read_body(Ref self, Ref empty) {
    co_return co_await content_read(self.get(), empty.get());
}

Coro read_detached_body(Ref self) {
    Ref raw = co_await host_read(self.get(), read_raw_site, S.empty_bytes);
    if (!raw) co_return Raised{};
    co_return detach(raw.get());
}

AsyncGen stream_body(Ref self) {
    Ref content = Ref::borrow(as_message(self.get())->content);
    const int truth = content_truth(content.get());
    if (truth < 0) co_return Raised{};
    if (!truth) {
        if (!(co_yield Ref::none())) co_return Raised{};
        co_return done;
    }
    Ref chunks = content_chunks(content.get());
    if (!chunks) co_return Raised{};
    for (;;) {
        Ref chunk = co_await anext_(chunks.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
        if (!(co_yield std::move(chunk))) co_return Raised{};
    }
    co_return done;
}

// Whether the error of a decoding says that the charset cannot be used at all: one the
// interpreter does not know, a codec that is not a text encoding ("hex", "base64"), one that
// refuses every input ("undefined") or a name with a NUL. The client wrote it.
bool unusable_charset() {
    return PyErr_ExceptionMatches(PyExc_LookupError) ||
           (PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError));
}

// `body` decoded with the message's charset, or as UTF-8 when that charset cannot be used.
Ref decode_with_charset(PyObject *self, PyObject *body) {
    Ref charset = Ref::steal(PyObject_GetAttr(self, S.n_charset));
    if (!charset) return {};
    Ref text = decode_body(body, charset.get());
    if (text || !unusable_charset()) return text;
    PyErr_Clear();
    return decode_body(body, S.n_utf8);
}

Coro text_body(Ref self) {
    Ref body = co_await host_read(self.get(), read_site, Py_None);
    if (!body) co_return Raised{};
    if (body.get() == Py_None) co_return Ref::borrow(S.empty_str);
    Ref text = decode_with_charset(self.get(), body.get());
    if (text) co_return text;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) co_return Raised{};
    Ref error = Ref::steal(PyErr_GetRaisedException());
    co_return Ref::steal(PyObject_CallFunctionObjArgs(S.fallback_decode, body.get(), error.get(),
                                                      nullptr));
}

Coro json_body(Ref self, Ref loads) {
    const int declared = declares_json(self.get());
    if (declared < 0) co_return Raised{};
    if (!declared) co_return Ref::none();
    Ref raw = co_await host_read(self.get(), read_raw_site, S.empty_bytes);
    if (!raw) co_return Raised{};
    const Py_ssize_t length = PyObject_Length(raw.get());
    if (length < 0) co_return Raised{};
    if (length == 0) co_return Ref::none();

    if (loads.get() == Py_None) {
        const int is_custom = has_custom_loads();
        if (is_custom < 0) co_return Raised{};
        if (is_custom) loads = Ref::borrow(S.json_settings_loads);
    }
    // A document nested deeper than the decoder goes is the client's (RecursionError).
    if (loads.get() == Py_None) {
        Ref value = Ref::steal(PyObject_CallOneArg(S.msgspec_decode, raw.get()));
        if (value) co_return value;
        if (!PyErr_ExceptionMatches(S.msgspec_decode_error) &&
            !PyErr_ExceptionMatches(PyExc_RecursionError))
            co_return Raised{};
        co_return raise_bad_format(self.get());
    }
    Ref text = is_buffer_body(raw.get()) ? decode_with_charset(self.get(), raw.get()) : std::move(raw);
    Ref value;
    if (text) value = Ref::steal(PyObject_CallOneArg(loads.get(), text.get()));
    if (value) co_return value;
    // JSONDecodeError and UnicodeDecodeError are ValueErrors.
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RecursionError))
        co_return Raised{};
    co_return raise_bad_format(self.get());
}

Coro read_stream_body(Ref request) {
    Ref content;
    if (PyObject_TypeCheck(request.get(), &MessageType))
        content = Ref::borrow(as_message(request.get())->content);
    else
        content = Ref::steal(PyObject_GetAttr(request.get(), S.n_content));
    if (!content) co_return Raised{};
    Ref chunks = content_chunks(content.get());
    if (!chunks) co_return Raised{};
    content.reset();
    for (;;) {
        Ref chunk = co_await anext_(chunks.get());
        if (!chunk) {
            if (take_stop_async_iteration()) break;
            co_return Raised{};
        }
    }
    co_return Ref::none();
}

Coro call_soon_body(Ref coro) {
    Ref task = Ref::steal(PyObject_CallOneArg(S.create_task, coro.get()));
    if (!task) co_return Raised{};
    coro.reset();
    {
        Ref loop = Ref::steal(PyObject_CallNoArgs(S.get_event_loop));
        if (!loop) co_return Raised{};
        Ref cancel = Ref::steal(PyObject_GetAttr(task.get(), S.n_cancel));
        if (!cancel) co_return Raised{};
        Ref handle = Ref::steal(PyObject_CallMethodOneArg(loop.get(), S.n_call_soon, cancel.get()));
        if (!handle) co_return Raised{};
    }
    Ref result = co_await await_(task.get());
    if (result) co_return result;
    if (!PyErr_ExceptionMatches(S.cancelled_error)) co_return Raised{};
    PyErr_Clear();
    co_return Ref::none();
}

// ---- the Python-visible methods and functions ------------------------------------------------

PyObject *py_read(PyObject *self, PyObject *) {
    return read_body(Ref::borrow(self), Ref::none()).release("Message.read");
}

PyObject *py_read_raw(PyObject *self, PyObject *) {
    return read_body(Ref::borrow(self), Ref::borrow(S.empty_bytes)).release("Message.read_raw");
}

PyObject *py_read_detached(PyObject *self, PyObject *) {
    return read_detached_body(Ref::borrow(self)).release("Message.read_detached");
}

PyObject *py_detach_raw(PyObject *self, PyObject *) {
    Ref content = Ref::borrow(as_message(self)->content);
    const int truth = content_truth(content.get());
    if (truth < 0) return nullptr;
    if (!truth) return Py_NewRef(S.empty_bytes);
    for (PyObject *name : {S.n__data, S.n_body}) {
        PyObject *value = nullptr;
        if (PyObject_GetOptionalAttr(content.get(), name, &value) < 0) return nullptr;
        Ref held = Ref::steal(value);
        if (value && value != Py_None) return detach(value).release();
    }
    return Py_NewRef(S.empty_bytes);
}

PyObject *py_stream(PyObject *self, PyObject *) {
    return stream_body(Ref::borrow(self)).release("Message.stream");
}

PyObject *py_text(PyObject *self, PyObject *) {
    return text_body(Ref::borrow(self)).release("Message.text");
}

PyObject *py_json(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"loads"};
    PyObject *a[1] = {Py_None};
    if (!parse_args("json", args, nargs, kwnames, names, 0, a)) return nullptr;
    return json_body(Ref::borrow(self), Ref::borrow(a[0])).release("Message.json");
}

PyObject *py_read_stream(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"request"};
    PyObject *a[1] = {};
    if (!parse_args("_read_stream", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_arg_instance(a[0], &MessageType, "request")) return nullptr;
    return read_stream(a[0]);
}

PyObject *py_call_soon(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"coro"};
    PyObject *a[1] = {};
    if (!parse_args("_call_soon", args, nargs, kwnames, names, 1, a)) return nullptr;
    return call_soon(a[0]);
}

const PyMethodDef kMessageMethods[] = {
    {"read", py_read, METH_NOARGS, "The body as the content object reads it, or None."},
    {"read_raw", py_read_raw, METH_NOARGS,
     "The body as the content object reads it, or empty bytes."},
    {"read_detached", py_read_detached, METH_NOARGS,
     "The body as an immutable bytes object that is safe to keep."},
    {"detach_raw", py_detach_raw, METH_NOARGS,
     "The body the content object already holds, as bytes; reads nothing."},
    {"stream", py_stream, METH_NOARGS, "Yields the body in chunks (one None without content)."},
    {"text", py_text, METH_NOARGS, "The body decoded with the message's charset."},
    {"json", fastcall(py_json), METH_FASTCALL | METH_KEYWORDS,
     "json($self, loads=None)\n--\n\nThe body parsed as JSON when the Content-Type declares it, else None."},
};

const PyMethodDef kModuleFunctions[] = {
    {"_read_stream", fastcall(py_read_stream), METH_FASTCALL | METH_KEYWORDS,
     "_read_stream(request)\n--\n\nReads the request's content stream to its end, discarding the chunks."},
    {"_call_soon", fastcall(py_call_soon), METH_FASTCALL | METH_KEYWORDS,
     "_call_soon(coro)\n--\n\nRuns a coroutine as a task cancelled right behind its first step."},
};

}  // namespace

PyObject *read_stream(PyObject *request) {
    return read_stream_body(Ref::borrow(request)).release("_read_stream");
}

PyObject *call_soon(PyObject *coro) {
    return call_soon_body(Ref::borrow(coro)).release("_call_soon");
}

std::span<const PyMethodDef> message_methods() { return kMessageMethods; }
std::span<const PyMethodDef> module_functions() { return kModuleFunctions; }

}  // namespace qm::messages::body
