#pragma once
// Starting the pool's worker threads: detached, unnamed, with an explicit
// stack size.
#include <pthread.h>

#include <cstddef>
#include <string>

namespace corvalinth::runtime {

using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

// Starts `entry(argument)` on a new detached thread whose stack is
// `requested_stack` bytes, raised to the thread library's minimum for the
// attributes (16384 where it reports none), and rounded up to whole pages if
// the library refuses the size as invalid. Returns 0 or the error number.
int start_detached_thread(void* (*entry)(void*), void* argument, std::size_t requested_stack);

// The stack size start_detached_thread would set for `requested_stack`, or
// -1 with the error number in `error` if the attributes refuse it.
long effective_stack_size(std::size_t requested_stack, int& error);

// Replaces pthread_create for every later start (null restores it). For
// tests that make thread creation fail.
void set_thread_create_for_testing(ThreadCreateFn create);

// An operating-system error as the pool reports it:
// Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" }
std::string render_os_error(int error_number);

// Whether an error number means that threads are not supported at all.
bool is_unsupported_error(int error_number);

}  // namespace corvalinth::runtime
