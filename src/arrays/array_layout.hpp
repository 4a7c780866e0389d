#pragma once
// The parts of NumPy 1.x's array and descriptor objects that this module reads,
// laid out field for field as NumPy defines them (NumPy's own headers are not
// used: the module reaches NumPy only at run time). Only the leading fields
// that are read are mirrored; the objects are never allocated from here.
#include <Python.h>

#include <cstddef>

namespace corvalinth::arrays {

// Leading fields of NumPy's dtype object.
struct NpyDescrFields {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
    int alignment;
};

// Leading fields of NumPy's ndarray object.
struct NpyArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    NpyDescrFields* descr;
    int flags;
};

static_assert(offsetof(NpyDescrFields, type_num) == 28);
static_assert(offsetof(NpyDescrFields, elsize) == 32);
static_assert(offsetof(NpyArrayFields, data) == 16);
static_assert(offsetof(NpyArrayFields, nd) == 24);
static_assert(offsetof(NpyArrayFields, dimensions) == 32);
static_assert(offsetof(NpyArrayFields, strides) == 40);
static_assert(offsetof(NpyArrayFields, base) == 48);
static_assert(offsetof(NpyArrayFields, descr) == 56);
static_assert(offsetof(NpyArrayFields, flags) == 64);

inline NpyArrayFields* array_fields(PyObject* array) { return reinterpret_cast<NpyArrayFields*>(array); }

// Array flag: the array's memory may be written.
inline constexpr int kNpyArrayWriteable = 0x0400;

// NumPy type numbers used by this module.
inline constexpr int kNpyInt = 5;       // 32-bit signed int on x86-64 Linux
inline constexpr int kNpyFloat64 = 12;  // NPY_DOUBLE

}  // namespace corvalinth::arrays
