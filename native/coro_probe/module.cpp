// quenmark._coro_probe: the smallest native coroutines and asynchronous generator, for the tests
// of the shared coroutine runtime (common/coro.hpp) apart from any module that uses it.
#include <Python.h>

#include "common/args.hpp"
#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"

namespace qm::coro_probe {
namespace {

// Awaits `awaitable` and returns its result.
Coro relay_body(Ref awaitable) {
    Ref result = co_await await_(std::move(awaitable));
    if (!result) co_return Raised{};
    co_return result;
}

PyObject *relay(PyObject *, PyObject *awaitable) {
    return relay_body(Ref::borrow(awaitable)).release("relay");
}

// Six parameters, as many as the collector is shown: awaits `f`, then returns (a, b, c, d, e).
Coro six_body(Ref a, Ref b, Ref c, Ref d, Ref e, Ref f) {
    Ref awaited = co_await await_(f.get());
    if (!awaited) co_return Raised{};
    co_return Ref::steal(PyTuple_Pack(5, a.get(), b.get(), c.get(), d.get(), e.get()));
}

PyObject *six(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("six", nargs, 6)) return nullptr;
    auto arg = [&](int i) { return Ref::borrow(args[i]); };
    return six_body(arg(0), arg(1), arg(2), arg(3), arg(4), arg(5)).release("six");
}

// Yields each item of `items` (a list), appending to `sent` what each yield receives; awaits
// `pause` before each item.
AsyncGen echo_body(Ref items, Ref sent, Ref pause) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref paused = co_await await_(Ref::steal(PyObject_CallNoArgs(pause.get())));
        if (!paused) co_return Raised{};
        Ref received = co_yield Ref::borrow(PyList_GET_ITEM(items.get(), i));
        if (!received || PyList_Append(sent.get(), received.get()) < 0) co_return Raised{};
    }
    co_return done;
}

PyObject *echo(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("echo", nargs, 3)) return nullptr;
    for (Py_ssize_t i = 0; i < 2; ++i)
        if (!PyList_CheckExact(args[i])) return expected_type("list", args[i]);
    return echo_body(Ref::borrow(args[0]), Ref::borrow(args[1]), Ref::borrow(args[2]))
        .release("echo");
}

PyMethodDef functions[] = {
    {"relay", relay, METH_O, "relay(awaitable): a native coroutine returning what it awaited."},
    {"six", fastcall(six), METH_FASTCALL,
     "six(a, b, c, d, e, awaitable): awaits the last, then returns the first five."},
    {"echo", fastcall(echo), METH_FASTCALL,
     "echo(items, sent, pause): a native async generator over `items`."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark._coro_probe",
    .m_doc = PyDoc_STR("Native coroutines for the tests of the coroutine runtime."),
    .m_size = -1,
    .m_methods = functions,
};

}  // namespace
}  // namespace qm::coro_probe

PyMODINIT_FUNC PyInit__coro_probe() {
    if (qm::init_coroutines() < 0) return nullptr;
    return PyModule_Create(&qm::coro_probe::module_def);
}
