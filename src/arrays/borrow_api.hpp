#pragma once
// Finding, or installing, the process-wide borrow registry published as the
// capsule "_RUST_NUMPY_BORROW_CHECKING_API" of "numpy.core.multiarray" (NumPy
// 1.x) or of "numpy._core.multiarray" and its "numpy.core.multiarray" shim
// (NumPy 2.x).
#include <Python.h>

#include "arrays/borrow_registry.hpp"
#include "python/py_error.hpp"

namespace corvalinth::arrays {

// The record in use by every participant of the process, or the error that
// prevented finding or installing it (nothing is cached then).
python::PyResult<const BorrowApiRecord*> borrow_api();

// borrow_api, or InternalFailure "Interal borrow checking API error: PyErr { ... }".
const BorrowApiRecord& borrow_api_or_fail();

// The cached record, or null before the first success. Never touches Python.
const BorrowApiRecord* cached_borrow_api();

}  // namespace corvalinth::arrays
