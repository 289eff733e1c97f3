// The registry lookups: by the exception's class hierarchy, and for HTTP exceptions by status.
#include <Python.h>

#include <utility>

#include "common/errors.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "keystone/application.hpp"
#include "keystone/state.hpp"

namespace qm::keystone {
namespace {

OverrideSite site_get_http_exception_handler{"get_http_exception_handler"};

// The registry's lookups. A plain dict, or an ExceptionHandlersDict (whose mapping methods are
// UserDict's, reading its `data` dict), is read directly; anything else through its own `in`,
// subscription and `get`.
class Registry {
  public:
    explicit Registry(PyObject *handlers) : handlers_(Ref::borrow(handlers)) {}

    // -1 with an error set when the `data` of an ExceptionHandlersDict cannot be read.
    int open() {
        PyObject *h = handlers_.get();
        if (PyDict_CheckExact(h)) {
            dict_ = Ref::borrow(h);
        } else if (reinterpret_cast<PyObject *>(Py_TYPE(h)) == S.handlers_dict_class) {
            Ref data = Ref::steal(PyObject_GetAttr(h, S.n_data));
            if (!data) return -1;
            if (PyDict_CheckExact(data.get())) dict_ = std::move(data);
        }
        return 0;
    }

    int contains(PyObject *key) {
        if (dict_) return PyDict_Contains(dict_.get(), key);
        return PySequence_Contains(handlers_.get(), key);
    }

    Ref item(PyObject *key) {
        if (dict_) {
            PyObject *value = nullptr;
            if (PyDict_GetItemRef(dict_.get(), key, &value) == 0) PyErr_SetObject(PyExc_KeyError, key);
            return Ref::steal(value);
        }
        return Ref::steal(PyObject_GetItem(handlers_.get(), key));
    }

    Ref get(PyObject *key, PyObject *fallback) {
        if (dict_) {
            PyObject *value = nullptr;
            if (PyDict_GetItemRef(dict_.get(), key, &value) < 0) return {};
            return value ? Ref::steal(value) : Ref::borrow(fallback);
        }
        return Ref::steal(call_method(S.n_get, handlers_.get(), key, fallback));
    }

  private:
    Ref handlers_;
    Ref dict_;  // the dict to read directly, if any
};

// Calls `visit(cls)` for each class that get_class_instance_hierarchy (read from the module's
// globals) gives for `exception`, most specific first, until it answers 1 (stop) or -1 (error).
// A list or tuple is walked by index, holding each item; anything else is iterated. While the
// global is the package's own function, its answer (the MRO of the exception's type) is read
// without calling it.
template <class Visit>
int walk_hierarchy(PyObject *exception, Visit visit) {
    Ref hierarchy = Ref::steal(module_global(S.n_get_class_instance_hierarchy));
    if (!hierarchy) return -1;
    Ref classes = hierarchy.get() == S.class_hierarchy && Py_TYPE(exception)->tp_mro
                      ? Ref::borrow(Py_TYPE(exception)->tp_mro)
                      : Ref::steal(PyObject_CallOneArg(hierarchy.get(), exception));
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

// The handler of the first class of the exception's hierarchy that the registry has, stopping
// at `stop_at` (unless None); null with nothing set when there is none, or with an error set.
Ref find_handler(Registry &registry, PyObject *exception, PyObject *stop_at, bool &failed) {
    Ref found;
    failed = walk_hierarchy(exception, [&](PyObject *cls) -> int {
                 if (stop_at != Py_None && cls == stop_at) return 1;
                 const int has = registry.contains(cls);
                 if (has <= 0) return has;
                 found = registry.item(cls);
                 return found ? 1 : -1;
             }) < 0;
    return found;
}

}  // namespace

PyObject *get_exception_handler(PyObject *self, PyObject *exception, PyObject *stop_at) {
    if (!is_exception_or_none(exception)) return expected_type(kExceptionName, exception);
    Registry registry(as_app(self)->exceptions_handlers);
    if (registry.open() < 0) return nullptr;
    bool failed = false;
    Ref found = find_handler(registry, exception, stop_at, failed);
    if (failed) return nullptr;
    return found ? found.release() : Py_NewRef(Py_None);
}

int is_handled_exception(PyObject *self, PyObject *exception) {
    if (!is_exception_or_none(exception)) return expected_type(kExceptionName, exception);
    Registry registry(as_app(self)->exceptions_handlers);
    if (registry.open() < 0) return -1;
    return walk_hierarchy(exception, [&](PyObject *cls) { return registry.contains(cls); });
}

// The class hierarchy's handler up to HTTPException, else the one registered for the status,
// else common_http_exception_handler; one reading of the registry serves both lookups.
PyObject *get_http_exception_handler_impl(PyObject *self, PyObject *http_exception) {
    if (!check_http_exception(http_exception, "http_exception")) return nullptr;
    Registry registry(as_app(self)->exceptions_handlers);
    if (registry.open() < 0) return nullptr;
    bool failed = false;
    Ref handler = find_handler(registry, http_exception,
                               reinterpret_cast<PyObject *>(S.http_exception), failed);
    if (failed) return nullptr;
    if (handler) {
        const int truth = PyObject_IsTrue(handler.get());
        if (truth < 0) return nullptr;
        if (truth) return handler.release();
    }
    Ref status = Ref::steal(status_of(http_exception));
    if (!status) return nullptr;
    Ref common = Ref::steal(module_global(S.n_common_http_exception_handler));
    if (!common) return nullptr;
    return registry.get(status.get(), common.get()).release();
}

PyObject *get_http_exception_handler(PyObject *self, PyObject *http_exception) {
    return dispatch_object(Py_IS_TYPE(self, &KeystoneType), site_get_http_exception_handler,
                           &KeystoneType, Returns{}, get_http_exception_handler_impl, self,
                           http_exception);
}

}  // namespace qm::keystone
