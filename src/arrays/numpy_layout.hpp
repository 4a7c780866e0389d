#pragma once
// The one door to NumPy's object layouts: every read of a field of an ndarray
// or of a dtype goes through these functions, which know both the NumPy 1.x
// and the NumPy 2.x binary layouts. The layout is chosen from the C ABI
// version that NumPy's C-API table reports when the table is first fetched.
#include <Python.h>

#include <optional>

namespace corvalinth::arrays {

// The binary layouts this module can read.
enum class NumpyAbi { v1, v2 };

// The layout for a C ABI version as PyArray_GetNDArrayCVersion reports it
// (0x01000009 for NumPy 1.x, 0x02000000 for 2.x): chosen by the major number
// in the top byte; nothing for a major this module does not know.
std::optional<NumpyAbi> numpy_abi_for_version(unsigned int version);

// Records the layout of the table that was cached. Called once, with the
// interpreter lock held, when the table is stored.
void select_numpy_abi(NumpyAbi abi);
NumpyAbi numpy_abi();

// The ndarray fields this module reads (the same places in both layouts).
struct ArrayFields {
    char* data;
    int nd;
    const Py_ssize_t* dimensions;
    const Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
ArrayFields array_fields(PyObject* array);

// dtype field whose place and width differ between the layouts.
Py_ssize_t descr_itemsize(PyObject* descr);

// Array flag: the array's memory may be written.
inline constexpr int kNpyArrayWriteable = 0x0400;

// NumPy type numbers used by this module (the same in both layouts).
inline constexpr int kNpyInt = 5;  // 32-bit signed int on x86-64 Linux
inline constexpr int kNpyFloat64 = 12;  // NPY_DOUBLE

}  // namespace corvalinth::arrays
