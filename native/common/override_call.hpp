// The common shape of a C-level entry point that honours overrides, written once.
//
//   PyObject *get_first(PyObject *self, PyObject *key) {
//       if (!Py_IS_TYPE(self, &HeadersType)) {
//           qm::Ref r;
//           switch (qm::run_override(site, &HeadersType, self, r, key)) {
//               case -1: return nullptr;
//               case 1: return qm::check_value(r.get(), &PyBytes_Type) ? r.release() : nullptr;
//           }
//       }
//       return get_first_impl(self, key);
//   }
//
// The exact-type test stays at the call site, so the common case is still one comparison.
#pragma once

#include <Python.h>

#include "override.hpp"
#include "ref.hpp"

namespace qm {

// For `self` not exactly of type `base`: 0 when the built-in body should run; 1 when the
// subclass's override was called and `result` holds what it returned; -1 with an error set.
template <class... Args>
inline int run_override(OverrideSite &site, PyTypeObject *base, PyObject *self, Ref &result,
                        Args... args) {
    const int o = is_overridden(site, self, base);
    if (o <= 0) return o;
    result = call_override(site, self, args...);
    return result ? 1 : -1;
}

}  // namespace qm
