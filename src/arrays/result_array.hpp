#pragma once
// Result arrays laid over buffers the system allocated, owned through a
// PySliceContainer base object.
#include <Python.h>

#include <cstddef>

#include "kmeans/base/label_buffer.hpp"
#include "kmeans/base/model.hpp"

namespace corvalinth::arrays {

using ReleaseFn = void (*)(void* buffer, std::size_t length, std::size_t capacity);

struct BufferDescription {
    void* buffer;
    std::size_t length;
    std::size_t capacity;  // 0: nothing allocated
    ReleaseFn release;
};

// New reference to an ndarray over the buffer (ownership of the buffer passes
// to the array's base). Throws InternalFailure on failure (the buffer is freed).
PyObject* array_from_buffer(BufferDescription buffer, int type_num, int nd, const Py_ssize_t* dims,
                            const Py_ssize_t* strides, void* data);

// int32 labels array of shape (n,), taking over the label storage without a copy.
PyObject* labels_to_array(kmeans::LabelBuffer&& labels);

// Fresh float64 (k, d) C-contiguous array holding a copy of the centres.
PyObject* centres_to_array(const kmeans::CentreMatrix& centres);

}  // namespace corvalinth::arrays
