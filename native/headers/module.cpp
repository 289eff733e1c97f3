// Module `quenmark.headers`: the two types and the C-level table other modules bind.
#include "common/capi.hpp"
#include "headers/internal.hpp"

namespace qm::headers {

QM_STATE_DEFINE(QM_HEADERS_STATE)

namespace {

// The table's helpers, for callers in other modules, which may hand over anything.
PyObject *capi_simd_lower_bytes(PyObject *name) {
    if (!check_value(name, &PyBytes_Type)) return nullptr;
    return simd_lower_bytes(name);
}

PyObject *capi_intern_header_name_bytes(PyObject *name) {
    if (!check_value(name, &PyBytes_Type)) return nullptr;
    return intern_header_name_bytes(name);
}

CApi capi = {
    .header = capi_header<CApi>(kTableName, kTableVersion),
    .header_type = &HeaderType,
    .headers_type = &HeadersType,
    .keys = keys,
    .clone = clone,
    .get = get,
    .get_tuples = get_tuples,
    .add = add,
    .set = set,
    .get_single = get_single,
    .get_first = get_first,
    .remove = remove,
    .merge = merge,
    .contains = contains,
    .intern_header_name_bytes = capi_intern_header_name_bytes,
    .simd_lower_bytes = capi_simd_lower_bytes,
    .new_headers = new_headers,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModule,
    .m_doc = PyDoc_STR("Header and Headers: HTTP header fields as byte-string pairs."),
    .m_size = -1,
};

}  // namespace

}  // namespace qm::headers

PyMODINIT_FUNC PyInit_headers() {
    using namespace qm::headers;
    if (create_state() < 0 || ready_header_type() < 0 || ready_headers_type() < 0) return nullptr;
    qm::Ref module = qm::Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (PyModule_AddType(module.get(), &HeaderType) < 0 ||
        PyModule_AddType(module.get(), &HeadersType) < 0 ||
        qm::publish_capi(module.get(), kCapsule, &capi) < 0)
        return nullptr;
    return module.release();
}
