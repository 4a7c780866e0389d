// Reads of NumPy's ndarray and dtype fields, in the layout of the running NumPy.
#include "arrays/numpy_layout.hpp"

#include <cstddef>
#include <cstdint>

namespace corvalinth::arrays {

namespace {

// Leading fields of the ndarray object; NumPy 2 kept the 1.x places.
struct ArrayObject {
    PyObject_HEAD char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// Leading fields of the dtype object in NumPy 1.x: a one-byte flags field
// before type_num, an int item size.
struct DescrFieldsV1 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
    int alignment;
};

// Leading fields of the dtype object in NumPy 2.x: the flags moved after
// type_num and grew to 64 bits; the item size is pointer-sized.
struct DescrFieldsV2 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
    Py_ssize_t alignment;
};

static_assert(offsetof(ArrayObject, data) == 16);
static_assert(offsetof(ArrayObject, nd) == 24);
static_assert(offsetof(ArrayObject, dimensions) == 32);
static_assert(offsetof(ArrayObject, strides) == 40);
static_assert(offsetof(ArrayObject, base) == 48);
static_assert(offsetof(ArrayObject, descr) == 56);
static_assert(offsetof(ArrayObject, flags) == 64);
static_assert(offsetof(DescrFieldsV1, type_num) == 28);
static_assert(offsetof(DescrFieldsV1, elsize) == 32);
static_assert(offsetof(DescrFieldsV2, type_num) == 28);
static_assert(offsetof(DescrFieldsV2, flags) == 32);
static_assert(offsetof(DescrFieldsV2, elsize) == 40);

// Written once, with the interpreter lock held, when the table is cached.
NumpyAbi selected_abi = NumpyAbi::v1;

}  // namespace

std::optional<NumpyAbi> numpy_abi_for_version(unsigned int version) {
    switch (version >> 24) {
        case 1: return NumpyAbi::v1;
        case 2: return NumpyAbi::v2;
        default: return std::nullopt;
    }
}

void select_numpy_abi(NumpyAbi abi) { selected_abi = abi; }
NumpyAbi numpy_abi() { return selected_abi; }

ArrayFields array_fields(PyObject* array) {
    const auto* object = reinterpret_cast<const ArrayObject*>(array);
    return ArrayFields{object->data, object->nd,    object->dimensions, object->strides,
                       object->base, object->descr, object->flags};
}

Py_ssize_t descr_itemsize(PyObject* descr) {
    if (selected_abi == NumpyAbi::v2) return reinterpret_cast<const DescrFieldsV2*>(descr)->elsize;
    return reinterpret_cast<const DescrFieldsV1*>(descr)->elsize;
}

}  // namespace corvalinth::arrays
