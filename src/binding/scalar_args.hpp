#pragma once
// Conversion of matched argument objects to native scalars.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "python/py_error.hpp"

namespace corvalinth::binding {

// int (or subclass) directly, anything else through __index__; negative or
// too large values give the interpreter's OverflowError.
python::PyResult<std::uint64_t> extract_u64(PyObject* o);

// float exactly, anything else through __float__ / __index__.
python::PyResult<double> extract_f64(PyObject* o);

// Not given (null) or None: absent; anything else through `convert`.
template <class T>
python::PyResult<std::optional<T>> extract_optional(PyObject* o, python::PyResult<T> (*convert)(PyObject*)) {
    if (o == nullptr || o == Py_None) return std::optional<T>();
    python::PyResult<T> inner = convert(o);
    if (!inner.ok()) return inner.take_error();
    return std::optional<T>(std::move(inner.value()));
}

}  // namespace corvalinth::binding
