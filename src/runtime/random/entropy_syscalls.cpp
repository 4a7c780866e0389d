// The real system calls behind the entropy source, and the table in use.
#include "runtime/random/entropy_syscalls.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "runtime/random/random_testing.hpp"

// The XSI form of strerror_r. With _GNU_SOURCE (which g++ always defines)
// <string.h> declares only the GNU form under the name strerror_r; glibc
// exports the XSI one under this name.
extern "C" int __xpg_strerror_r(int error_number, char* buffer, std::size_t length) noexcept;

namespace corvalinth::runtime {
namespace {

constexpr long kGetrandomSyscall = 318;
#ifdef SYS_getrandom
static_assert(SYS_getrandom == kGetrandomSyscall, "x86-64 getrandom system call number");
#endif

long sys_getrandom(void* buffer, std::size_t length, unsigned flags) {
    return ::syscall(kGetrandomSyscall, buffer, length, flags);
}

int sys_open(const char* path, int flags) { return ::open(path, flags); }

int sys_poll(pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }

int sys_close(int fd) { return ::close(fd); }

long sys_read(int fd, void* buffer, std::size_t length) { return ::read(fd, buffer, length); }

int sys_errno() { return errno; }

int sys_strerror(int error_number, char* buffer, std::size_t length) {
    return __xpg_strerror_r(error_number, buffer, length);
}

constexpr EntropySyscalls kSystemCalls{&sys_getrandom, &sys_open,  &sys_poll,    &sys_close,
                                       &sys_read,      &sys_errno, &sys_strerror};

std::atomic<const EntropySyscalls*> g_active{&kSystemCalls};

}  // namespace

const EntropySyscalls& entropy_syscalls() { return *g_active.load(std::memory_order_acquire); }

const EntropySyscalls& testing::system_entropy_syscalls() { return kSystemCalls; }

void testing::set_entropy_syscalls(const EntropySyscalls* table) {
    g_active.store(table != nullptr ? table : &kSystemCalls, std::memory_order_release);
}

}  // namespace corvalinth::runtime
