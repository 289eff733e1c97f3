// quenmark.keystone: KeystoneApplication, the exception-handler registry, the default error
// handlers and get_logger, and the C-level table other modules call the application by.
#include <Python.h>

#include "common/capi.hpp"
#include "common/coro.hpp"
#include "common/ref.hpp"
#include "keystone/application.hpp"
#include "keystone/coroutine_function.hpp"
#include "keystone/default_handlers.hpp"
#include "keystone/entries.hpp"
#include "keystone/handlers_dict.hpp"
#include "keystone/handling.hpp"
#include "keystone/keystone_api.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

// The framework's logger, set to INFO on every call.
PyObject *py_get_logger(PyObject *, PyObject *) {
    Ref logger = Ref::steal(PyObject_CallOneArg(S.get_logger_by_name, S.logger_name));
    if (!logger) return nullptr;
    Ref done = Ref::steal(call_method(S.n_setLevel, logger.get(), S.info_level));
    if (!done) return nullptr;
    return logger.release();
}

PyMethodDef kFunctions[] = {
    {"get_logger", py_get_logger, METH_NOARGS,
     "get_logger()\n--\n\nThe logger \"quenmark.server\", set to level INFO."},
    {nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModule,
    .m_doc = "The application core: request handling, the exception-handler registry and the "
             "default error handlers.",
    .m_size = -1,
    .m_methods = kFunctions,
};

const CApi kApi = {
    .header = capi_header<CApi>(kTableName, kTableVersion),
    .keystone_type = &KeystoneType,
    .get_http_exception_handler = get_http_exception_handler,
    .get_exception_handler = get_exception_handler,
    .is_handled_exception = is_handled_exception,
};

int add_object(PyObject *module, const char *name, PyObject *object) {
    return PyModule_AddObjectRef(module, name, object);
}

PyObject *init_module() {
    Ref module = Ref::steal(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(kModule));
    if (!name) return nullptr;
    if (init_state(PyModule_GetDict(module.get())) < 0 || init_coroutines() < 0 ||
        ready_coroutine_function_type() < 0 || ready_handling_type() < 0)
        return nullptr;

    Ref registry = Ref::steal(new_handlers_dict_class(name.get()));
    if (!registry || add_object(module.get(), "ExceptionHandlersDict", registry.get()) < 0)
        return nullptr;
    for (std::span<const CoroutineFunctionDef> defs : {default_handlers(), entries()}) {
        for (const CoroutineFunctionDef &def : defs) {
            Ref function = Ref::steal(new_coroutine_function(&def, name.get()));
            if (!function || add_object(module.get(), def.name, function.get()) < 0) return nullptr;
        }
    }
    if (ready_keystone_type(name.get()) < 0 ||
        add_object(module.get(), "KeystoneApplication", reinterpret_cast<PyObject *>(&KeystoneType)) < 0)
        return nullptr;
    if (publish_capi(module.get(), kCapsule, const_cast<CApi *>(&kApi)) < 0) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace qm::keystone

PyMODINIT_FUNC PyInit_keystone() { return qm::keystone::init_module(); }
