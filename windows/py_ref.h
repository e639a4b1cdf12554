// Owned reference to a host object: released on every way out of a scope.
// It lives beside the module, whose type it is; winsim and the winwrap
// stand-in include it from here.
#ifndef WINDOWS_PY_REF_H
#define WINDOWS_PY_REF_H

#include <Python.h>

#include <utility>

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (or null, as returned by a failed API call).
    explicit PyRef(PyObject *owned) : object_(owned) {}
    static PyRef Borrow(PyObject *borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : object_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() { return std::exchange(object_, nullptr); }
    // The old object is released after the new one is in place, so its
    // destructor never sees a half-updated holder.
    void reset(PyObject *owned = nullptr) {
        PyObject *old = std::exchange(object_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject *object_ = nullptr;
};

#endif  // WINDOWS_PY_REF_H
