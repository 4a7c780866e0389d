#pragma once
// Starting the pool's worker threads (detached, unnamed, with an explicit stack size) and rendering their errors.
#include <cstddef>
#include <string>

namespace corvalinth::runtime {

// Starts `entry(argument)` on a new detached thread whose stack is
// `requested_stack` bytes, raised to the thread library's minimum for the
// attributes (16384 where it reports none), and rounded up to whole pages if
// the library refuses the size as invalid. Returns 0 or the error number.
int start_detached_thread(void* (*entry)(void*), void* argument, std::size_t requested_stack);

// The stack size start_detached_thread would set for `requested_stack`, or
// -1 with the error number in `error` if the attributes refuse it.
long effective_stack_size(std::size_t requested_stack, int& error);

// An operating-system error as the pool reports it:
// Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string render_os_error(int error_number);

// Whether an error number means that threads are not supported at all.
bool is_unsupported_error(int error_number);

// Whether a thread start failed for lack of memory or of a system resource
// that comes back (EAGAIN: a limit on threads or on mappings was reached;
// ENOMEM): memory exhaustion, not a permanent failure.
bool is_resource_exhaustion(int error_number);

}  // namespace corvalinth::runtime
