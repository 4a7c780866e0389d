#pragma once
// The fixed texts of the NumPy interop: the module and capsule names shared
// with NumPy and with other extensions, the target names of conversion
// errors, and the messages of its failures (some of them, typos included,
// are part of the interface that other extensions and users match). Tests in
// tests/python (test_numpy_api.py, test_borrow_registry.py,
// test_input_arrays.py, test_result_arrays.py) pin every one.
namespace corvalinth::arrays::texts {

// Modules and capsules.
inline constexpr const char* kMultiarrayModule = "numpy.core.multiarray";
inline constexpr const char* kMultiarrayModule2 = "numpy._core.multiarray";  // NumPy 2's own name for it
inline constexpr const char* kArrayApiCapsule = "_ARRAY_API";
inline constexpr const char* kBorrowCapsule = "_RUST_NUMPY_BORROW_CHECKING_API";
inline constexpr const char* kBorrowImplementation = "corvalinth";

// Targets of conversion errors ("'{type}' object cannot be converted to '{target}'").
inline constexpr const char* kCapsuleTarget = "PyCapsule";
inline constexpr const char* kSampleArrayTarget = "PyArray<T, D>";

// Failures.
inline constexpr const char* kArrayApiFailed = "Failed to access NumPy array API capsule";
inline constexpr const char* kBorrowApiFailed = "Interal borrow checking API error";
inline constexpr const char* kBorrowVersionUnsupported =
    "Version 0 of borrow checking API is not supported by this version of ";
inline constexpr const char* kAlreadyBorrowed = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
inline constexpr const char* kUnexpectedCodeBefore = "Unexpected return code ";
inline constexpr const char* kUnexpectedCodeAfter = " from borrow checking API";

// The result arrays' owner type.
inline constexpr const char* kSliceContainerType = "builtins.PySliceContainer";
inline constexpr const char* kSliceContainerTypeFailed = "failed to create type object for PySliceContainer";
inline constexpr const char* kSliceContainerFailed = "Failed to create slice container";
inline constexpr const char* kNoConstructor = "No constructor defined";

}  // namespace corvalinth::arrays::texts
