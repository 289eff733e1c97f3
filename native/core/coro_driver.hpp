// The driver of a native coroutine's C++ frame: resume, send, throw and close with CPython's
// semantics, and the stand-in frames for tracebacks. Internal to the core library's runtime.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <coroutine>
#include <utility>

#include "common/awaitable.hpp"
#include "common/coro_frame.hpp"
#include "common/ref.hpp"

namespace qm::coro_detail {


// How a step of the frame ended. Next: the awaited iterator yielded `*out` (pass it to whoever
// drives us, the event loop in the end); Yield: the generator yielded `*out`; Return: the frame
// finished with `*out`; Error: it finished with the current exception.
enum class Outcome { Next, Yield, Return, Error };

inline bool is_coroutine(const FrameObject *f) noexcept { return f->kind == Kind::Coroutine; }

inline void destroy_frame(FrameObject *f) noexcept {
    if (!f->handle) return;
    std::coroutine_handle<> handle = std::exchange(f->handle, {});
    f->roots = nullptr;  // the roots die with the frame: the collector must not see them now
    handle.destroy();
}

inline Outcome already_executing(const FrameObject *f) {
    PyErr_SetString(PyExc_ValueError, is_coroutine(f) ? "coroutine already executing"
                                                      : "async generator already executing");
    return Outcome::Error;
}

inline Outcome reused(PyObject **out) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    *out = nullptr;
    return Outcome::Error;
}

// A StopIteration (or, from a generator, StopAsyncIteration) leaving the body would read as the
// end of the iteration one level up; it becomes a RuntimeError, as PEP 479 has it.
inline void replace_escaped_stop(const FrameObject *f) {
    const char *message = nullptr;
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        message = is_coroutine(f) ? "coroutine raised StopIteration"
                                  : "async generator raised StopIteration";
    else if (!is_coroutine(f) && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        message = "async generator raised StopAsyncIteration";
    if (!message) return;
    PyObject *stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, message);
    PyObject *error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(stop));
    PyException_SetContext(error, stop);
    PyErr_SetRaisedException(error);
}

// The code object that stands for a native body in tracebacks and introspection: file
// "<native>", named by the body's qualname. A new reference, or null with an error set.
inline PyCodeObject *code_for(const char *qualname) {
    struct Entry {
        const char *qualname;
        PyCodeObject *code;  // kept for the life of the process
    };
    static Entry cache[32] = {};
    for (const Entry &e : cache) {
        if (e.qualname == qualname) return reinterpret_cast<PyCodeObject *>(Py_NewRef(e.code));
        if (!e.qualname) break;
    }
    PyCodeObject *code = PyCode_NewEmpty("<native>", qualname, 1);
    if (!code) return nullptr;
    for (Entry &e : cache) {
        if (e.qualname) continue;
        e = Entry{qualname, reinterpret_cast<PyCodeObject *>(Py_NewRef(code))};
        break;
    }
    return code;
}

// A frame object for a native body (line 1 of its code object, no caller): what `cr_frame`
// shows and what a traceback entry needs. A new reference, or null with an error set.
inline PyObject *frame_for(const char *qualname) {
    static PyObject *globals = nullptr;
    if (!globals && !(globals = PyDict_New())) return nullptr;
    PyCodeObject *code = code_for(qualname ? qualname : "?");
    if (!code) return nullptr;
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
    return reinterpret_cast<PyObject *>(frame);
}

// Adds the native body to the traceback of the exception leaving it, as a Python frame adds
// itself: `File "<native>", line 1, in Message.json`. Best effort: the exception is kept as it
// was if the entry cannot be made.
inline void add_traceback(const FrameObject *f) {
    if (!f->qualname) return;
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *frame = frame_for(f->qualname);
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame));
        Py_DECREF(frame);
    }
}

// Resumes the suspended frame; `value` (stolen) becomes the result of the pending co_await or
// co_yield, null delivers the current exception instead.
inline Outcome resume(FrameObject *f, PyObject *value, PyObject **out) {
    f->transfer = value;
    f->state = State::Running;
    f->handle.resume();
    PyObject *result = std::exchange(f->transfer, nullptr);
    *out = result;
    if (!f->handle.done()) {
        f->state = State::Suspended;
        return f->awaiting ? Outcome::Next : Outcome::Yield;
    }
    f->state = State::Finished;
    if (result) {
        destroy_frame(f);
        return Outcome::Return;
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "native coroutine failed without setting an exception");
    else
        replace_escaped_stop(f);
    add_traceback(f);
    // The frame's destructors release references; they must not see (or eat) our exception.
    PyObject *exc = PyErr_GetRaisedException();
    destroy_frame(f);
    PyErr_SetRaisedException(exc);
    return Outcome::Error;
}

inline Outcome send(FrameObject *f, PyObject *arg, PyObject **out) {
    *out = nullptr;
    if (!arg) arg = Py_None;
    switch (f->state) {
    case State::Running:
        return already_executing(f);
    case State::Finished:
        if (is_coroutine(f)) return reused(out);
        *out = Py_NewRef(Py_None);
        return Outcome::Return;
    case State::Created:
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            is_coroutine(f)
                                ? "can't send non-None value to a just-started coroutine"
                                : "can't send non-None value to a just-started async generator");
            return Outcome::Error;
        }
        return resume(f, Py_NewRef(Py_None), out);
    case State::Suspended:
        break;
    }
    if (!f->awaiting) return resume(f, Py_NewRef(arg), out);
    PyObject *res = nullptr;
    f->state = State::Running;
    const PySendResult s = PyIter_Send(f->awaiting, arg, &res);
    f->state = State::Suspended;
    if (s == PYGEN_NEXT) {
        *out = res;
        return Outcome::Next;
    }
    Py_CLEAR(f->awaiting);
    return resume(f, s == PYGEN_RETURN ? res : nullptr, out);
}

// Raises `exc` (an exception instance) at the frame's suspension point, first offering it to the
// awaited iterator as CPython does for `await`; `close_on_genexit`: GeneratorExit closes the
// inner iterator instead of being thrown into it.
inline Outcome throw_(FrameObject *f, PyObject *exc, bool close_on_genexit, PyObject **out) {
    *out = nullptr;
    switch (f->state) {
    case State::Running:
        return already_executing(f);
    case State::Finished:
        if (is_coroutine(f)) return reused(out);
        PyErr_SetRaisedException(Py_NewRef(exc));
        return Outcome::Error;
    case State::Created:
        // Raised before the first line: the body never runs.
        f->state = State::Finished;
        destroy_frame(f);
        PyErr_SetRaisedException(Py_NewRef(exc));
        return Outcome::Error;
    case State::Suspended:
        break;
    }
    if (f->awaiting) {
        if (close_on_genexit && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            f->state = State::Running;
            const int err = awaitable::close_iter(f->awaiting);
            f->state = State::Suspended;
            Py_CLEAR(f->awaiting);
            if (err < 0) return resume(f, nullptr, out);
        } else {
            PyObject *res = nullptr;
            f->state = State::Running;
            const awaitable::Thrown t = awaitable::throw_into(f->awaiting, exc, &res);
            f->state = State::Suspended;
            if (t == awaitable::Thrown::Yielded) {
                *out = res;
                return Outcome::Next;
            }
            Py_CLEAR(f->awaiting);
            if (t == awaitable::Thrown::Returned) return resume(f, res, out);
            if (t == awaitable::Thrown::Raised) return resume(f, nullptr, out);
            // An iterator without throw(): the exception lands on the await itself, where a
            // StopIteration ends the await with its value (CPython's CLEANUP_THROW) instead of
            // escaping the body as a RuntimeError.
            if (PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
                PyObject *value = reinterpret_cast<PyStopIterationObject *>(exc)->value;
                return resume(f, Py_NewRef(value ? value : Py_None), out);
            }
        }
    }
    PyErr_SetRaisedException(Py_NewRef(exc));
    return resume(f, nullptr, out);
}

// close(): GeneratorExit at the suspension point. Returns the frame's result (None unless it
// returned a value while closing), or null with an error set.
inline PyObject *close(FrameObject *f) {
    switch (f->state) {
    case State::Created:
        f->state = State::Finished;
        destroy_frame(f);
        Py_RETURN_NONE;
    case State::Finished:
        Py_RETURN_NONE;
    case State::Running: {
        already_executing(f);
        return nullptr;
    }
    case State::Suspended:
        break;
    }
    int err = 0;
    if (f->awaiting) {
        f->state = State::Running;
        err = awaitable::close_iter(f->awaiting);
        f->state = State::Suspended;
        Py_CLEAR(f->awaiting);
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *res = nullptr;
    const Outcome o = resume(f, nullptr, &res);
    if (o == Outcome::Next || o == Outcome::Yield) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, is_coroutine(f)
                                                ? "coroutine ignored GeneratorExit"
                                                : "async generator ignored GeneratorExit");
        return nullptr;
    }
    if (o == Outcome::Return) return res;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

}  // namespace qm::coro_detail
