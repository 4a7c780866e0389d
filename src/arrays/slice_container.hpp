#pragma once
// PySliceContainer: the Python object that owns a native buffer on behalf of
// the result arrays laid over it, and frees it when the last one goes away.
#include <Python.h>

#include "arrays/result_array.hpp"

namespace corvalinth::arrays {

// The type object, created on first use and kept for the life of the process.
// Throws InternalFailure "failed to create type object for PySliceContainer".
PyTypeObject* slice_container_type();

// New container owning `buffer`. On failure the buffer is released at once and
// InternalFailure "Failed to create slice container: PyErr { ... }" is thrown.
PyObject* new_slice_container(BufferDescription buffer);

}  // namespace corvalinth::arrays
