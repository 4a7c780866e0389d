#pragma once
// The operating-system calls that from_entropy makes, gathered in one table.
//
// Tests can replace them (fault injection) without touching the algorithm.
// Each entry has the raw calling convention of the call it stands for: a
// failing call returns its failure value and leaves the error number to be
// read through last_errno().
#include <poll.h>

#include <cstddef>

namespace corvalinth::runtime {

struct EntropySyscalls {
    // getrandom(2) issued as a raw system call (number 318 on x86-64).
    long (*getrandom)(void* buffer, std::size_t length, unsigned flags);
    int (*open)(const char* path, int flags);
    int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
    int (*close)(int fd);
    long (*read)(int fd, void* buffer, std::size_t length);
    // The calling thread's errno, read right after a failed call.
    int (*last_errno)();
    // XSI strerror_r: 0 on success, else an error number (or -1 with errno).
    int (*strerror)(int error_number, char* buffer, std::size_t length);
};

// The table in use: the real calls unless a test installed another
// (testing::set_entropy_syscalls).
const EntropySyscalls& entropy_syscalls();

}  // namespace corvalinth::runtime
