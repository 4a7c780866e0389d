#pragma once
// The fixed texts of error bridging that Python code sees, word for word:
// the PanicException type, the fetch with nothing pending, conversion
// failures, the unprintable-object forms and the internal failures of the
// interpreter calls. tests/python/test_errors.py pins every one.
namespace corvalinth::python::texts {

inline constexpr const char* kPanicExceptionType = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicExceptionDoc =
    "\nThe exception raised when native code of corvalinth, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr const char* kPanicTypeFailed = "Failed to initialize new exception type.";
inline constexpr const char* kUnwrappedPanic = "Unwrapped panic from Python code";
inline constexpr const char* kResumingPanic =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";

inline constexpr const char* kFetchedNothing = "attempted to fetch exception but none was set";
inline constexpr const char* kNotAnException = "exceptions must derive from BaseException";
inline constexpr const char* kApiCallFailed = "Python API call failed";

// "'{type}' object cannot be converted to '{target}'", with this name when
// the type's qualified name cannot be had.
inline constexpr const char* kConversionMiddle = "' object cannot be converted to '";
inline constexpr const char* kFailedTypeName = "<failed to extract type name>";

// The display of an object whose str() or repr() raised.
inline constexpr const char* kUnprintableObject = "<unprintable object>";
inline constexpr const char* kUnprintableBefore = "<unprintable ";
inline constexpr const char* kUnprintableAfter = " object>";

}  // namespace corvalinth::python::texts
