// Acceptance, borrowing and viewing of input sample arrays.
#include "arrays/input_array.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "arrays/borrow_api.hpp"
#include "arrays/interface_texts.hpp"
#include "arrays/numpy_api.hpp"
#include "arrays/numpy_layout.hpp"
#include "python/py_ref.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::arrays {

using python::PyErrValue;
using python::PyRef;
using python::PyResult;

// Float64 data that cannot be addressed in whole elements (a byte stride that
// is not a multiple of 8, or a data pointer off the 8-byte grid) is copied
// once into an aligned row-major buffer that the engine reads instead.
struct InputBorrow::State {
    std::unique_ptr<double[]> aligned_copy;
};

namespace {

constexpr std::size_t kElementSize = sizeof(double);

// One more read borrow of `array` in the shared registry; internal failure on
// refusal. In a registry of this module's own, memory exhaustion is
// std::bad_alloc; a foreign registry can only answer with its return code.
void acquire_read_or_fail(PyObject* array) {
    const BorrowApiRecord& record = borrow_api_or_fail();
    BorrowRegistry* own = own_registry(record);
    const int code = own != nullptr ? own->acquire_read(array) : record.acquire_read(record.state, array);
    if (code == kBorrowOk) return;
    if (code == kAlreadyBorrowed) throw InternalFailure(texts::kAlreadyBorrowed);
    throw InternalFailure(texts::kUnexpectedCodeBefore + std::to_string(code) + texts::kUnexpectedCodeAfter);
}

bool is_sample_array(PyObject* x, void** api) {
    if (!npy::is_array_type(Py_TYPE(x), npy::array_type(api))) return false;
    ArrayFields fields = array_fields(x);
    if (fields.nd != 2) return false;
    PyObject* own = fields.descr;
    PyRef float64 = PyRef::steal(python::checked(npy::descr_from_type(api)(kNpyFloat64)));
    return own == float64.get() || npy::equiv_types(api)(own, float64.get()) != 0;
}

// True when some element would be read at an address the element view cannot express.
bool needs_aligned_copy(const ArrayFields& fields) {
    const Py_ssize_t rows = fields.dimensions[0];
    const Py_ssize_t cols = fields.dimensions[1];
    if (rows == 0 || cols == 0) return false;  // no element is ever read
    if (reinterpret_cast<std::uintptr_t>(fields.data) % kElementSize != 0) return true;
    // The stride of an axis of length 1 is never applied.
    if (rows > 1 && fields.strides[0] % static_cast<Py_ssize_t>(kElementSize) != 0) return true;
    if (cols > 1 && fields.strides[1] % static_cast<Py_ssize_t>(kElementSize) != 0) return true;
    return false;
}

std::unique_ptr<double[]> aligned_copy(const ArrayFields& fields) {
    const auto rows = static_cast<std::size_t>(fields.dimensions[0]);
    const auto cols = static_cast<std::size_t>(fields.dimensions[1]);
    if (cols != 0 && rows > SIZE_MAX / kElementSize / cols) throw std::bad_alloc();
    std::unique_ptr<double[]> copy(new double[rows * cols]);
    const char* base = fields.data;
    for (std::size_t i = 0; i < rows; ++i) {
        const char* row = base + static_cast<std::ptrdiff_t>(i) * fields.strides[0];
        for (std::size_t j = 0; j < cols; ++j) {
            std::memcpy(&copy[i * cols + j], row + static_cast<std::ptrdiff_t>(j) * fields.strides[1], kElementSize);
        }
    }
    return copy;
}

std::ptrdiff_t element_stride(Py_ssize_t byte_stride) {
    const Py_ssize_t magnitude = (byte_stride < 0 ? -byte_stride : byte_stride) / static_cast<Py_ssize_t>(kElementSize);
    return byte_stride < 0 ? -magnitude : magnitude;
}

}  // namespace

InputBorrow::InputBorrow(PyObject* array, std::shared_ptr<State> state) : array_(array), state_(std::move(state)) {}

InputBorrow::InputBorrow(InputBorrow&& other) noexcept
    : array_(std::exchange(other.array_, nullptr)), state_(std::move(other.state_)) {}

InputBorrow& InputBorrow::operator=(InputBorrow&& other) noexcept {
    if (this != &other) {
        InputBorrow old(std::move(*this));
        array_ = std::exchange(other.array_, nullptr);
        state_ = std::move(other.state_);
    }
    return *this;
}

InputBorrow::~InputBorrow() {
    if (array_ == nullptr) return;
    // The record is cached: this handle's borrow was taken through it.
    if (const BorrowApiRecord* record = cached_borrow_api()) record->release_read(record->state, array_);
    Py_DECREF(array_);
}

InputBorrow InputBorrow::duplicate() const {
    PyRef reference = PyRef::borrow(array_);
    acquire_read_or_fail(array_);
    return InputBorrow(reference.release(), state_);
}

PyResult<InputBorrow> extract_sample_array(PyObject* x) {
    void** api = numpy_api();
    if (!is_sample_array(x, api)) return PyErrValue::conversion(x, texts::kSampleArrayTarget);

    PyRef reference = PyRef::borrow(x);
    acquire_read_or_fail(x);
    InputBorrow input(reference.release(), nullptr);
    const ArrayFields fields = array_fields(x);
    if (needs_aligned_copy(fields)) {
        auto state = std::make_shared<InputBorrow::State>();
        state->aligned_copy = aligned_copy(fields);
        input.state_ = std::move(state);
    }
    return input;
}

kmeans::SampleMatrix view_samples(const InputBorrow& input) {
    const ArrayFields fields = array_fields(input.array_);
    kmeans::SampleMatrix view;
    view.n_rows = static_cast<std::size_t>(fields.dimensions[0]);
    view.n_cols = static_cast<std::size_t>(fields.dimensions[1]);
    if (input.state_ && input.state_->aligned_copy) {
        view.data = input.state_->aligned_copy.get();
        view.row_stride = static_cast<std::ptrdiff_t>(view.n_cols);
        view.col_stride = 1;
        return view;
    }
    view.data = reinterpret_cast<const double*>(fields.data);
    view.row_stride = element_stride(fields.strides[0]);
    view.col_stride = element_stride(fields.strides[1]);
    return view;
}

}  // namespace corvalinth::arrays
