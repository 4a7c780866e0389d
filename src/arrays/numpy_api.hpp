#pragma once
// NumPy's 1.x C-API table, fetched lazily from the "_ARRAY_API" capsule of
// "numpy.core.multiarray" and cached for the life of the process.
#include <Python.h>

#include "binding/py_error.hpp"

namespace corvalinth::arrays {

// The table, or the error that prevented fetching it (nothing is cached then).
binding::PyResult<void**> numpy_api_table();

// The table, or InternalFailure "Failed to access NumPy array API capsule: PyErr { ... }".
void** numpy_api();

}  // namespace corvalinth::arrays
