// A count of the changes made to the dicts a module watches, for caches of what was read from
// them. A cache keeps the count it was filled at and is good while the count has not moved:
// every change to a watched dict (a key set or deleted, the dict cleared, cloned into or freed)
// moves it, from Python or C alike, so a cache never serves what the dicts no longer say.
//
//     using Changes = qm::DictChanges<struct PoolsTag>;   // one per cache owner: a tag type
//     Changes::init();                                     // at import
//     if (Changes::watch(dict) < 0) ...                    // before reading what is cached
//     if (entry.count == Changes::count()) ...             // still good
//
// CPython has a few watcher slots per interpreter (six for extensions). Without one, `available`
// is false and the caller reads the dicts each time.
#pragma once

#include <Python.h>

#include <cstdint>

namespace qm {

template <class Tag>
class DictChanges {
public:
    // Registers the watcher; never fails (without a slot, nothing is watched).
    static void init() noexcept {
#ifndef Py_GIL_DISABLED
        if (id_ >= 0) return;
        id_ = PyDict_AddWatcher(on_event);
        if (id_ < 0) PyErr_Clear();
#endif
    }
    static bool available() noexcept { return id_ >= 0; }
    // Watches `dict` from now on (again is harmless); -1 with an error set.
    static int watch(PyObject *dict) noexcept { return PyDict_Watch(id_, dict); }
    // Never 0, so a zeroed cache entry is never good.
    static uint64_t count() noexcept { return count_; }

private:
    static int on_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
        ++count_;
        return 0;
    }
    static inline int id_ = -1;
    static inline uint64_t count_ = 1;
};

}  // namespace qm
