// `match_request(router, request)`: the application router's lookup in one native call. The
// request's method (text) becomes the bytes the trees are keyed by, its path is looked up through
// the router's `get_match` (a subclass's own included), and what that finds becomes a RouteMatch.
// The request router of request_router.cpp is built on it.
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

// The request's method and path: an exact Request's fields, read directly (what its attributes
// give), or any other object's attributes. 0, or -1 with an error set.
int request_target(PyObject *request, Ref &method, Ref &path) {
    if (!S.messages && !(S.messages = messages::import())) return -1;
    if (Py_IS_TYPE(request, S.messages->request_type)) {
        const auto *fields = reinterpret_cast<messages::RequestObject *>(request);
        method = Ref::borrow(fields->method ? fields->method : Py_None);
        path = Ref::borrow(fields->_path ? fields->_path : Py_None);
        return 0;
    }
    method = Ref::steal(PyObject_GetAttr(request, S.n_method));
    if (!method) return -1;
    path = Ref::steal(PyObject_GetAttr(request, S.n__path));
    return path ? 0 : -1;
}

}  // namespace

PyObject *match_request(PyObject *router, PyObject *request) {
    Ref method, path;
    if (request_target(request, method, path) < 0) return nullptr;
    Ref key = Ref::steal(method_key(method.get()));
    if (!key) return nullptr;
    Found found;
    int status;
    if (Py_IS_TYPE(router, &CythonRadixRouterType)) {
        status = router_find(router, key.get(), path.get(), found);
    } else {
        // `router.get_match(key, path)`: a subclass's method is called as Python would call it.
        found.answer = Ref::steal(PyObject_CallMethodObjArgs(router, S.n_get_match, key.get(),
                                                             path.get(), nullptr));
        status = !found.answer ? -1 : found.answer.get() != Py_None;
    }
    if (status <= 0) return status < 0 ? nullptr : Py_NewRef(Py_None);
    return found_route_match(found);
}

PyObject *py_match_request(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"router", "request"};
    PyObject *values[] = {nullptr, nullptr};
    if (!parse_args("match_request", args, nargs, kwnames, names, 2, values)) return nullptr;
    return match_request(values[0], values[1]);
}

}  // namespace qm::routing
