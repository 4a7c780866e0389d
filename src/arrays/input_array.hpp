#pragma once
// Accepted input arrays: a strong reference plus one read borrow in the shared
// borrow registry, and the strided view the engine reads.
#include <Python.h>

#include <memory>

#include "kmeans/base/sample_matrix.hpp"
#include "python/py_error.hpp"

namespace corvalinth::arrays {

class InputBorrow {
public:
    InputBorrow(InputBorrow&&) noexcept;
    InputBorrow& operator=(InputBorrow&&) noexcept;
    InputBorrow(const InputBorrow&) = delete;
    InputBorrow& operator=(const InputBorrow&) = delete;
    // Releases the read borrow, then the reference.
    ~InputBorrow();

    // One more read borrow and reference of the same array (throws
    // InternalFailure if the registry refuses).
    InputBorrow duplicate() const;
    PyObject* array() const { return array_; }

    struct State;

private:
    friend python::PyResult<InputBorrow> extract_sample_array(PyObject* x);
    friend kmeans::SampleMatrix view_samples(const InputBorrow& input);
    explicit InputBorrow(PyObject* array, std::shared_ptr<State> state);
    PyObject* array_ = nullptr;
    std::shared_ptr<State> state_;  // e.g. an aligned copy for misaligned float64 data
};

// A 2-D float64 ndarray (or subclass) becomes an InputBorrow; anything else is
// the conversion error "'{type}' object cannot be converted to 'PyArray<T, D>'".
// Internal failures (registry refusal, NumPy unavailable) are thrown.
python::PyResult<InputBorrow> extract_sample_array(PyObject* x);

// The engine's view of the array's values; no copy for 8-byte aligned data.
kmeans::SampleMatrix view_samples(const InputBorrow& input);

}  // namespace corvalinth::arrays
