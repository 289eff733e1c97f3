// Python coroutines and asynchronous generators written as C++20 coroutines.
//
//     static qm::Coro read_body(qm::Ref self) {            // parameters live in the frame
//         qm::Ref data = co_await qm::await_(qm::Ref::steal(PyObject_CallMethodNoArgs(...)));
//         if (!data) co_return qm::Raised{};              // the awaited object raised
//         co_return data;                                  // the coroutine's result
//     }
//     static PyObject *read(PyObject *self, PyObject *) {
//         return read_body(qm::Ref::borrow(self)).release("Message.read");
//     }
//
//     static qm::AsyncGen chunks(qm::Ref source) {
//         ...
//         if (!(co_yield std::move(chunk))) co_return qm::Raised{};  // athrow()/aclose() came
//         co_return qm::done;                                      // StopAsyncIteration
//     }
//
// The error convention is the C API's own: a null `Ref` means "an exception is set". So
// `co_await qm::await_(x)` gives the result, or null with the awaited object's exception set
// (its traceback intact); `co_return qm::Raised{}` (or any `qm::` error helper) ends the
// coroutine with the current exception; `co_yield` gives the value sent by `asend` (None for
// `__anext__`), or null with the exception that `athrow`/`aclose` delivered. A function must end
// with `co_return`: flowing off the end is undefined behaviour in C++.
//
// What `co_await` accepts: `qm::await_(obj)` (a Ref, consumed, or a borrowed pointer: any
// awaitable; a null Ref is a failure already raised, so a call can be awaited without checking
// it first), `qm::await_(coro)` (another `qm::Coro`), `qm::anext_(aiter)` (the next item of an
// async iterator; null with StopAsyncIteration set at the end) and `qm::ready(value)` (a value
// known already, so both branches of a conditional can be awaited alike). Nothing else: the
// frame may only suspend where the driver below knows how to resume it.
//
// The Python objects (`quenmark.coroutine`, `quenmark.async_generator`) implement the whole
// protocol: send, throw (one- and three-argument forms), close, __await__ (itself), __next__,
// the am_send slot, and for generators __aiter__/__anext__/asend/athrow/aclose with the asyncgen
// hooks that asyncio uses to finalize them. They are registered as virtual subclasses of
// collections.abc.Coroutine and AsyncGenerator, so asyncio accepts them as tasks. Awaiting
// delegates to the inner iterator with PyIter_Send, so a chain of native coroutines costs a few
// C calls per step and never builds a StopIteration; nothing is awaited before the first send.
// An exception leaving a body gets the traceback entry `File "<native>", line 1, in <qualname>`,
// where a Python coroutine would add its frame; a StopIteration leaving it becomes RuntimeError.
//
// Memory: the C++ frame is allocated inside the Python object (one allocation, seen by
// tracemalloc), destroyed as soon as the body finishes and otherwise when the object dies. A
// coroutine that is never awaited frees everything without a warning.
//
// The cyclic collector sees the awaited iterator and the frame's `qm::Ref` parameters (up to
// six), not its locals: keep references that could close a cycle back to the coroutine (the
// message a method was called on, say) in parameters. A local is merely invisible: it can keep
// a cycle alive until the frame finishes, never free something in use.
//
// Parameters: take objects as `qm::Ref` by value (the frame keeps them alive across
// suspensions); a raw `PyObject *` parameter is borrowed and may die while the frame sleeps.
//
// Each extension module that uses this header calls `qm::init_coroutines()` once at import.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "awaitable.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace qm {

class Coro;
class AsyncGen;

// `co_return qm::done;` ends an asynchronous generator normally.
struct Done {};
inline constexpr Done done{};

// An operand of `co_await` (see above).
struct [[nodiscard]] Await {
    Ref target;
    bool is_value = false;
};

inline Await await_(Ref awaitable) noexcept { return Await{std::move(awaitable), false}; }
inline Await await_(PyObject *awaitable) noexcept { return Await{Ref::borrow(awaitable), false}; }
inline Await ready(Ref value) noexcept { return Await{std::move(value), true}; }
Await await_(Coro &&coro, const char *qualname = nullptr) noexcept;

// Awaits `aiter.__anext__()`.
inline Await anext_(PyObject *aiter) noexcept {
    PyTypeObject *type = Py_TYPE(aiter);
    unaryfunc anext = type->tp_as_async ? type->tp_as_async->am_anext : nullptr;
    if (!anext) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an async iterator", type->tp_name);
        return Await{};
    }
    return Await{Ref::steal(anext(aiter)), false};
}

// True, with the error cleared, when the failure just reported is the end of an async iteration.
inline bool take_stop_async_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return false;
    PyErr_Clear();
    return true;
}

namespace coro_detail {

enum class Kind : uint8_t { Coroutine, AsyncGen };
enum class State : uint8_t { Created, Suspended, Running, Finished };
struct PromiseBase;

// The Python object; the C++ frame follows it in the same allocation, at kFrameOffset.
struct FrameObject {
    PyObject_VAR_HEAD
    std::coroutine_handle<> handle;  // null once the frame is destroyed
    PromiseBase *promise;            // null once the frame is destroyed
    PyObject *awaiting;   // the iterator a suspended `co_await` delegates to, or null
    PyObject *transfer;   // the value crossing the frame boundary at a switch (see resume())
    PyObject *finalizer;  // asynchronous generators: the asyncgen finalizer hook
    PyObject *weakreflist;
    const char *qualname;
    State state;
    Kind kind;
    bool hooks_inited;   // asynchronous generators, as in CPython
    bool closed;
    bool running_async;
};

// The frame's alignment is the default new alignment (the promise declares no aligned new).
inline constexpr std::size_t kFrameAlign = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
inline constexpr Py_ssize_t kFrameOffset =
    static_cast<Py_ssize_t>((sizeof(FrameObject) + kFrameAlign - 1) & ~(kFrameAlign - 1));

inline FrameObject *owner_of(void *frame) noexcept {
    return reinterpret_cast<FrameObject *>(static_cast<char *>(frame) - kFrameOffset);
}

inline PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};
inline PyTypeObject AsyncGenType = {PyVarObject_HEAD_INIT(nullptr, 0)};
inline PyTypeObject StepType = {PyVarObject_HEAD_INIT(nullptr, 0)};
inline void *last_frame = nullptr;  // the frame allocate() handed out last (under the GIL)

struct AwaitOp {
    FrameObject *f;
    Await operand;

    bool await_ready() noexcept {
        Ref target = std::move(operand.target);
        if (operand.is_value || !target) {
            f->transfer = target.release();
            return true;
        }
        Ref it = awaitable::get_iter(target.get());
        if (!it) return true;  // transfer stays null: the error is the result
        PyObject *res = nullptr;
        const PySendResult s = PyIter_Send(it.get(), Py_None, &res);
        if (s == PYGEN_NEXT) {
            f->awaiting = it.release();
            f->transfer = res;
            return false;
        }
        f->transfer = s == PYGEN_RETURN ? res : nullptr;
        return true;
    }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    [[nodiscard]] Ref await_resume() const noexcept {
        return Ref::steal(std::exchange(f->transfer, nullptr));
    }
};

struct YieldOp {
    FrameObject *f;
    bool failed;
    bool await_ready() const noexcept { return failed; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    [[nodiscard]] Ref await_resume() const noexcept {
        return Ref::steal(std::exchange(f->transfer, nullptr));
    }
};

struct PromiseBase {
    static constexpr int kMaxRoots = 6;
    FrameObject *owner = nullptr;
    const Ref *roots[kMaxRoots];
    int nroots = 0;

    // Sees the frame's copies of the parameters, and remembers the Refs for the collector.
    template <class... A>
    explicit PromiseBase(A &...args) noexcept {
        (note(args), ...);
    }
    void note(const Ref &r) noexcept {
        if (nroots < kMaxRoots) roots[nroots++] = &r;
    }
    template <class T>
    void note(const T &) noexcept {}

    static void *allocate(PyTypeObject *type, Kind kind, std::size_t size) noexcept {
        FrameObject *f = PyObject_GC_NewVar(FrameObject, type, static_cast<Py_ssize_t>(size));
        if (!f) return nullptr;
        void *frame = reinterpret_cast<char *>(f) + kFrameOffset;
        if (reinterpret_cast<std::uintptr_t>(frame) % kFrameAlign != 0) {
            // Only an allocator that breaks CPython's own 16-byte alignment could get here.
            PyObject_GC_Del(f);
            PyErr_SetString(PyExc_SystemError, "misaligned native coroutine frame");
            return nullptr;
        }
        f->handle = {};
        f->promise = nullptr;
        f->awaiting = nullptr;
        f->transfer = nullptr;
        f->finalizer = nullptr;
        f->weakreflist = nullptr;
        f->qualname = nullptr;
        f->state = State::Created;
        f->kind = kind;
        f->hooks_inited = false;
        f->closed = false;
        f->running_async = false;
        last_frame = frame;
        return frame;
    }
    // The memory belongs to the Python object, which frees it.
    static void operator delete(void *, std::size_t) noexcept {}

    // Called right after allocate() (only the parameter copies run in between).
    template <class Promise>
    void attach(Promise &self) noexcept {
        owner = owner_of(last_frame);
        owner->handle = std::coroutine_handle<Promise>::from_promise(self);
        owner->promise = this;
        PyObject_GC_Track(owner);
    }

    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept {
        Py_CLEAR(owner->transfer);
        PyErr_SetString(PyExc_SystemError, "a C++ exception escaped a native coroutine");
    }
    void return_value(Raised) noexcept { Py_CLEAR(owner->transfer); }

    AwaitOp await_transform(Await a) noexcept { return AwaitOp{owner, std::move(a)}; }
};

struct CoroPromise : PromiseBase {
    template <class... A>
    explicit CoroPromise(A &...args) noexcept : PromiseBase(args...) {}
    static void *operator new(std::size_t size) noexcept {
        return allocate(&CoroType, Kind::Coroutine, size);
    }
    static Coro get_return_object_on_allocation_failure() noexcept;
    Coro get_return_object() noexcept;
    using PromiseBase::return_value;
    void return_value(Ref result) noexcept {
        PyObject *old = std::exchange(owner->transfer, result.release());
        Py_XDECREF(old);
    }
};

struct AsyncGenPromise : PromiseBase {
    template <class... A>
    explicit AsyncGenPromise(A &...args) noexcept : PromiseBase(args...) {}
    static void *operator new(std::size_t size) noexcept {
        return allocate(&AsyncGenType, Kind::AsyncGen, size);
    }
    static AsyncGen get_return_object_on_allocation_failure() noexcept;
    AsyncGen get_return_object() noexcept;
    using PromiseBase::return_value;
    void return_value(Done) noexcept {
        PyObject *old = std::exchange(owner->transfer, Py_NewRef(Py_None));
        Py_XDECREF(old);
    }
    // A null value is a failure: the frame resumes at once with it.
    YieldOp yield_value(Ref value) noexcept {
        if (!value) return YieldOp{owner, true};
        owner->transfer = value.release();
        return YieldOp{owner, false};
    }
};

}  // namespace coro_detail

// The result of a C++ function that is a Python coroutine.
class [[nodiscard]] Coro {
  public:
    explicit Coro(coro_detail::FrameObject *f) noexcept
        : obj_(Ref::steal(reinterpret_cast<PyObject *>(f))) {}

    // The coroutine object (a new reference), named `qualname` (static text) in its repr and
    // `__qualname__`; null with MemoryError set when it could not be allocated.
    PyObject *release(const char *qualname) noexcept {
        if (obj_) reinterpret_cast<coro_detail::FrameObject *>(obj_.get())->qualname = qualname;
        return obj_.release();
    }

  private:
    Ref obj_;
};

// The result of a C++ function that is a Python asynchronous generator.
class [[nodiscard]] AsyncGen {
  public:
    explicit AsyncGen(coro_detail::FrameObject *f) noexcept
        : obj_(Ref::steal(reinterpret_cast<PyObject *>(f))) {}

    PyObject *release(const char *qualname) noexcept {
        if (obj_) reinterpret_cast<coro_detail::FrameObject *>(obj_.get())->qualname = qualname;
        return obj_.release();
    }

  private:
    Ref obj_;
};

}  // namespace qm

// The promise types. A reference parameter would let the frame (and the collector, through its
// roots) outlive the object it names, so Refs must be taken by value.
template <class... Args>
struct std::coroutine_traits<qm::Coro, Args...> {
    static_assert(((!std::is_reference_v<Args> ||
                    !std::is_same_v<std::remove_cvref_t<Args>, qm::Ref>) && ...),
                  "take qm::Ref parameters of a native coroutine by value");
    using promise_type = qm::coro_detail::CoroPromise;
};
template <class... Args>
struct std::coroutine_traits<qm::AsyncGen, Args...> {
    static_assert(((!std::is_reference_v<Args> ||
                    !std::is_same_v<std::remove_cvref_t<Args>, qm::Ref>) && ...),
                  "take qm::Ref parameters of a native coroutine by value");
    using promise_type = qm::coro_detail::AsyncGenPromise;
};

namespace qm {

inline Await await_(Coro &&coro, const char *qualname) noexcept {
    return Await{Ref::steal(coro.release(qualname)), false};
}

namespace coro_detail {

inline Coro CoroPromise::get_return_object_on_allocation_failure() noexcept {
    return Coro(nullptr);
}
inline Coro CoroPromise::get_return_object() noexcept {
    attach(*this);
    return Coro(owner);
}
inline AsyncGen AsyncGenPromise::get_return_object_on_allocation_failure() noexcept {
    return AsyncGen(nullptr);
}
inline AsyncGen AsyncGenPromise::get_return_object() noexcept {
    attach(*this);
    return AsyncGen(owner);
}

// ---- the driver ------------------------------------------------------------------------------

// How a step of the frame ended. Next: the awaited iterator yielded `*out` (pass it to whoever
// drives us, the event loop in the end); Yield: the generator yielded `*out`; Return: the frame
// finished with `*out`; Error: it finished with the current exception.
enum class Outcome { Next, Yield, Return, Error };

inline bool is_coroutine(const FrameObject *f) noexcept { return f->kind == Kind::Coroutine; }

inline void destroy_frame(FrameObject *f) noexcept {
    if (!f->handle) return;
    std::coroutine_handle<> handle = std::exchange(f->handle, {});
    f->promise = nullptr;  // the roots die with the frame: the collector must not see them now
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

// Adds the native body to the traceback of the exception leaving it, as a Python frame adds
// itself: `File "<native>", line 1, in Message.json`. Best effort: the exception is kept as it
// was if the entry cannot be made.
inline void add_traceback(const FrameObject *f) {
    if (!f->qualname) return;
    struct Entry {
        const char *qualname;
        PyCodeObject *code;
    };
    static Entry cache[32] = {};
    static PyObject *globals = nullptr;
    PyObject *exc = PyErr_GetRaisedException();
    PyCodeObject *code = nullptr;
    for (const Entry &e : cache) {
        if (e.qualname == f->qualname) {
            code = e.code;
            break;
        }
    }
    if (!code) {
        code = PyCode_NewEmpty("<native>", f->qualname, 1);
        for (Entry &e : cache) {
            if (!code || e.qualname) continue;
            e = Entry{f->qualname, code};  // kept for the life of the process
            Py_INCREF(code);
            break;
        }
    } else {
        Py_INCREF(code);
    }
    if (!globals) globals = PyDict_New();
    PyFrameObject *frame =
        code && globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
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

// ---- the coroutine type ----------------------------------------------------------------------

inline FrameObject *as_frame(PyObject *o) noexcept { return reinterpret_cast<FrameObject *>(o); }

// Maps an outcome to the value protocol of send()/throw()/__next__ (StopIteration on return).
inline PyObject *to_value(Outcome o, PyObject *res) {
    if (o == Outcome::Next || o == Outcome::Yield) return res;
    if (o == Outcome::Return) {
        awaitable::set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

inline PySendResult to_send_result(Outcome o) noexcept {
    if (o == Outcome::Return) return PYGEN_RETURN;
    if (o == Outcome::Error) return PYGEN_ERROR;
    return PYGEN_NEXT;
}

inline PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    return to_send_result(send(as_frame(self), arg, out));
}

inline PyObject *coro_iternext(PyObject *self) {
    PyObject *res = nullptr;
    const Outcome o = send(as_frame(self), Py_None, &res);
    if (o == Outcome::Return && res == Py_None) {  // a plain end: no exception object needed
        Py_DECREF(res);
        return nullptr;
    }
    return to_value(o, res);
}

inline PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    const Outcome o = send(as_frame(self), arg, &res);
    return to_value(o, res);
}

inline PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("throw", args, nargs);
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    const Outcome o = throw_(as_frame(self), exc.get(), true, &res);
    return to_value(o, res);
}

inline PyObject *coro_close(PyObject *self, PyObject *) { return close(as_frame(self)); }

inline int frame_traverse(PyObject *self, visitproc visit, void *arg) {
    FrameObject *f = as_frame(self);
    Py_VISIT(f->awaiting);
    Py_VISIT(f->transfer);
    Py_VISIT(f->finalizer);
    if (const PromiseBase *p = f->promise) {
        for (int i = 0; i < p->nroots; ++i) Py_VISIT(p->roots[i]->get());
    }
    return 0;
}

inline int frame_clear(PyObject *self) {
    FrameObject *f = as_frame(self);
    if (f->state != State::Running) {
        f->state = State::Finished;
        destroy_frame(f);
    }
    Py_CLEAR(f->awaiting);
    Py_CLEAR(f->transfer);
    Py_CLEAR(f->finalizer);
    return 0;
}

inline void frame_finalize(PyObject *self) {
    FrameObject *f = as_frame(self);
    // A coroutine that never started has nothing to clean up but its frame, which dealloc
    // destroys: no "never awaited" warning, no resumption.
    if (f->state == State::Finished || (f->state == State::Created && !f->finalizer)) return;
    PyObject *exc = PyErr_GetRaisedException();
    if (f->kind == Kind::AsyncGen && f->finalizer && !f->closed) {
        // asyncio's hook schedules aclose() on the loop, which resurrects the generator.
        PyObject *res = PyObject_CallOneArg(f->finalizer, self);
        if (!res) PyErr_FormatUnraisable("Exception ignored while finalizing generator %R", self);
        Py_XDECREF(res);
    } else {
        PyObject *res = close(f);
        if (!res) PyErr_FormatUnraisable("Exception ignored while closing generator %R", self);
        Py_XDECREF(res);
    }
    PyErr_SetRaisedException(exc);
}

inline void frame_dealloc(PyObject *self) {
    FrameObject *f = as_frame(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    destroy_frame(f);
    Py_CLEAR(f->awaiting);
    Py_CLEAR(f->transfer);
    Py_CLEAR(f->finalizer);
    PyObject_GC_Del(self);
}

inline PyObject *frame_repr(PyObject *self) {
    FrameObject *f = as_frame(self);
    return PyUnicode_FromFormat("<%s %s at %p>", Py_TYPE(self)->tp_name,
                                f->qualname ? f->qualname : "?", self);
}

inline PyObject *get_qualname(PyObject *self, void *) {
    const char *q = as_frame(self)->qualname;
    return PyUnicode_FromString(q ? q : "");
}

inline PyObject *get_name(PyObject *self, void *) {
    const char *q = as_frame(self)->qualname;
    if (!q) return PyUnicode_FromString("");
    const char *dot = std::strrchr(q, '.');
    return PyUnicode_FromString(dot ? dot + 1 : q);
}

inline PyObject *get_await(PyObject *self, void *) {
    PyObject *a = as_frame(self)->awaiting;
    return Py_NewRef(a ? a : Py_None);
}

inline PyObject *get_running(PyObject *self, void *) {
    FrameObject *f = as_frame(self);
    if (f->kind == Kind::AsyncGen) return PyBool_FromLong(f->running_async);
    return PyBool_FromLong(f->state == State::Running);
}

inline PyObject *get_suspended(PyObject *self, void *) {
    return PyBool_FromLong(as_frame(self)->state == State::Suspended);
}

inline PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }

inline PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> send 'value' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyAsyncMethods coro_as_async = {PyObject_SelfIter, nullptr, nullptr, coro_am_send};

// ---- the asynchronous generator type and its step awaitables ---------------------------------

enum class StepMode : uint8_t { Send, Throw, Close };
enum class StepState : uint8_t { Init, Iter, Closed };

// What `__anext__()`, `asend()`, `athrow()` and `aclose()` return: one awaitable per call that
// runs the generator until its next `co_yield` (its result) or its end.
struct StepObject {
    PyObject_HEAD
    FrameObject *gen;
    PyObject *arg;  // Send: the value to send (or null); Throw: the exception instance
    StepMode mode;
    StepState state;
};

inline PyObject *new_step(PyObject *gen, StepMode mode, PyObject *arg) {
    StepObject *s = PyObject_GC_New(StepObject, &StepType);
    if (!s) return nullptr;
    s->gen = as_frame(Py_NewRef(gen));
    s->arg = Py_XNewRef(arg);
    s->mode = mode;
    s->state = StepState::Init;
    PyObject_GC_Track(s);
    return reinterpret_cast<PyObject *>(s);
}

inline int init_hooks(FrameObject *g) {
    if (g->hooks_inited) return 0;
    g->hooks_inited = true;
    PyObject *get_hooks = PySys_GetObject("get_asyncgen_hooks");  // borrowed
    if (!get_hooks) return 0;
    Ref hooks = Ref::steal(PyObject_CallNoArgs(get_hooks));
    if (!hooks) return -1;
    Ref firstiter = Ref::steal(PySequence_GetItem(hooks.get(), 0));
    Ref finalizer = Ref::steal(PySequence_GetItem(hooks.get(), 1));
    if (!firstiter || !finalizer) return -1;
    if (finalizer.get() != Py_None) g->finalizer = finalizer.release();
    if (firstiter.get() != Py_None) {
        Ref r = Ref::steal(PyObject_CallOneArg(firstiter.get(), reinterpret_cast<PyObject *>(g)));
        if (!r) return -1;
    }
    return 0;
}

inline PyObject *agen_anext(PyObject *self) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Send, nullptr);
}

inline PyObject *agen_asend(PyObject *self, PyObject *arg) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Send, arg);
}

inline PyObject *agen_athrow(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("athrow", args, nargs);
    if (!exc) return nullptr;
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Throw, exc.get());
}

inline PyObject *agen_aclose(PyObject *self, PyObject *) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Close, nullptr);
}

inline PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(agen_athrow)),
     METH_FASTCALL, "athrow(value)\nathrow(type[,value[,tb]])\n\nraise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef agen_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"ag_await", get_await, nullptr, nullptr, nullptr},
    {"ag_running", get_running, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"ag_frame", get_none, nullptr, nullptr, nullptr},
    {"ag_code", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyAsyncMethods agen_as_async = {nullptr, PyObject_SelfIter, agen_anext, nullptr};

inline StepObject *as_step(PyObject *o) noexcept { return reinterpret_cast<StepObject *>(o); }

inline PySendResult step_error(StepObject *s, PyObject *type, const char *message) {
    s->state = StepState::Closed;
    PyErr_SetString(type, message);
    return PYGEN_ERROR;
}

inline PySendResult step_reused(StepObject *s) {
    return step_error(s, PyExc_RuntimeError,
                      s->mode == StepMode::Send ? "cannot reuse already awaited __anext__()/asend()"
                                                : "cannot reuse already awaited aclose()/athrow()");
}

inline PySendResult step_busy(StepObject *s) {
    static const char *const messages[] = {
        "anext(): asynchronous generator is already running",
        "athrow(): asynchronous generator is already running",
        "aclose(): asynchronous generator is already running",
    };
    return step_error(s, PyExc_RuntimeError, messages[static_cast<int>(s->mode)]);
}

// Turns what the generator did into the step's own protocol: a yield is the step's result, the
// generator's end is StopAsyncIteration (or, for aclose(), success).
inline PySendResult step_finish(StepObject *s, Outcome o, PyObject *res, PyObject **out) {
    FrameObject *g = s->gen;
    *out = nullptr;
    switch (o) {
    case Outcome::Next:
        *out = res;
        return PYGEN_NEXT;
    case Outcome::Yield:
        g->running_async = false;
        s->state = StepState::Closed;
        if (s->mode == StepMode::Close) {
            Py_DECREF(res);
            PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
            return PYGEN_ERROR;
        }
        *out = res;
        return PYGEN_RETURN;
    case Outcome::Return:
        Py_DECREF(res);
        g->running_async = false;
        g->closed = true;
        s->state = StepState::Closed;
        if (s->mode == StepMode::Close) {
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    case Outcome::Error:
        break;
    }
    g->running_async = false;
    s->state = StepState::Closed;
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        g->closed = true;
        if (s->mode == StepMode::Close) {
            PyErr_Clear();
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
    }
    return PYGEN_ERROR;
}

inline PySendResult step_send(PyObject *self, PyObject *arg, PyObject **out) {
    StepObject *s = as_step(self);
    FrameObject *g = s->gen;
    *out = nullptr;
    if (s->state == StepState::Closed) return step_reused(s);
    PyObject *res = nullptr;
    Outcome o;
    if (s->state == StepState::Iter) {
        o = send(g, arg, &res);
        return step_finish(s, o, res, out);
    }
    if (g->running_async) return step_busy(s);
    if (s->mode == StepMode::Send) {
        if (!arg || arg == Py_None) arg = s->arg;
        s->state = StepState::Iter;
        g->running_async = true;
        o = send(g, arg, &res);
        return step_finish(s, o, res, out);
    }
    if (g->state == State::Finished) {
        s->state = StepState::Closed;
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (g->closed) {
        s->state = StepState::Closed;
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    if (arg && arg != Py_None) {
        PyErr_SetString(PyExc_RuntimeError,
                        "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    s->state = StepState::Iter;
    g->running_async = true;
    if (s->mode == StepMode::Close) {
        g->closed = true;
        Ref exc = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        if (!exc) {
            o = Outcome::Error;
        } else {
            o = throw_(g, exc.get(), false, &res);
        }
    } else {
        o = throw_(g, s->arg, false, &res);
    }
    return step_finish(s, o, res, out);
}

inline PySendResult step_throw_exc(StepObject *s, PyObject *exc, PyObject **out) {
    FrameObject *g = s->gen;
    *out = nullptr;
    if (s->state == StepState::Closed) return step_reused(s);
    if (s->state == StepState::Init) {
        if (g->running_async) return step_busy(s);
        s->state = StepState::Iter;
        g->running_async = true;
    }
    PyObject *res = nullptr;
    const Outcome o = throw_(g, exc, true, &res);
    return step_finish(s, o, res, out);
}

inline PyObject *step_value(PySendResult r, PyObject *res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        awaitable::set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

inline PyObject *step_send_method(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    const PySendResult r = step_send(self, arg, &res);
    return step_value(r, res);
}

inline PyObject *step_iternext(PyObject *self) {
    PyObject *res = nullptr;
    const PySendResult r = step_send(self, Py_None, &res);
    return step_value(r, res);
}

inline PyObject *step_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("throw", args, nargs);
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    const PySendResult r = step_throw_exc(as_step(self), exc.get(), &res);
    return step_value(r, res);
}

inline PyObject *step_close(PyObject *self, PyObject *) {
    StepObject *s = as_step(self);
    if (s->state == StepState::Closed) Py_RETURN_NONE;
    Ref exc = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    const PySendResult r = step_throw_exc(s, exc.get(), &res);
    if (r == PYGEN_NEXT) {
        Py_DECREF(res);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(res);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

inline int step_traverse(PyObject *self, visitproc visit, void *arg) {
    StepObject *s = as_step(self);
    Py_VISIT(reinterpret_cast<PyObject *>(s->gen));
    Py_VISIT(s->arg);
    return 0;
}

inline int step_clear(PyObject *self) {
    StepObject *s = as_step(self);
    Py_CLEAR(s->gen);
    Py_CLEAR(s->arg);
    return 0;
}

inline void step_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    // A step dropped half-way (its awaiting task abandoned it) must not leave the generator
    // "already running" for good.
    StepObject *s = as_step(self);
    if (s->state == StepState::Iter && s->gen) s->gen->running_async = false;
    step_clear(self);
    PyObject_GC_Del(self);
}

inline PyMethodDef step_methods[] = {
    {"send", step_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_throw)), METH_FASTCALL,
     nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyAsyncMethods step_as_async = {PyObject_SelfIter, nullptr, nullptr, step_send};

inline int register_abc(const char *abc, PyTypeObject *type) {
    Ref cls = Ref::steal(PyImport_ImportModuleAttrString("collections.abc", abc));
    if (!cls) return -1;
    Ref r = Ref::steal(PyObject_CallMethod(cls.get(), "register", "O", type));
    return r ? 0 : -1;
}

inline void fill_frame_type(PyTypeObject &t, const char *name, const char *doc) {
    t.tp_name = name;
    t.tp_basicsize = kFrameOffset;
    t.tp_itemsize = 1;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = doc;
    t.tp_dealloc = frame_dealloc;
    t.tp_traverse = frame_traverse;
    t.tp_clear = frame_clear;
    t.tp_finalize = frame_finalize;
    t.tp_repr = frame_repr;
    t.tp_weaklistoffset = offsetof(FrameObject, weakreflist);
}

}  // namespace coro_detail

// Readies the coroutine types of this extension module and registers them with
// collections.abc. Call once from the module's initialisation; -1 with an error set.
inline int init_coroutines() {
    using namespace coro_detail;
    static bool ready = false;
    if (ready) return 0;

    fill_frame_type(CoroType, "quenmark.coroutine", "A coroutine implemented natively.");
    CoroType.tp_as_async = &coro_as_async;
    CoroType.tp_iter = PyObject_SelfIter;
    CoroType.tp_iternext = coro_iternext;
    CoroType.tp_methods = coro_methods;
    CoroType.tp_getset = coro_getset;

    fill_frame_type(AsyncGenType, "quenmark.async_generator",
                    "An asynchronous generator implemented natively.");
    AsyncGenType.tp_as_async = &agen_as_async;
    AsyncGenType.tp_methods = agen_methods;
    AsyncGenType.tp_getset = agen_getset;

    StepType.tp_name = "quenmark.async_generator_step";
    StepType.tp_basicsize = sizeof(StepObject);
    StepType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    StepType.tp_dealloc = step_dealloc;
    StepType.tp_traverse = step_traverse;
    StepType.tp_clear = step_clear;
    StepType.tp_as_async = &step_as_async;
    StepType.tp_iter = PyObject_SelfIter;
    StepType.tp_iternext = step_iternext;
    StepType.tp_methods = step_methods;

    if (PyType_Ready(&CoroType) < 0 || PyType_Ready(&AsyncGenType) < 0 ||
        PyType_Ready(&StepType) < 0)
        return -1;

    if (register_abc("Coroutine", &CoroType) < 0 ||
        register_abc("AsyncGenerator", &AsyncGenType) < 0)
        return -1;
    ready = true;
    return 0;
}

}  // namespace qm
