// `match_request(router, request)`: the application router's lookup in one native call. The
// request's method (text) becomes the bytes the trees are keyed by, its path is looked up through
// the router's `get_match` (a subclass's own included), and what that finds becomes a RouteMatch.
#include <cstring>
#include <string_view>

#include "common/args.hpp"
#include "common/ref.hpp"
#include "core/intern.h"
#include "routing/state.hpp"

namespace qm::routing {
namespace {

// The common methods: the core library's shared text (what requests carry) and the bytes.
struct KnownMethod {
    std::string_view text;
    PyObject *shared = nullptr;  // borrowed from the core library: lives as long as the process
    PyObject *bytes = nullptr;   // owned for the life of the process
};

KnownMethod known_methods[] = {{"GET"}, {"POST"}, {"PUT"}, {"DELETE"}, {"PATCH"}, {"HEAD"},
                               {"OPTIONS"}};
bool known_ready = false;

bool ready_known_methods() {
    for (KnownMethod &m : known_methods) {
        m.shared = get_interned_method_str(m.text.data(), m.text.size());
        m.bytes = PyBytes_FromStringAndSize(m.text.data(), Py_ssize_t(m.text.size()));
        if (!m.bytes) return false;
    }
    known_ready = true;
    return true;
}

// A request's method as the trees' key: text as Latin-1 bytes (characters beyond it replaced by
// "?"), anything else as it is (get_match refuses what is not bytes). New reference.
PyObject *method_key(PyObject *method) {
    if (!PyUnicode_Check(method)) return Py_NewRef(method);
    if (!known_ready && !ready_known_methods()) return nullptr;
    for (const KnownMethod &m : known_methods)
        if (method == m.shared) return Py_NewRef(m.bytes);
    if (PyUnicode_KIND(method) == PyUnicode_1BYTE_KIND) {
        const auto n = size_t(PyUnicode_GET_LENGTH(method));
        const void *data = PyUnicode_1BYTE_DATA(method);
        for (const KnownMethod &m : known_methods)
            if (m.text.size() == n && std::memcmp(m.text.data(), data, n) == 0)
                return Py_NewRef(m.bytes);
    }
    return PyUnicode_AsEncodedString(method, "latin-1", "replace");
}

PyObject *match_request(PyObject *router, PyObject *request) {
    Ref method = Ref::steal(PyObject_GetAttr(request, S.n_method));
    if (!method) return nullptr;
    Ref key = Ref::steal(method_key(method.get()));
    if (!key) return nullptr;
    Ref path = Ref::steal(PyObject_GetAttr(request, S.n__path));
    if (!path) return nullptr;
    // `router.get_match(key, path)`: a subclass's method is called as Python would call it.
    const bool builtin = Py_IS_TYPE(router, &CythonRadixRouterType);
    Ref found = Ref::steal(builtin ? router_get_match(router, key.get(), path.get())
                                  : PyObject_CallMethodObjArgs(router, S.n_get_match, key.get(),
                                                               path.get(), nullptr));
    if (!found || found.get() == Py_None) return found.release();
    if (PyTuple_CheckExact(found.get()) && PyTuple_GET_SIZE(found.get()) == 2)
        return new_route_match(PyTuple_GET_ITEM(found.get(), 0), PyTuple_GET_ITEM(found.get(), 1));
    // What an override gave instead: RouteMatch(*found), with its errors.
    Ref args = Ref::steal(PySequence_Tuple(found.get()));
    if (!args) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject *>(&RouteMatchType), args.get(), nullptr);
}

}  // namespace

PyObject *py_match_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"router", "request"};
    PyObject *values[] = {nullptr, nullptr};
    if (!parse_args("match_request", args, nargs, kwnames, names, 2, values)) return nullptr;
    return match_request(values[0], values[1]);
}

PyObject *py_match_request_or(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    static const char *const names[] = {"router", "miss", "request"};
    PyObject *values[] = {nullptr, nullptr, nullptr};
    if (!parse_args("match_request_or", args, nargs, kwnames, names, 3, values)) return nullptr;
    PyObject *found = match_request(values[0], values[2]);
    if (found != Py_None) return found;
    Py_DECREF(found);
    return PyObject_CallOneArg(values[1], values[2]);
}

}  // namespace qm::routing
