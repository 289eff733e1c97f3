// `match_request(router, request)`: the application router's lookup in one native call. The
// request's method (text) becomes the bytes the trees are keyed by, its path is looked up through
// the router's `get_match` (a subclass's own included), and what that finds becomes a RouteMatch.
#include <cstring>
#include <iterator>
#include <string_view>

#include "common/args.hpp"
#include "common/ref.hpp"
#include "core/intern.h"
#include "routing/state.hpp"

namespace qm::routing {
namespace {

// The common methods: their text, the core library's shared copy of it (what requests carry;
// borrowed, it lives as long as the process) and the bytes the module keeps in its state.
struct KnownMethod {
    std::string_view text;
    PyObject *State::*bytes;
};

constexpr KnownMethod kKnownMethods[] = {
    {"GET", &State::b_get},     {"POST", &State::b_post}, {"PUT", &State::b_put},
    {"DELETE", &State::b_delete}, {"PATCH", &State::b_patch}, {"HEAD", &State::b_head},
    {"OPTIONS", &State::b_options}};
constexpr size_t kKnown = std::size(kKnownMethods);
PyObject *shared_texts[kKnown] = {};

// A request's method as the trees' key: text as Latin-1 bytes (characters beyond it replaced by
// "?"), anything else as it is (get_match refuses what is not bytes). New reference.
PyObject *method_key(PyObject *method) {
    if (!PyUnicode_Check(method)) return Py_NewRef(method);
    if (!shared_texts[0])
        for (size_t i = 0; i < kKnown; ++i)
            shared_texts[i] = get_interned_method_str(kKnownMethods[i].text.data(),
                                                      kKnownMethods[i].text.size());
    for (size_t i = 0; i < kKnown; ++i)
        if (method == shared_texts[i]) return Py_NewRef(S.*kKnownMethods[i].bytes);
    if (PyUnicode_KIND(method) == PyUnicode_1BYTE_KIND) {
        const auto n = size_t(PyUnicode_GET_LENGTH(method));
        const void *data = PyUnicode_1BYTE_DATA(method);
        for (const KnownMethod &m : kKnownMethods)
            if (m.text.size() == n && std::memcmp(m.text.data(), data, n) == 0)
                return Py_NewRef(S.*m.bytes);
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
