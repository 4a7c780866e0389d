#pragma once
// Test access to the runtime's entropy source: its process-wide state and the system calls it makes.
#include "runtime/random/entropy.hpp"
#include "runtime/random/entropy_syscalls.hpp"

namespace corvalinth::runtime::testing {

// Whether getrandom was probed, and with which outcome.
entropy_detail::GetrandomSupport getrandom_support();

// The cached "/dev/urandom" descriptor, or -1 when none is open.
int urandom_descriptor();

// Puts the process-wide state back to its initial values (unprobed, no
// descriptor) and returns the descriptor it forgot (-1 if none) without
// closing it. Must not race with from_entropy.
int reset_entropy_state();

// The real calls.
const EntropySyscalls& system_entropy_syscalls();

// Installs `table` (which must outlive its use) in place of the real calls;
// nullptr restores them. Must not race with from_entropy.
void set_entropy_syscalls(const EntropySyscalls* table);

}  // namespace corvalinth::runtime::testing
