// The one owned-reference type of the compiled core.
//
// Rules: a `Ref` owns exactly one reference. `Ref::steal(p)` adopts a new reference (the result
// of a CPython call that returns one); `Ref::borrow(p)` takes a reference of its own to a
// borrowed pointer. A plain `PyObject *` is always a borrowed reference; a function that returns
// a new reference to C callers returns `PyObject *` obtained from `Ref::release()` and says so.
#pragma once

#include <Python.h>

#include <utility>

namespace qm {

class Ref {
  public:
    constexpr Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Adopts a new reference (may be null, e.g. a failed call).
    [[nodiscard]] static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Takes a reference of its own to a borrowed pointer (may be null).
    [[nodiscard]] static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // A new reference to None.
    [[nodiscard]] static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference to the caller, who now owns it.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject *stolen = nullptr) noexcept {
        PyObject *old = std::exchange(p_, stolen);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// Replaces the reference held in a struct field, releasing the old one only after the new one
// is stored (the old object's destructor may run arbitrary code that reads the field).
inline void set_field(PyObject *&field, PyObject *borrowed) noexcept {
    PyObject *old = field;
    field = Py_XNewRef(borrowed);
    Py_XDECREF(old);
}

inline void set_field(PyObject *&field, Ref stolen) noexcept {
    PyObject *old = field;
    field = stolen.release();
    Py_XDECREF(old);
}

}  // namespace qm
