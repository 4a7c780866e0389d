#pragma once
// Per-thread state that the C++ runtime would otherwise create lazily, made early while memory lasts.
//
// The module is loaded with dlopen, so its thread-local variables and those
// of the C++ runtime library (the exception state used by every throw and
// catch) are dynamic TLS: the C library allocates them on a thread's first
// use and ends the process when that allocation fails. A thread that has
// never thrown would therefore abort on its first exception once the heap is
// exhausted, exactly when std::bad_alloc should be reported. Every thread
// that may throw sets its state up first: the importing thread, each calling
// thread on its first call, and each worker when it starts.
namespace corvalinth::runtime {

// For a thread that calls into the module: sets up its exception state, the
// pool's thread-local state and its completion latch, once per thread; later
// calls only read a thread-specific flag and allocate nothing. Returns false,
// with nothing set up, when memory is too short to do it safely: the caller
// must then report memory exhaustion without throwing.
bool prepare_calling_thread() noexcept;

// The same for a worker of the pool, before it touches any pool state (a
// worker never waits on a completion latch).
bool prepare_worker_thread() noexcept;

}  // namespace corvalinth::runtime
