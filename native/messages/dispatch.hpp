// The override check of the messages' native operations, in three shapes by result kind. The
// built-in types skip it with three pointer comparisons; a Python subclass's instance asks the
// site (cached per type version) and, when it overrides the method, calls the override.
#pragma once

#include <Python.h>

#include "common/errors.hpp"
#include "common/override.hpp"
#include "common/ref.hpp"
#include "messages/message.hpp"

namespace qm::messages {

// Object result; `result` (may be null) is the built-in type the override must return, or None.
template <class Impl, class... Args>
inline PyObject *dispatch_object(OverrideSite &site, PyTypeObject *base, PyTypeObject *result,
                                 Impl impl, PyObject *self, Args... args) {
    if (!is_builtin_message(self)) {
        int o = is_overridden(site, self, base);
        if (o < 0) return nullptr;
        if (o) {
            Ref r = call_override(site, self, args...);
            if (!r) return nullptr;
            if (result && !check_value(r.get(), result)) return nullptr;
            return r.release();
        }
    }
    return impl(self, args...);
}

// Truth-value result: an override's result is tested for truth.
template <class Impl, class... Args>
inline int dispatch_bool(OverrideSite &site, PyTypeObject *base, Impl impl, PyObject *self,
                         Args... args) {
    if (!is_builtin_message(self)) {
        int o = is_overridden(site, self, base);
        if (o < 0) return -1;
        if (o) {
            Ref r = call_override(site, self, args...);
            if (!r) return -1;
            return PyObject_IsTrue(r.get());
        }
    }
    return impl(self, args...);
}

// No result: an override's result is dropped.
template <class Impl, class... Args>
inline int dispatch_void(OverrideSite &site, PyTypeObject *base, Impl impl, PyObject *self,
                         Args... args) {
    if (!is_builtin_message(self)) {
        int o = is_overridden(site, self, base);
        if (o < 0) return -1;
        if (o) return call_override(site, self, args...) ? 0 : -1;
    }
    return impl(self, args...);
}

}  // namespace qm::messages
