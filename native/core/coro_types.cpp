// The Python types of native coroutines (`quenmark.coroutine`), asynchronous generators
// (`quenmark.async_generator`) and the awaitables their asend/athrow/aclose return, the frame
// allocation, and `qm::init_coroutines()`, which readies the types once for every module.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/awaitable.hpp"
#include "common/coro_frame.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "coro_driver.hpp"

namespace qm {
namespace coro_detail {
namespace {

PyTypeObject CoroType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject AsyncGenType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject StepType = {PyVarObject_HEAD_INIT(nullptr, 0)};
FrameObject *last_owner = nullptr;  // the object allocate_frame() made last (under the GIL)

// ---- the coroutine type ----------------------------------------------------------------------

FrameObject *as_frame(PyObject *o) noexcept { return reinterpret_cast<FrameObject *>(o); }

// Maps an outcome to the value protocol of send()/throw()/__next__ (StopIteration on return).
PyObject *to_value(Outcome o, PyObject *res) {
    if (o == Outcome::Next || o == Outcome::Yield) return res;
    if (o == Outcome::Return) {
        awaitable::set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

PySendResult to_send_result(Outcome o) noexcept {
    if (o == Outcome::Return) return PYGEN_RETURN;
    if (o == Outcome::Error) return PYGEN_ERROR;
    return PYGEN_NEXT;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    return to_send_result(send(as_frame(self), arg, out));
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *res = nullptr;
    const Outcome o = send(as_frame(self), Py_None, &res);
    if (o == Outcome::Return && res == Py_None) {  // a plain end: no exception object needed
        Py_DECREF(res);
        return nullptr;
    }
    return to_value(o, res);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    const Outcome o = send(as_frame(self), arg, &res);
    return to_value(o, res);
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("throw", args, nargs);
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    const Outcome o = throw_(as_frame(self), exc.get(), true, &res);
    return to_value(o, res);
}

PyObject *coro_close(PyObject *self, PyObject *) { return close(as_frame(self)); }

int frame_traverse(PyObject *self, visitproc visit, void *arg) {
    FrameObject *f = as_frame(self);
    Py_VISIT(f->awaiting);
    Py_VISIT(f->transfer);
    Py_VISIT(f->finalizer);
    if (const Roots *roots = f->roots) {
        for (int i = 0; i < roots->count; ++i) Py_VISIT(roots->at[i]->get());
    }
    return 0;
}

int frame_clear(PyObject *self) {
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

// A coroutine that never started has nothing to clean up but its frame, which dealloc destroys:
// no "never awaited" warning, no resumption.
bool nothing_to_finalize(const FrameObject *f) noexcept {
    return f->state == State::Finished || (f->state == State::Created && !f->finalizer);
}

void frame_finalize(PyObject *self) {
    FrameObject *f = as_frame(self);
    if (nothing_to_finalize(f)) return;
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

void frame_dealloc(PyObject *self) {
    FrameObject *f = as_frame(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    // Most coroutines die finished: their finalizer would return at once.
    if (!nothing_to_finalize(f)) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    destroy_frame(f);
    Py_CLEAR(f->awaiting);
    Py_CLEAR(f->transfer);
    Py_CLEAR(f->finalizer);
    PyObject_GC_Del(self);
}

PyObject *frame_repr(PyObject *self) {
    FrameObject *f = as_frame(self);
    return PyUnicode_FromFormat("<%s %s at %p>", Py_TYPE(self)->tp_name,
                                f->qualname ? f->qualname : "?", self);
}

PyObject *get_qualname(PyObject *self, void *) {
    const char *q = as_frame(self)->qualname;
    return PyUnicode_FromString(q ? q : "");
}

PyObject *get_name(PyObject *self, void *) {
    const char *q = as_frame(self)->qualname;
    if (!q) return PyUnicode_FromString("");
    const char *dot = std::strrchr(q, '.');
    return PyUnicode_FromString(dot ? dot + 1 : q);
}

PyObject *get_await(PyObject *self, void *) {
    PyObject *a = as_frame(self)->awaiting;
    return Py_NewRef(a ? a : Py_None);
}

PyObject *get_running(PyObject *self, void *) {
    FrameObject *f = as_frame(self);
    if (f->kind == Kind::AsyncGen) return PyBool_FromLong(f->running_async);
    return PyBool_FromLong(f->state == State::Running);
}

PyObject *get_suspended(PyObject *self, void *) {
    return PyBool_FromLong(as_frame(self)->state == State::Suspended);
}

// asyncio's introspection (Task.get_stack, the call graph) walks cr_frame/cr_code as it does
// for Python coroutines: a stand-in frame while the body is alive, None once it has finished.
PyObject *get_frame(PyObject *self, void *) {
    FrameObject *f = as_frame(self);
    if (f->state == State::Finished) Py_RETURN_NONE;
    return frame_for(f->qualname);
}

PyObject *get_code(PyObject *self, void *) {
    const char *q = as_frame(self)->qualname;
    return reinterpret_cast<PyObject *>(code_for(q ? q : "?"));
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> send 'value' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", fastcall(coro_throw), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_as_async = {PyObject_SelfIter, nullptr, nullptr, coro_am_send};

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

PyObject *new_step(PyObject *gen, StepMode mode, PyObject *arg) {
    StepObject *s = PyObject_GC_New(StepObject, &StepType);
    if (!s) return nullptr;
    s->gen = as_frame(Py_NewRef(gen));
    s->arg = Py_XNewRef(arg);
    s->mode = mode;
    s->state = StepState::Init;
    PyObject_GC_Track(s);
    return reinterpret_cast<PyObject *>(s);
}

int init_hooks(FrameObject *g) {
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

PyObject *agen_anext(PyObject *self) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Send, nullptr);
}

PyObject *agen_asend(PyObject *self, PyObject *arg) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Send, arg);
}

PyObject *agen_athrow(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("athrow", args, nargs);
    if (!exc) return nullptr;
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Throw, exc.get());
}

PyObject *agen_aclose(PyObject *self, PyObject *) {
    if (init_hooks(as_frame(self)) < 0) return nullptr;
    return new_step(self, StepMode::Close, nullptr);
}

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", fastcall(agen_athrow),
     METH_FASTCALL, "athrow(value)\nathrow(type[,value[,tb]])\n\nraise exception in generator."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"ag_await", get_await, nullptr, nullptr, nullptr},
    {"ag_running", get_running, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"ag_frame", get_frame, nullptr, nullptr, nullptr},
    {"ag_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods agen_as_async = {nullptr, PyObject_SelfIter, agen_anext, nullptr};

StepObject *as_step(PyObject *o) noexcept { return reinterpret_cast<StepObject *>(o); }

PySendResult step_error(StepObject *s, PyObject *type, const char *message) {
    s->state = StepState::Closed;
    PyErr_SetString(type, message);
    return PYGEN_ERROR;
}

PySendResult step_reused(StepObject *s) {
    return step_error(s, PyExc_RuntimeError,
                      s->mode == StepMode::Send ? "cannot reuse already awaited __anext__()/asend()"
                                                : "cannot reuse already awaited aclose()/athrow()");
}

PySendResult step_busy(StepObject *s) {
    static const char *const messages[] = {
        "anext(): asynchronous generator is already running",
        "athrow(): asynchronous generator is already running",
        "aclose(): asynchronous generator is already running",
    };
    return step_error(s, PyExc_RuntimeError, messages[static_cast<int>(s->mode)]);
}

// Turns what the generator did into the step's own protocol: a yield is the step's result, the
// generator's end is StopAsyncIteration (or, for aclose(), success).
PySendResult step_finish(StepObject *s, Outcome o, PyObject *res, PyObject **out) {
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

PySendResult step_send(PyObject *self, PyObject *arg, PyObject **out) {
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

PySendResult step_throw_exc(StepObject *s, PyObject *exc, PyObject **out) {
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

PyObject *step_value(PySendResult r, PyObject *res) {
    if (r == PYGEN_NEXT) return res;
    if (r == PYGEN_RETURN) {
        awaitable::set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

PyObject *step_send_method(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    const PySendResult r = step_send(self, arg, &res);
    return step_value(r, res);
}

PyObject *step_iternext(PyObject *self) {
    PyObject *res = nullptr;
    const PySendResult r = step_send(self, Py_None, &res);
    return step_value(r, res);
}

PyObject *step_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Ref exc = awaitable::exception_from_throw_call("throw", args, nargs);
    if (!exc) return nullptr;
    PyObject *res = nullptr;
    const PySendResult r = step_throw_exc(as_step(self), exc.get(), &res);
    return step_value(r, res);
}

PyObject *step_close(PyObject *self, PyObject *) {
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

int step_traverse(PyObject *self, visitproc visit, void *arg) {
    StepObject *s = as_step(self);
    Py_VISIT(reinterpret_cast<PyObject *>(s->gen));
    Py_VISIT(s->arg);
    return 0;
}

int step_clear(PyObject *self) {
    StepObject *s = as_step(self);
    Py_CLEAR(s->gen);
    Py_CLEAR(s->arg);
    return 0;
}

void step_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    // A step dropped half-way (its awaiting task abandoned it) must not leave the generator
    // "already running" for good.
    StepObject *s = as_step(self);
    if (s->state == StepState::Iter && s->gen) s->gen->running_async = false;
    step_clear(self);
    PyObject_GC_Del(self);
}

PyMethodDef step_methods[] = {
    {"send", step_send_method, METH_O, nullptr},
    {"throw", fastcall(step_throw), METH_FASTCALL,
     nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods step_as_async = {PyObject_SelfIter, nullptr, nullptr, step_send};

int register_abc(const char *abc, PyTypeObject *type) {
    Ref cls = Ref::steal(PyImport_ImportModuleAttrString("collections.abc", abc));
    if (!cls) return -1;
    Ref r = Ref::steal(PyObject_CallMethod(cls.get(), "register", "O", type));
    return r ? 0 : -1;
}

void fill_frame_type(PyTypeObject &t, const char *name, const char *doc) {
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

}  // namespace

void *allocate_frame(Kind kind, std::size_t size) noexcept {
    PyTypeObject *type = kind == Kind::Coroutine ? &CoroType : &AsyncGenType;
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
    f->roots = nullptr;
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
    last_owner = f;
    return frame;
}

FrameObject *last_allocated() noexcept { return last_owner; }

}  // namespace coro_detail

int init_coroutines() {
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
