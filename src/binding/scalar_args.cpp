// Scalar argument conversions.
#include "binding/scalar_args.hpp"

#include "python/py_ref.hpp"

namespace corvalinth::binding {

using namespace python;

PyResult<std::uint64_t> extract_u64(PyObject* o) {
    unsigned long long value = 0;
    if (PyLong_Check(o)) {
        value = PyLong_AsUnsignedLongLong(o);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(o));
        if (!index) return PyErrValue::fetch();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is also a valid value; only a pending exception makes it an error.
    if (value == static_cast<unsigned long long>(-1)) {
        if (std::optional<PyErrValue> err = PyErrValue::take_pending()) return std::move(*err);
    }
    return static_cast<std::uint64_t>(value);
}

PyResult<double> extract_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double value = PyFloat_AsDouble(o);
    if (value == -1.0) {
        if (std::optional<PyErrValue> err = PyErrValue::take_pending()) return std::move(*err);
    }
    return value;
}

}  // namespace corvalinth::binding
