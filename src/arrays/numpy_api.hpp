#pragma once
// NumPy's C-API table, fetched lazily from the "_ARRAY_API" capsule of
// "numpy.core.multiarray" and cached for the life of the process, together
// with the object layout of the NumPy major version that published it.
#include <Python.h>

#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::arrays {

// A new reference to the module `name` (imported with PyImport_Import, so
// import hooks apply), or the import's error.
python::PyResult<python::PyRef> import_module(const char* name);

// import_module("numpy.core.multiarray"): where the table is published, on
// both NumPy majors.
python::PyResult<python::PyRef> import_numpy_multiarray();

// The table, or the error that prevented fetching it (nothing is cached then).
// A table whose C ABI major version is neither 1 nor 2 is refused.
python::PyResult<void**> numpy_api_table();

// The table, or InternalFailure "Failed to access NumPy array API capsule: PyErr { ... }".
void** numpy_api();

// The cached table, or null when it has not been fetched yet. Never touches Python.
void** cached_numpy_api();

// Typed access to the slots of the table that the module uses.
namespace npy {

using GetNDArrayCVersionFn = unsigned int (*)();
using DescrFromTypeFn = PyObject* (*)(int type_num);
using NewFromDescrFn = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                                     const Py_ssize_t* strides, void* data, int flags, PyObject* obj);
using EquivTypesFn = unsigned char (*)(PyObject* a, PyObject* b);
using SetBaseObjectFn = int (*)(PyObject* array, PyObject* base);

inline GetNDArrayCVersionFn get_ndarray_c_version(void** api) { return reinterpret_cast<GetNDArrayCVersionFn>(api[0]); }
inline PyTypeObject* array_type(void** api) { return static_cast<PyTypeObject*>(api[2]); }
inline DescrFromTypeFn descr_from_type(void** api) { return reinterpret_cast<DescrFromTypeFn>(api[45]); }
inline NewFromDescrFn new_from_descr(void** api) { return reinterpret_cast<NewFromDescrFn>(api[94]); }
inline EquivTypesFn equiv_types(void** api) { return reinterpret_cast<EquivTypesFn>(api[182]); }
inline SetBaseObjectFn set_base_object(void** api) { return reinterpret_cast<SetBaseObjectFn>(api[282]); }

// True when `type` is the ndarray type or a subtype of it.
inline bool is_array_type(PyTypeObject* type, PyTypeObject* ndarray) {
    return type == ndarray || PyType_IsSubtype(type, ndarray) != 0;
}

}  // namespace npy

}  // namespace corvalinth::arrays
