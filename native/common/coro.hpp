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
// async iterator; null with StopAsyncIteration set at the end), `qm::ready(value)` (a value
// known already, so both branches of a conditional can be awaited alike) and a `qm::Started`
// (an awaitable whose first step was taken at once). Nothing else: the frame may only suspend
// where the driver (coro_frame.hpp) knows how to resume it.
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
// `cr_frame`/`cr_code` give asyncio's introspection (Task.get_stack, the call graph, task reprs)
// a stand-in frame of the same name while the body is alive.
//
// Memory: the C++ frame is allocated inside the Python object (one allocation, seen by
// tracemalloc), destroyed as soon as the body finishes and otherwise when the object dies. A
// coroutine that is never awaited frees everything without a warning.
//
// The cyclic collector sees the awaited iterator and the frame's `qm::Ref` parameters (at most
// `Roots::kMax`, six: more is a compile-time error), not its locals: keep references that could
// close a cycle back to the coroutine (the message a method was called on, say) in parameters. A
// local is merely invisible: it can keep a cycle alive until the frame finishes, never free
// something in use.
//
// Parameters: take objects as `qm::Ref` by value (the frame keeps them alive across
// suspensions); a raw `PyObject *` parameter is borrowed and may die while the frame sleeps.
//
// The types and their caches live once in the native core library, shared by every module (one
// `quenmark.coroutine` type, registered with collections.abc once); each extension module that
// uses this header calls `qm::init_coroutines()` at import, which readies them the first time.
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "awaitable.hpp"
#include "coro_frame.hpp"
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

// `await awaitable` taken one step at a time, for a body that does something only when the
// awaitable really waits: `start` makes the first send at once. When the awaitable finished
// (`waits()` false), `value` is its result, or null with its error set, and nothing suspended;
// otherwise `value` is what it yielded, and `co_await std::move(started)` suspends the frame with
// it and goes on with the awaitable, as a plain `await_` would have (a finished one gives its
// result at once).
struct [[nodiscard]] Started {
    Ref iterator;  // the awaitable's iterator while it waits
    Ref value;

    bool waits() const noexcept { return bool(iterator); }

    static Started start(Ref awaitable) noexcept {
        if (!awaitable) return {};
        Ref it = awaitable::get_iter(awaitable.get());
        if (!it) return {};
        PyObject *res = nullptr;
        const PySendResult s = PyIter_Send(it.get(), Py_None, &res);
        if (s == PYGEN_NEXT) return Started{std::move(it), Ref::steal(res)};
        return Started{Ref{}, Ref::steal(s == PYGEN_RETURN ? res : nullptr)};
    }
};

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

// A `qm::Started`: the frame goes on with its result or suspends with what it yielded.
struct StartedOp {
    FrameObject *f;
    Started started;

    bool await_ready() noexcept {
        f->transfer = started.value.release();
        if (!started.iterator) return true;
        f->awaiting = started.iterator.release();
        return false;
    }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    [[nodiscard]] Ref await_resume() const noexcept {
        return Ref::steal(std::exchange(f->transfer, nullptr));
    }
};

// Any other operand: a value at once, or the awaitable's first step taken here.
struct AwaitOp {
    FrameObject *f;
    Await operand;

    bool await_ready() noexcept {
        if (operand.is_value) {
            f->transfer = operand.target.release();
            return true;
        }
        return StartedOp{f, Started::start(std::move(operand.target))}.await_ready();
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
    FrameObject *owner = nullptr;
    Roots roots;

    // Sees the frame's copies of the parameters, and remembers the Refs for the collector.
    template <class... A>
    explicit PromiseBase(A &...args) noexcept {
        (note(args), ...);
    }
    void note(const Ref &r) noexcept { roots.at[roots.count++] = &r; }
    template <class T>
    void note(const T &) noexcept {}

    // The memory belongs to the Python object, which frees it.
    static void operator delete(void *, std::size_t) noexcept {}

    // Called right after allocate_frame() (only the parameter copies run in between).
    template <class Promise>
    void attach(Promise &self) noexcept {
        owner = last_allocated();
        owner->handle = std::coroutine_handle<Promise>::from_promise(self);
        owner->roots = &roots;
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
    StartedOp await_transform(Started s) noexcept { return StartedOp{owner, std::move(s)}; }
};

struct CoroPromise : PromiseBase {
    template <class... A>
    explicit CoroPromise(A &...args) noexcept : PromiseBase(args...) {}
    static void *operator new(std::size_t size) noexcept {
        return allocate_frame(Kind::Coroutine, size);
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
        return allocate_frame(Kind::AsyncGen, size);
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

// What a native body's C++ function returns: the frame object it made, until `release`.
class FrameHandle {
  public:
    explicit FrameHandle(FrameObject *f) noexcept
        : obj_(Ref::steal(reinterpret_cast<PyObject *>(f))) {}

    // The Python object (a new reference), named `qualname` (static text) in its repr and
    // `__qualname__`; null with MemoryError set when it could not be allocated.
    PyObject *release(const char *qualname) noexcept {
        if (obj_) reinterpret_cast<FrameObject *>(obj_.get())->qualname = qualname;
        return obj_.release();
    }

  private:
    Ref obj_;
};

// A reference parameter would let the frame (and the collector, through its roots) outlive the
// object it names, so Refs must be taken by value.
template <class... Args>
inline constexpr bool kRefsByValue =
    ((!std::is_reference_v<Args> || !std::is_same_v<std::remove_cvref_t<Args>, Ref>) && ...);

// The collector sees every Ref parameter, or the coroutine does not compile.
template <class... Args>
inline constexpr bool kRootsFit =
    (0 + ... + int(std::is_same_v<std::remove_cvref_t<Args>, Ref>)) <= Roots::kMax;

}  // namespace coro_detail

// The result of a C++ function that is a Python coroutine.
class [[nodiscard]] Coro : public coro_detail::FrameHandle {
  public:
    using FrameHandle::FrameHandle;
};

// The result of a C++ function that is a Python asynchronous generator.
class [[nodiscard]] AsyncGen : public coro_detail::FrameHandle {
  public:
    using FrameHandle::FrameHandle;
};

}  // namespace qm

// The promise types.
template <class... Args>
struct std::coroutine_traits<qm::Coro, Args...> {
    static_assert(qm::coro_detail::kRefsByValue<Args...>,
                  "take qm::Ref parameters of a native coroutine by value");
    static_assert(qm::coro_detail::kRootsFit<Args...>,
                  "a native coroutine takes at most Roots::kMax qm::Ref parameters: pass a "
                  "tuple or an object holding the rest");
    using promise_type = qm::coro_detail::CoroPromise;
};
template <class... Args>
struct std::coroutine_traits<qm::AsyncGen, Args...> {
    static_assert(qm::coro_detail::kRefsByValue<Args...>,
                  "take qm::Ref parameters of a native coroutine by value");
    static_assert(qm::coro_detail::kRootsFit<Args...>,
                  "a native coroutine takes at most Roots::kMax qm::Ref parameters: pass a "
                  "tuple or an object holding the rest");
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

}  // namespace coro_detail
}  // namespace qm
