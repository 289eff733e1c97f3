// The module `quenmark.routing`: its constants, `_fast_unquote`, the four types and the C-level
// table.
#include "common/args.hpp"
#include "common/capi.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "routing/key_index.hpp"
#include "routing/state.hpp"
#include "routing/unquote.hpp"

namespace qm::routing {

QM_STATE_DEFINE(QM_ROUTING_STATE)

PyObject *compile_pattern(const char *pattern) {
    Ref compile = Ref::steal(state::attr("re", "compile"));
    Ref source = Ref::steal(state::bytes(pattern));
    if (!compile || !source) return nullptr;
    return PyObject_CallOneArg(compile.get(), source.get());
}

PyObject *uncached_param_key(Py_ssize_t index) { return PyUnicode_FromFormat("_p_%zd", index); }

PyObject *module_global(PyObject *name) { return state::global(S.globals, name); }

namespace {

PyObject *py_fast_unquote(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"val"};
    PyObject *values[] = {nullptr};
    if (!parse_args("_fast_unquote", args, nargs, kwnames, names, 1, values)) return nullptr;
    return fast_unquote(values[0]);
}

PyObject *py_param_names(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"pattern"};
    PyObject *values[] = {nullptr};
    if (!parse_args("_param_names", args, nargs, kwnames, names, 1, values)) return nullptr;
    return pattern_param_names(values[0]);
}

PyObject *py_read_pattern(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"pattern"};
    PyObject *values[] = {nullptr};
    if (!parse_args("_read_pattern", args, nargs, kwnames, names, 1, values)) return nullptr;
    return pattern_segments(values[0]);
}

PyMethodDef module_methods[] = {
    {"_fast_unquote", fastcall(py_fast_unquote),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_fast_unquote(val)\n--\n\n"
               "Decodes bytes as UTF-8 (errors replaced) and percent-decodes the text.")},
    {"match_request", fastcall(py_match_request), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("match_request(router, request)\n--\n\n"
               "The RouteMatch for the request's method (text as Latin-1 bytes) and path from "
               "`router.get_match`, or None.")},
    {"_param_names", fastcall(py_param_names), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_param_names(pattern)\n--\n\n"
               "The names of the pattern's one-segment parameters, as the tree reads them.")},
    {"_read_pattern", fastcall(py_read_pattern), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_read_pattern(pattern)\n--\n\n"
               "The pattern's segments as registration reads them: (kind, text, name, type) each.")},
    {nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark.routing",
    .m_doc = PyDoc_STR("Radix-tree routing with typed path parameters."),
    .m_size = -1,
    .m_methods = module_methods,
};

int init_state() {
    if (create_state() < 0) return -1;
    for (Py_ssize_t i = 0; i < kCachedParamKeys; ++i) {
        if (S.param_keys[i]) continue;
        S.param_keys[i] = PyUnicode_FromFormat("_p_%zd", i);
        if (!S.param_keys[i]) return -1;
        PyUnicode_InternInPlace(&S.param_keys[i]);
    }
    return 0;
}

const CApi capi = {
    .header = capi_header<CApi>(kTableName, kTableVersion),
    .radix_node_type = &RadixNodeType,
    .radix_tree_type = &RadixTreeType,
    .router_type = &CythonRadixRouterType,
    .route_match_type = &RouteMatchType,
    .radix_tree = {tree_insert, tree_parse_param_segment, tree_match, tree_match_recursive},
    .router = {router_add_route, router_get_match, router_freeze},
    .fast_unquote = fast_unquote,
    .request_router_type = &RequestRouterType,
    .request_router = {request_router_get_match},
};

PyObject *create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (init_state() < 0 || init_key_index() < 0) return nullptr;
    S.globals = Py_NewRef(PyModule_GetDict(module.get()));

    if (PyObject_SetAttr(module.get(), S.n__INT_RX, S.int_rx) < 0 ||
        PyObject_SetAttr(module.get(), S.n__FLOAT_RX, S.float_rx) < 0 ||
        PyObject_SetAttr(module.get(), S.n__UUID_RX, S.uuid_rx) < 0 ||
        PyObject_SetAttr(module.get(), S.n_unquote, S.unquote) < 0)
        return nullptr;

    if (add_node_type(module.get()) < 0 || add_tree_type(module.get()) < 0 ||
        add_router_type(module.get()) < 0 || add_route_match_type(module.get()) < 0 ||
        add_request_router_type(module.get()) < 0)
        return nullptr;
    if (publish_capi(module.get(), kCapsule, const_cast<CApi *>(&capi)) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace qm::routing

PyMODINIT_FUNC PyInit_routing() { return qm::routing::create_module(); }
