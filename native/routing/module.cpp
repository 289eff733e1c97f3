// The module `quenmark.routing`: its constants, `_fast_unquote`, the four types and the C-level
// table.
#include "common/args.hpp"
#include "common/capi.hpp"
#include "common/ref.hpp"
#include "routing/child_index.hpp"
#include "routing/state.hpp"
#include "routing/unquote.hpp"

namespace qm::routing {

State S;

PyObject *param_key(Py_ssize_t index) {
    if (index >= 0 && index < kCachedParamKeys) return Py_NewRef(S.param_keys[index]);
    return PyUnicode_FromFormat("_p_%zd", index);
}

PyObject *module_global(PyObject *name) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(S.globals, name, &value) < 0) return nullptr;
    if (!value) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

namespace {

PyObject *py_fast_unquote(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"val"};
    PyObject *values[] = {nullptr};
    if (!parse_args("_fast_unquote", args, nargs, kwnames, names, 1, values)) return nullptr;
    return fast_unquote(values[0]);
}

PyMethodDef module_methods[] = {
    {"_fast_unquote", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_fast_unquote)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("_fast_unquote(val)\n--\n\n"
               "Decodes bytes as UTF-8 (errors replaced) and percent-decodes the text.")},
    {nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark.routing",
    .m_doc = PyDoc_STR("Radix-tree routing with typed path parameters."),
    .m_size = -1,
    .m_methods = module_methods,
};

int intern(PyObject *&slot, const char *text) {
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

int bytes_constant(PyObject *&slot, const char *text, Py_ssize_t n) {
    slot = PyBytes_FromStringAndSize(text, n);
    return slot ? 0 : -1;
}

int init_state() {
    if (intern(S.name_int_rx, "_INT_RX") < 0 || intern(S.name_float_rx, "_FLOAT_RX") < 0 ||
        intern(S.name_uuid_rx, "_UUID_RX") < 0 || intern(S.name_unquote, "unquote") < 0 ||
        intern(S.name_param_names, "param_names") < 0 || intern(S.name_handler, "handler") < 0 ||
        intern(S.name_pattern, "pattern") < 0 || intern(S.name_match, "match") < 0 ||
        intern(S.name_decode, "decode") < 0 || intern(S.str_tail, "tail") < 0 ||
        intern(S.str_path, "path") < 0 || intern(S.str_utf8, "utf8") < 0 ||
        intern(S.str_empty, "") < 0)
        return -1;
    if (bytes_constant(S.bytes_slash, "/", 1) < 0 || bytes_constant(S.bytes_empty, "", 0) < 0 ||
        bytes_constant(S.bytes_star, "*", 1) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < kCachedParamKeys; ++i) {
        S.param_keys[i] = PyUnicode_FromFormat("_p_%zd", i);
        if (!S.param_keys[i]) return -1;
        PyUnicode_InternInPlace(&S.param_keys[i]);
    }
    return 0;
}

// Compiles one of the three patterns and binds it as a module constant.
int add_pattern(PyObject *module, PyObject *compile, PyObject *name, const char *pattern,
                PyObject *&slot) {
    Ref source = Ref::steal(PyBytes_FromString(pattern));
    if (!source) return -1;
    slot = PyObject_CallOneArg(compile, source.get());
    if (!slot) return -1;
    return PyObject_SetAttr(module, name, slot);
}

const CApi capi = {
    .header = {kSignature},
    .radix_node_type = &RadixNodeType,
    .radix_tree_type = &RadixTreeType,
    .router_type = &CythonRadixRouterType,
    .route_match_type = &RouteMatchType,
    .radix_tree = {tree_insert, tree_parse_param_segment, tree_match, tree_match_recursive},
    .router = {router_add_route, router_get_match, router_freeze},
    .fast_unquote = fast_unquote,
};

PyObject *create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (init_state() < 0 || init_child_index() < 0) return nullptr;
    S.globals = Py_NewRef(PyModule_GetDict(module.get()));

    Ref compile = Ref::steal(PyImport_ImportModuleAttrString("re", "compile"));
    if (!compile) return nullptr;
    if (add_pattern(module.get(), compile.get(), S.name_int_rx, "^\\d+$", S.int_rx) < 0 ||
        add_pattern(module.get(), compile.get(), S.name_float_rx, "^\\d+(?:\\.\\d+)?$",
                    S.float_rx) < 0 ||
        add_pattern(module.get(), compile.get(), S.name_uuid_rx,
                    "^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$",
                    S.uuid_rx) < 0)
        return nullptr;
    S.unquote = PyImport_ImportModuleAttrString("urllib.parse", "unquote");
    if (!S.unquote || PyObject_SetAttr(module.get(), S.name_unquote, S.unquote) < 0) return nullptr;

    if (add_node_type(module.get()) < 0 || add_tree_type(module.get()) < 0 ||
        add_router_type(module.get()) < 0 || add_route_match_type(module.get()) < 0)
        return nullptr;
    if (publish_capi(module.get(), kCapsule, const_cast<CApi *>(&capi)) < 0) return nullptr;
    return module.release();
}

}  // namespace

}  // namespace qm::routing

PyMODINIT_FUNC PyInit_routing() { return qm::routing::create_module(); }
