// Early set-up of the per-thread state that throwing and hand-offs need.
#include "runtime/pool/thread_setup.hpp"

#include <pthread.h>

#include <cstdlib>
#include <cxxabi.h>

#include "runtime/pool/completion_latch.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::runtime {
namespace {

// Free memory that must be available before the set-up may start: far more
// than the few hundred bytes the thread-local blocks and the destructor
// record of the latch take, so they are carved from what the probe freed.
constexpr std::size_t kHeadroom = 64 * 1024;

pthread_once_t key_once = PTHREAD_ONCE_INIT;
pthread_key_t ready_key;
bool key_made = false;
char ready_marker;

void make_key() { key_made = ::pthread_key_create(&ready_key, nullptr) == 0; }

// A thread-specific value is read without touching any thread-local block,
// unlike a thread_local flag, whose first read would itself allocate.
bool already_prepared() { return key_made && ::pthread_getspecific(ready_key) != nullptr; }

bool prepare(bool calling_thread) noexcept {
    ::pthread_once(&key_once, &make_key);
    if (already_prepared()) return true;
    void* probe = std::malloc(kHeadroom);
    if (probe == nullptr) return false;
    std::free(probe);
    // The C++ runtime's exception state (its thread-local block). The
    // function is declared without side effects, so its result is kept.
    abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
    (void)globals;
    // This library's thread-local block (any of its variables brings in all).
    const bool worker = on_worker_thread();
    // A calling thread's latch has a destructor, whose registration allocates.
    if (calling_thread && !worker) CompletionLatch::for_this_thread();
    // Without the flag (no key, or the key's storage could not grow) the
    // set-up is repeated on the next call, which is harmless.
    if (key_made) ::pthread_setspecific(ready_key, &ready_marker);
    return true;
}

}  // namespace

bool prepare_calling_thread() noexcept { return prepare(true); }

bool prepare_worker_thread() noexcept { return prepare(false); }

}  // namespace corvalinth::runtime
