#pragma once
// The fixed texts of the module surface that Python code sees, word for
// word: the module's name and docstring, the KMeans type's names and text
// signature, the receiver-borrow errors and the messages of failures at the
// boundary. The argument-matching messages are built in call_messages.hpp.
// tests/python (test_module.py, test_import.py, test_kmeans_type.py,
// test_methods.py, test_errors.py) pin every one.
namespace corvalinth::binding::texts {

inline constexpr const char* kModuleName = "corvalinth";
inline constexpr const char* kModuleDoc =
    "corvalinth - High-performance machine learning library with reproducible k-means clustering";
inline constexpr const char* kSubinterpreters =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/corvalinth/corvalinth/issues/subinterpreters";
inline constexpr const char* kAllAppendFailed = "could not append __name__ to __all__";

inline constexpr const char* kClassName = "KMeans";
inline constexpr const char* kTypeSpecName = "builtins.KMeans";
inline constexpr const char* kClassTextSignature = "(n_clusters=8, max_iters=300, tol=1e-4, random_state=None)";
inline constexpr const char* kTypeFailed = "failed to create type object for KMeans";

inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// The internal failure of a failure that is neither an internal failure nor
// memory exhaustion, and the last words before an abort at the boundary.
inline constexpr const char* kNativePanic = "native code of corvalinth panicked";
inline constexpr const char* kUncaughtPanic = "uncaught panic at ffi boundary\n";

}  // namespace corvalinth::binding::texts
