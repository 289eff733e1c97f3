// The exception being handled, as Python's `except` block sets it, for C++ code that calls and
// awaits Python code from inside its own except branches.
//
// Code run from an `except` block sees the exception in `sys.exception()` (so
// `logger.exception(...)` and a bare `raise` work in an exception handler) and chains it as the
// `__context__` of what it raises. A native coroutine has no frame of its own for the
// interpreter to keep that state in, so:
// - `while_handling(exc, f)` runs the synchronous call `f()` with `exc` being handled;
// - `handling(exc, operand)` wraps what is about to be awaited so that every step of it (each
//   send, throw or close, however many times the awaitable suspends) runs with `exc` being
//   handled, exactly as the steps of a coroutine awaited inside `except` do.
#pragma once

#include <Python.h>

#include <utility>

#include "common/coro.hpp"

namespace qm::keystone {

// Pushes `exc` as the innermost handled exception for the scope's lifetime. Never hold one
// across a `co_await`: the stack it pushes on belongs to whoever resumes the frame.
class HandledScope {
  public:
    explicit HandledScope(PyObject *exc) : ts_(PyThreadState_Get()) {
        item_.exc_value = Py_XNewRef(exc);
        item_.previous_item = ts_->exc_info;
        ts_->exc_info = &item_;
    }
    ~HandledScope() {
        ts_->exc_info = item_.previous_item;
        Py_XDECREF(item_.exc_value);  // the interpreter may have swapped it and back: it owns it
    }
    HandledScope(const HandledScope &) = delete;
    HandledScope &operator=(const HandledScope &) = delete;

  private:
    PyThreadState *ts_;
    _PyErr_StackItem item_;
};

template <class F>
auto while_handling(PyObject *exc, F &&f) {
    HandledScope scope(exc);
    return std::forward<F>(f)();
}

// The operand to await in place of `operand`, its steps run with `exc` being handled. A ready
// value or a failure passes through unchanged.
Await handling(PyObject *exc, Await operand);

int ready_handling_type();

}  // namespace qm::keystone
