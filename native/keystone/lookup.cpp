// The registry lookups: by the exception's class hierarchy, and for HTTP exceptions by status.
#include <Python.h>

#include "common/errors.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "keystone/application.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

OverrideSite site_get_http_exception_handler{"get_http_exception_handler"};

bool exception_or_none(PyObject *o) {
    return o == Py_None || PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject *>(PyExc_Exception));
}

// Calls `visit(cls)` for each class that get_class_instance_hierarchy (read from the module's
// globals) gives for `exception`, most specific first, until it answers 1 (stop) or -1 (error).
// A list or tuple is walked by index, holding each item; anything else is iterated.
template <class Visit>
int walk_hierarchy(PyObject *exception, Visit visit) {
    Ref hierarchy = Ref::steal(module_global(S.n_get_class_instance_hierarchy));
    if (!hierarchy) return -1;
    Ref classes = Ref::steal(PyObject_CallOneArg(hierarchy.get(), exception));
    if (!classes) return -1;
    PyObject *seq = classes.get();
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
            Ref cls = Ref::borrow(PyTuple_GET_ITEM(seq, i));
            if (const int r = visit(cls.get())) return r;
        }
        return 0;
    }
    if (PyList_CheckExact(seq)) {
        // The registry's lookups run arbitrary code, which may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            Ref cls = Ref::steal(PyList_GetItemRef(seq, i));
            if (!cls) return -1;
            if (const int r = visit(cls.get())) return r;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    while (Ref cls = Ref::steal(PyIter_Next(it.get()))) {
        if (const int r = visit(cls.get())) return r;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject *get_exception_handler(PyObject *self, PyObject *exception, PyObject *stop_at) {
    if (!exception_or_none(exception)) return expected_type(kExceptionName, exception);
    Ref handlers = Ref::borrow(as_app(self)->exceptions_handlers);
    Ref found;
    const int r = walk_hierarchy(exception, [&](PyObject *cls) -> int {
        if (stop_at != Py_None && cls == stop_at) return 1;
        const int has = PySequence_Contains(handlers.get(), cls);
        if (has <= 0) return has;
        found = Ref::steal(PyObject_GetItem(handlers.get(), cls));
        return found ? 1 : -1;
    });
    if (r < 0) return nullptr;
    return found ? found.release() : Py_NewRef(Py_None);
}

int is_handled_exception(PyObject *self, PyObject *exception) {
    if (!exception_or_none(exception)) return expected_type(kExceptionName, exception);
    Ref handlers = Ref::borrow(as_app(self)->exceptions_handlers);
    return walk_hierarchy(exception, [&](PyObject *cls) -> int {
        return PySequence_Contains(handlers.get(), cls);
    });
}

PyObject *get_http_exception_handler_impl(PyObject *self, PyObject *http_exception) {
    if (!check_http_exception(http_exception, "http_exception")) return nullptr;
    Ref handler = Ref::steal(get_exception_handler(
        self, http_exception, reinterpret_cast<PyObject *>(S.http_exception)));
    if (!handler) return nullptr;
    const int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) return nullptr;
    if (truth) return handler.release();
    Ref status = Ref::steal(status_of(http_exception));
    if (!status) return nullptr;
    Ref common = Ref::steal(module_global(S.n_common_http_exception_handler));
    if (!common) return nullptr;
    Ref handlers = Ref::borrow(as_app(self)->exceptions_handlers);
    return call_method(S.n_get, handlers.get(), status.get(), common.get());
}

PyObject *get_http_exception_handler(PyObject *self, PyObject *http_exception) {
    return dispatch_object(Py_IS_TYPE(self, &KeystoneType), site_get_http_exception_handler,
                           &KeystoneType, Returns{}, get_http_exception_handler_impl, self,
                           http_exception);
}

}  // namespace qm::keystone
