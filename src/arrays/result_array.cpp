// Result arrays over buffers owned by a PySliceContainer.
#include "arrays/result_array.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "arrays/numpy_api.hpp"
#include "arrays/numpy_layout.hpp"
#include "arrays/slice_container.hpp"
#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace corvalinth::arrays {

using python::PyRef;

namespace {

void release_labels(void* buffer, std::size_t, std::size_t capacity) {
    kmeans::LabelBuffer::release_storage(static_cast<std::int32_t*>(buffer), capacity);
}

// Centre copies come from std::malloc; an empty copy allocates nothing.
void release_centres(void* buffer, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(buffer);
}

alignas(double) double empty_centres_placeholder = 0.0;

}  // namespace

PyObject* array_from_buffer(BufferDescription buffer, int type_num, int nd, const Py_ssize_t* dims,
                            const Py_ssize_t* strides, void* data) {
    PyRef container = PyRef::steal(new_slice_container(buffer));
    void** api = numpy_api();
    PyObject* descr = npy::descr_from_type(api)(type_num);
    if (descr == nullptr) python::fail_api_call();
    PyObject* array =
        npy::new_from_descr(api)(npy::array_type(api), descr, nd, dims, strides, data, kNpyArrayWriteable, nullptr);
    if (array == nullptr) python::fail_api_call();
    // The container's reference passes to the array, on failure too.
    if (npy::set_base_object(api)(array, container.release()) != 0) {
        Py_DECREF(array);
        python::fail_api_call();
    }
    return array;
}

PyObject* labels_to_array(kmeans::LabelBuffer&& labels) {
    const std::size_t length = labels.size();
    const std::size_t capacity = labels.capacity();
    std::int32_t* storage = labels.release();
    const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(length)};
    const Py_ssize_t strides[1] = {static_cast<Py_ssize_t>(sizeof(std::int32_t))};
    return array_from_buffer(BufferDescription{storage, length, capacity, release_labels}, kNpyInt, 1, dims, strides,
                             storage);
}

PyObject* centres_to_array(const kmeans::CentreMatrix& centres) {
    const std::size_t count = centres.values.size();
    void* storage = &empty_centres_placeholder;
    if (count != 0) {
        if (count > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
        storage = std::malloc(count * sizeof(double));
        if (storage == nullptr) throw std::bad_alloc();
        std::memcpy(storage, centres.values.data(), count * sizeof(double));
    }
    const Py_ssize_t dims[2] = {static_cast<Py_ssize_t>(centres.rows), static_cast<Py_ssize_t>(centres.cols)};
    const Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(centres.cols * sizeof(double)),
                                   static_cast<Py_ssize_t>(sizeof(double))};
    return array_from_buffer(BufferDescription{storage, count, count, release_centres}, kNpyFloat64, 2, dims, strides,
                             storage);
}

}  // namespace corvalinth::arrays
