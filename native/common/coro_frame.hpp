// The object behind a native coroutine or asynchronous generator, and the entry points of the
// runtime that drives it. The runtime (the Python types, the driver, their caches) lives once in
// the native core library (native/core/coro_*.cpp), shared by every module: one
// `quenmark.coroutine` type, registered with collections.abc once. Internal to coro.hpp.
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/export.h"
#include "ref.hpp"

namespace qm::coro_detail {

enum class Kind : uint8_t { Coroutine, AsyncGen };
enum class State : uint8_t { Created, Suspended, Running, Finished };

// The frame's `qm::Ref` parameters, which the collector visits (see coro.hpp).
struct Roots {
    static constexpr int kMax = 6;
    const Ref *at[kMax];
    int count = 0;
};

// The Python object; the C++ frame follows it in the same allocation, at kFrameOffset.
struct FrameObject {
    PyObject_VAR_HEAD
    std::coroutine_handle<> handle;  // null once the frame is destroyed
    const Roots *roots;              // in the promise; null once the frame is destroyed
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

// A new object of the kind's type with room for a C++ frame of `size` bytes, not yet tracked by
// the collector; returns the frame's address, or null with an error set. The promise's
// constructor runs next and finds its object with `last_allocated()` (under the interpreter lock
// nothing runs in between but the copies of the parameters).
QMK_API void *allocate_frame(Kind kind, std::size_t size) noexcept;
QMK_API FrameObject *last_allocated() noexcept;

}  // namespace qm::coro_detail

namespace qm {

// Readies the runtime's types and registers them with collections.abc, once per process; every
// module that defines native coroutines calls it from its initialisation. -1 with an error set.
QMK_API int init_coroutines();

}  // namespace qm
