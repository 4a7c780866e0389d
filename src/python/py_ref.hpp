#pragma once
// Owning reference to a Python object: released on every path.
#include <Python.h>

#include <utility>

namespace corvalinth::python {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace corvalinth::python
