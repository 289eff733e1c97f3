// The server's entry points, as an application class takes them on (`__call__ = asgi_entry`,
// `__rsgi__ = rsgi_entry`): coroutine functions that are methods when they are class attributes.
// An HTTP exchange goes straight to quenmark.scribe's serve_asgi / serve_rsgi with the
// application's `_entry` and `_unanswered`, with no Python frame between the server and the
// exchange; any other ASGI scope goes to the application's `_serve_other_scope(scope, receive,
// send)` (the lifespan protocol).
#include "keystone/entries.hpp"

#include <cstring>
#include <vector>

#include "common/args.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "common/remembered_key.hpp"
#include "keystone/application.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

OverrideSite site_entry{"_entry"};
OverrideSite site_unanswered{"_unanswered"};

// A server's "http" is often a str of its own making rather than the interned one.
bool is_http(PyObject *kind) {
    return kind == S.n_http ||
           (PyUnicode_Check(kind) && PyUnicode_IS_ASCII(kind) && PyUnicode_GET_LENGTH(kind) == 4 &&
            std::memcmp(PyUnicode_DATA(kind), "http", 4) == 0);
}

// `app.<field>` for `_entry` and `_unanswered`: the application's field, unless a class puts
// something else in its place.
Ref app_field(PyObject *app, OverrideSite &site, PyObject *KeystoneObject::*field, PyObject *name) {
    if (PyObject_TypeCheck(app, &KeystoneType)) {
        const int overridden = type_overrides(site, Py_TYPE(app), &KeystoneType);
        if (overridden < 0) return {};
        if (!overridden) return Ref::borrow(as_app(app)->*field);
    }
    return Ref::steal(PyObject_GetAttr(app, name));
}

// The application whose built-in `handle` the entry is, bound: the exchange then awaits the
// handler itself rather than a coroutine of `handle` around it. Borrowed; null for any other
// entry (middleware, an override of handle, the first request's start).
PyObject *handling_app(PyObject *entry) {
    if (!PyMethod_Check(entry) || !is_builtin_handle(PyMethod_GET_FUNCTION(entry))) return nullptr;
    PyObject *app = PyMethod_GET_SELF(entry);
    return PyObject_TypeCheck(app, &KeystoneType) ? app : nullptr;
}

PyObject *serve(PyObject *serve, PyObject *app, PyObject *const *rest, Py_ssize_t n) {
    Ref entry = app_field(app, site_entry, &KeystoneObject::_entry, S.n__entry);
    if (!entry) return nullptr;
    Ref unanswered = app_field(app, site_unanswered, &KeystoneObject::_unanswered, S.n__unanswered);
    if (!unanswered) return nullptr;
    if (PyObject *handler = handling_app(entry.get())) {
        if (n == 3)
            return S.scribe->serve_asgi_with(&kHandleAnswerer, handler, rest[0], rest[1], rest[2],
                                             unanswered.get());
        return S.scribe->serve_rsgi_with(&kHandleAnswerer, handler, rest[0], rest[1],
                                         unanswered.get());
    }
    PyObject *args[5] = {entry.get()};
    for (Py_ssize_t i = 0; i < n; ++i) args[i + 1] = rest[i];
    args[n + 1] = unanswered.get();
    return PyObject_Vectorcall(serve, args, size_t(n + 2), nullptr);
}

RememberedKey k_type{S.n_type};  // the scope's "type" (common/remembered_key.hpp)

PyObject *asgi_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"app", "scope", "receive", "send"};
    PyObject *a[4] = {};
    if (!parse_args("asgi_entry", args, nargs, kwnames, names, 4, a)) return nullptr;
    Ref kind = Ref::steal(get_item(a[1], k_type));
    if (!kind) return nullptr;
    if (is_http(kind.get())) return serve(S.serve_asgi, a[0], a + 1, 3);
    PyObject *call[] = {a[0], a[1], a[2], a[3]};
    return PyObject_VectorcallMethod(S.n__serve_other_scope, call,
                                     4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject *rsgi_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"app", "scope", "protocol"};
    PyObject *a[3] = {};
    if (!parse_args("rsgi_entry", args, nargs, kwnames, names, 3, a)) return nullptr;
    Ref proto = Ref::steal(PyObject_GetAttr(a[1], S.n_proto));
    if (!proto) return nullptr;
    if (!is_http(proto.get())) {
        PyErr_Format(PyExc_RuntimeError, "unsupported RSGI protocol %R", proto.get());
        return nullptr;
    }
    return serve(S.serve_rsgi, a[0], a + 1, 2);
}

const CoroutineFunctionDef kEntries[] = {
    {"asgi_entry", "asgi_entry", "(app, scope, receive, send)",
     "The ASGI application: an HTTP scope is served by serve_asgi with app._entry, anything "
     "else by app._serve_other_scope(scope, receive, send).",
     asgi_entry},
    {"rsgi_entry", "rsgi_entry", "(app, scope, protocol)",
     "The RSGI application: an HTTP scope is served by serve_rsgi with app._entry.", rsgi_entry},
};

}  // namespace

std::span<const CoroutineFunctionDef> entries() { return kEntries; }

bool is_asgi_entry(PyObject *o) { return o && coroutine_function_def(o) == &kEntries[0]; }

PyObject *call_asgi_entry(PyObject *app, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 3 && !kwnames) {
        PyObject *call[] = {app, args[0], args[1], args[2]};
        return asgi_entry(nullptr, call, 4, nullptr);
    }
    // Anything else is parsed (and refused) as the method call would be.
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject *> call{app};
    call.insert(call.end(), args, args + total);
    return asgi_entry(nullptr, call.data(), nargs + 1, kwnames);
}

}  // namespace qm::keystone
