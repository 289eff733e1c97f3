// The KeystoneApplication type: its four fields, construction and the default registry.
#include "keystone/application.hpp"

#include <cstddef>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fields.hpp"
#include "common/init_args.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"
#include "keystone/entries.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {

PyTypeObject KeystoneType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

PyObject *app_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    KeystoneObject *app = as_app(self);
    app->show_error_details = 0;
    app->router = Py_NewRef(Py_None);
    app->logger = Py_NewRef(Py_None);
    app->exceptions_handlers = Py_NewRef(Py_None);
    app->_entry = Py_NewRef(Py_None);
    app->_unanswered = Py_NewRef(Py_None);
    app->vectorcall = call_asgi_entry;
    return self;
}

int app_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_app(self)->router);
    Py_VISIT(as_app(self)->logger);
    Py_VISIT(as_app(self)->exceptions_handlers);
    Py_VISIT(as_app(self)->_entry);
    Py_VISIT(as_app(self)->_unanswered);
    return 0;
}

int app_clear(PyObject *self) {
    set_field(as_app(self)->router, Py_None);
    set_field(as_app(self)->logger, Py_None);
    set_field(as_app(self)->exceptions_handlers, Py_None);
    set_field(as_app(self)->_entry, Py_None);
    set_field(as_app(self)->_unanswered, Py_None);
    return 0;
}

void app_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    KeystoneObject *app = as_app(self);
    Py_CLEAR(app->router);
    Py_CLEAR(app->logger);
    Py_CLEAR(app->exceptions_handlers);
    Py_CLEAR(app->_entry);
    Py_CLEAR(app->_unanswered);
    Py_TYPE(self)->tp_free(self);
}

// Each step stores as it goes: when the registry or the logger fails, what came before stays.
int app_init(PyObject *self, PyObject *args, PyObject *kwds) {
    static const char *const names[] = {"show_error_details", "router"};
    PyObject *a[2] = {};
    if (!parse_init_args("__init__", args, kwds, names, 2, a)) return -1;
    const int show = PyObject_IsTrue(a[0]);
    if (show < 0) return -1;
    KeystoneObject *app = as_app(self);
    set_field(app->router, a[1]);
    Ref handlers = Ref::steal(PyObject_CallMethodNoArgs(self, S.n_init_exceptions_handlers));
    if (!handlers) return -1;
    set_field(app->exceptions_handlers, std::move(handlers));
    app->show_error_details = show;
    Ref get_logger = Ref::steal(module_global(S.n_get_logger));
    if (!get_logger) return -1;
    Ref logger = Ref::steal(PyObject_CallNoArgs(get_logger.get()));
    if (!logger) return -1;
    set_field(app->logger, std::move(logger));
    return 0;
}

int add_default(PyObject *registry, PyObject *key, PyObject *handler_name) {
    Ref handler = Ref::steal(module_global(handler_name));
    if (!handler) return -1;
    return PyObject_SetItem(registry, key, handler.get());
}

// A fresh registry with the default entries, each handler read from the module's globals.
PyObject *init_exceptions_handlers(PyObject *, PyObject *const *, Py_ssize_t nargs,
                                   PyObject *kwnames) {
    if (!check_no_args("init_exceptions_handlers", nargs, kwnames)) return nullptr;
    Ref cls = Ref::steal(module_global(S.n_ExceptionHandlersDict));
    if (!cls) return nullptr;
    Ref registry = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!registry) return nullptr;
    PyObject *r = registry.get();
    if (add_default(r, S.int_404, S.n_handle_not_found) < 0 ||
        add_default(r, S.int_400, S.n_handle_bad_request) < 0 ||
        add_default(r, S.int_422, S.n_handle_unprocessable_entity) < 0 ||
        add_default(r, reinterpret_cast<PyObject *>(S.unprocessable_entity),
                    S.n_handle_unprocessable_entity) < 0)
        return nullptr;
    Ref validation_error = Ref::steal(module_global(S.n_ValidationError));
    if (!validation_error) return nullptr;
    if (validation_error.get() != Py_None &&
        add_default(r, validation_error.get(), S.n__default_pydantic_validation_error_handler) < 0)
        return nullptr;
    return registry.release();
}

// The Python-visible form: Python's own lookup has already chosen an override, if any.
PyObject *py_get_http_exception_handler(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                        PyObject *kwnames) {
    static const char *const names[] = {"http_exception"};
    PyObject *a[1] = {};
    if (!parse_args("get_http_exception_handler", args, nargs, kwnames, names, 1, a)) return nullptr;
    if (!check_http_exception(a[0], "http_exception")) return nullptr;
    return get_http_exception_handler_impl(self, a[0]);
}

PyObject *get_show_error_details(PyObject *self, void *) {
    return PyBool_FromLong(as_app(self)->show_error_details);
}

int set_show_error_details(PyObject *self, PyObject *value, void *) {
    if (!value) return delete_not_supported();
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    as_app(self)->show_error_details = truth;
    return 0;
}

PyObject *get_router(PyObject *self, void *) { return Py_NewRef(as_app(self)->router); }
PyObject *get_logger(PyObject *self, void *) { return Py_NewRef(as_app(self)->logger); }

const Field kExceptionsHandlers{offsetof(KeystoneObject, exceptions_handlers), FieldKind::Any,
                                nullptr};
const Field kEntry{offsetof(KeystoneObject, _entry), FieldKind::Any, nullptr};
const Field kUnanswered{offsetof(KeystoneObject, _unanswered), FieldKind::Any, nullptr};

// A class whose `__call__` is `asgi_entry` itself is called through the instance's vectorcall:
// Python's own slot for a class-level `__call__` would pack the arguments into a tuple, look the
// method up and bind it on every request. `__call__` stays what it is for everyone who reads it
// (servers ask whether it is a coroutine function), and a later assignment to it, here or in a
// subclass, takes the slot back as it always does.
PyObject *init_subclass(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Ref base = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                       reinterpret_cast<PyObject *>(&KeystoneType),
                                                       cls, nullptr));
    if (!base) return nullptr;
    Ref next = Ref::steal(PyObject_GetAttr(base.get(), S.n___init_subclass__));
    if (!next) return nullptr;
    Ref done = Ref::steal(PyObject_Vectorcall(next.get(), args, size_t(nargs), kwnames));
    if (!done) return nullptr;
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    if (is_asgi_entry(_PyType_Lookup(type, S.n___call__)) &&
        type->tp_vectorcall_offset == offsetof(KeystoneObject, vectorcall)) {
        type->tp_call = PyVectorcall_Call;
        type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
        PyType_Modified(type);
    }
    return done.release();
}

PyGetSetDef app_getset[] = {
    {"show_error_details", get_show_error_details, set_show_error_details,
     "Whether internal errors are answered by server_error_details_handler.", nullptr},
    {"router", get_router, nullptr, "The router: get_match(request) finds a request's route.",
     nullptr},
    {"logger", get_logger, nullptr, "The logger of the error dispatch.", nullptr},
    {"exceptions_handlers", field_get, field_set,
     "The registry: exception classes and status codes to handler coroutines.",
     const_cast<Field *>(&kExceptionsHandlers)},
    {"_entry", field_get, field_set,
     "What an HTTP exchange awaits with the request: the middleware pipeline's first step.",
     const_cast<Field *>(&kEntry)},
    {"_unanswered", field_get, field_set,
     "What _entry gives for a request that gets no response (its client left): the exchange "
     "then sends a best-effort 400.",
     const_cast<Field *>(&kUnanswered)},
    {nullptr},
};

PyMethodDef app_methods[] = {
    {"__init_subclass__", fastcall(init_subclass), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__init_subclass__($cls, /, **kwargs)\n--\n\nGives a class whose __call__ is asgi_entry a "
     "direct call slot."},
    {"init_exceptions_handlers", fastcall(init_exceptions_handlers), METH_FASTCALL | METH_KEYWORDS,
     "init_exceptions_handlers($self, /)\n--\n\nA new registry with the default handlers."},
    {"get_http_exception_handler", fastcall(py_get_http_exception_handler),
     METH_FASTCALL | METH_KEYWORDS,
     "get_http_exception_handler($self, http_exception)\n--\n\n"
     "The handler for an HTTP exception: by class below HTTPException, else by status, else "
     "common_http_exception_handler."},
    {nullptr},
};

}  // namespace

int ready_keystone_type(PyObject *module_name) {
    KeystoneType.tp_name = "quenmark.keystone.KeystoneApplication";
    KeystoneType.tp_basicsize = sizeof(KeystoneObject);
    KeystoneType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    KeystoneType.tp_doc =
        "KeystoneApplication(show_error_details, router)\n--\n\n"
        "The application core: routes a request to its handler and maps the handler's failures "
        "to responses through the registry in exceptions_handlers.";
    KeystoneType.tp_new = app_new;
    KeystoneType.tp_init = app_init;
    KeystoneType.tp_traverse = app_traverse;
    KeystoneType.tp_clear = app_clear;
    KeystoneType.tp_dealloc = app_dealloc;
    KeystoneType.tp_getset = app_getset;
    KeystoneType.tp_methods = app_methods;
    KeystoneType.tp_getattro = PyObject_GenericGetAttr;
    KeystoneType.tp_vectorcall_offset = offsetof(KeystoneObject, vectorcall);
    if (add_coroutine_methods(&KeystoneType, handle_methods(), module_name) < 0 ||
        add_coroutine_methods(&KeystoneType, dispatch_methods(), module_name) < 0 ||
        add_coroutine_methods(&KeystoneType, log_methods(), module_name) < 0)
        return -1;
    return PyType_Ready(&KeystoneType);
}

}  // namespace qm::keystone
