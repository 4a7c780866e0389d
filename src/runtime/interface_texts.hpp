#pragma once
// The runtime's fixed texts that Python code and users see, word for word:
// the environment variables that size the pool, the pool's failures and
// abort line, the failures of the random source and of operating-system
// entropy. tests/cpp/runtime and tests/python (test_threads.py,
// test_errors.py) pin every one.
namespace corvalinth::runtime::texts {

// The worker pool's settings, read once per process.
inline constexpr const char* kThreadsVariable = "RAYON_NUM_THREADS";
inline constexpr const char* kCpusVariable = "RAYON_RS_NUM_CPUS";
inline constexpr const char* kStackVariable = "RUST_MIN_STACK";

// The pool's failures: the prefix and suffix around the error kind, and the
// kind of every loop after a failed creation.
inline constexpr const char* kPoolBuildErrorBefore =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
inline constexpr const char* kPoolBuildErrorAfter = " }";
inline constexpr const char* kPoolAlreadyInitialized = "GlobalPoolAlreadyInitialized";
inline constexpr const char* kPoolAbort = "Rayon: detected unexpected panic; aborting\n";

// The random source's draw from an empty range.
inline constexpr const char* kEmptyRange = "cannot sample empty range";

// Operating-system entropy.
inline constexpr const char* kEntropyFailed = "from_entropy failed: ";
inline constexpr const char* kEntropyUnexpected = "unexpected situation";
inline constexpr const char* kEntropyNoErrno = "errno: did not return a positive value";
inline constexpr const char* kOsErrorBefore = "OS Error: ";
inline constexpr const char* kRandomDevice = "/dev/random";
inline constexpr const char* kUrandomDevice = "/dev/urandom";

}  // namespace corvalinth::runtime::texts
