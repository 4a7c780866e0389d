#pragma once
// Error values: how every failure travels to the interpreter boundary.
//
// A PyErrValue is either lazy (an exception type plus what its argument is
// built from; nothing exists in the interpreter yet) or normalised (a strong
// reference to an exception instance). It is consumed exactly once: raised
// with restore(), or dropped.
#include <Python.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "python/py_ref.hpp"

namespace corvalinth::python {

class PyErrValue {
public:
    // Lazy message error: `type` is a built-in exception type (PyExc_ValueError,
    // PyExc_TypeError, PyExc_RuntimeError, PyExc_ImportError, PyExc_SystemError,
    // PyExc_MemoryError...), raised with `text` as its str argument.
    static PyErrValue message(PyObject* type, std::string text);
    // Lazy conversion error: TypeError "'{type}' object cannot be converted to
    // '{target}'", {type} being the qualified name of type(obj), read when raised.
    static PyErrValue conversion(PyObject* obj, std::string target);
    // Lazy internal failure: PanicException with the 1-tuple (message,).
    static PyErrValue panic(std::string message);
    // Normalised value from an exception instance (reference stolen).
    static PyErrValue from_instance(PyObject* exc);

    // Takes the pending exception, if any. A pending PanicException is not
    // returned: it is printed and resumed as InternalFailure (thrown).
    static std::optional<PyErrValue> take_pending();
    // take_pending, or SystemError "attempted to fetch exception but none was set".
    static PyErrValue fetch();

    PyErrValue(PyErrValue&&) noexcept;
    PyErrValue& operator=(PyErrValue&&) noexcept;
    PyErrValue(const PyErrValue&) = delete;
    PyErrValue& operator=(const PyErrValue&) = delete;
    ~PyErrValue();

    // set_pending_error: makes this value the interpreter's pending exception.
    void restore() &&;
    // Normalises (if lazy) and returns the exception instance (borrowed).
    PyObject* instance();
    // "PyErr { type: <repr>, value: <repr>, traceback: None|Some(<repr>) }"
    std::string debug_rendering();

private:
    struct Lazy;
    explicit PyErrValue(Lazy* lazy);
    explicit PyErrValue(PyObject* instance);
    Lazy* lazy_ = nullptr;
    PyObject* instance_ = nullptr;
};

// A value or an error value.
template <class T>
class [[nodiscard]] PyResult {
public:
    PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    PyResult(PyErrValue err) : v_(std::in_place_index<1>, std::move(err)) {}
    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    PyErrValue& error() { return std::get<1>(v_); }
    PyErrValue take_error() { return std::move(std::get<1>(v_)); }

private:
    std::variant<T, PyErrValue> v_;
};

struct Unit {};
using PyStatus = PyResult<Unit>;
inline PyStatus ok_status() { return Unit{}; }

// Internal failure for an error value that must not occur:
// throws InternalFailure(fixed + ": " + err.debug_rendering()).
[[noreturn]] void fail_unexpected(const char* fixed, PyErrValue err);
// A creation that is not expected to fail failed: PyErr_Print, then
// InternalFailure("Python API call failed").
[[noreturn]] void fail_api_call();
// Returns o when non-null, else fail_api_call().
PyObject* checked(PyObject* o);

// The PanicException type (created on first need; creation failure aborts).
PyObject* panic_exception_type();

}  // namespace corvalinth::python
