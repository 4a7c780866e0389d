// Operating-system entropy for a RandomSource: getrandom, or the random devices.
#include "runtime/random/entropy.hpp"

#include <fcntl.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "runtime/interface_texts.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/random/entropy_syscalls.hpp"
#include "runtime/random/random_testing.hpp"

namespace corvalinth::runtime {
namespace {

using entropy_detail::GetrandomSupport;

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kErrorTextBytes = 128;

// Read and written without a lock: every writer stores the same outcome.
std::atomic<GetrandomSupport> g_getrandom_support{GetrandomSupport::unprobed};
// -1: none. Once set it stays open for the life of the process.
std::atomic<int> g_urandom_descriptor{-1};
// Constant-initialised, so usable from any thread at any time.
constinit std::mutex g_urandom_lock;

[[noreturn]] void fail(const std::string& cause) { throw InternalFailure(texts::kEntropyFailed + cause); }

[[noreturn]] void fail_unexpected() { fail(texts::kEntropyUnexpected); }

// A failed call whose errno was `error_number`.
[[noreturn]] void fail_errno(int error_number) {
    if (error_number <= 0) fail(texts::kEntropyNoErrno);
    fail(entropy_detail::describe_os_error(error_number));
}

GetrandomSupport probe_getrandom(const EntropySyscalls& sys) {
    // A zero-length request with a valid pointer: no bytes, only whether the
    // kernel knows the call and lets us make it.
    char dummy = 0;
    const long result = sys.getrandom(&dummy, 0, 0);
    if (result >= 0) return GetrandomSupport::available;
    const int error_number = sys.last_errno();
    if (error_number > 0 && (error_number == ENOSYS || error_number == EPERM)) {
        return GetrandomSupport::unavailable;
    }
    return GetrandomSupport::available;
}

// Calls `request(buffer + filled, rest)` until the buffer is full. A
// positive result no larger than asked advances; -1 with EINTR retries.
template <class Request>
void fill(const EntropySyscalls& sys, unsigned char* buffer, std::size_t length, Request&& request) {
    std::size_t filled = 0;
    while (filled < length) {
        const std::size_t rest = length - filled;
        const long result = request(buffer + filled, rest);
        if (result > 0) {
            if (static_cast<unsigned long>(result) > rest) fail_unexpected();
            filled += static_cast<std::size_t>(result);
        } else if (result == -1) {
            const int error_number = sys.last_errno();
            if (error_number == EINTR) continue;
            fail_errno(error_number);
        } else {
            fail_unexpected();
        }
    }
}

int open_retrying(const EntropySyscalls& sys, const char* path) {
    for (;;) {
        const int fd = sys.open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        const int error_number = sys.last_errno();
        if (error_number != EINTR) fail_errno(error_number);
    }
}

// 0 once "/dev/random" is readable, else the errno of the failed poll.
int wait_until_ready(const EntropySyscalls& sys, int random_fd) {
    for (;;) {
        pollfd entry{random_fd, POLLIN, 0};
        if (sys.poll(&entry, 1, -1) >= 0) return 0;
        const int error_number = sys.last_errno();
        if (error_number != EINTR && error_number != EAGAIN) {
            // errno 0 after a failed poll must not read as success.
            return error_number != 0 ? error_number : -1;
        }
    }
}

int urandom_descriptor(const EntropySyscalls& sys) {
    int fd = g_urandom_descriptor.load(std::memory_order_acquire);
    if (fd >= 0) return fd;

    std::lock_guard<std::mutex> guard(g_urandom_lock);
    fd = g_urandom_descriptor.load(std::memory_order_acquire);
    if (fd >= 0) return fd;

    const int random_fd = open_retrying(sys, texts::kRandomDevice);
    const int poll_error = wait_until_ready(sys, random_fd);
    // Closed whatever the poll's outcome. Its own result is not a reason to
    // fail: on Linux the descriptor is released even when close reports an
    // error, and it was opened only to wait on.
    sys.close(random_fd);
    if (poll_error != 0) fail_errno(poll_error);

    fd = open_retrying(sys, texts::kUrandomDevice);
    g_urandom_descriptor.store(fd, std::memory_order_release);
    return fd;
}

void obtain_bytes(unsigned char* buffer, std::size_t length) {
    const EntropySyscalls& sys = entropy_syscalls();

    GetrandomSupport support = g_getrandom_support.load(std::memory_order_relaxed);
    if (support == GetrandomSupport::unprobed) {
        support = probe_getrandom(sys);
        g_getrandom_support.store(support, std::memory_order_relaxed);
    }

    if (support == GetrandomSupport::available) {
        fill(sys, buffer, length, [&](unsigned char* at, std::size_t n) { return sys.getrandom(at, n, 0); });
        return;
    }
    const int fd = urandom_descriptor(sys);
    fill(sys, buffer, length, [&](unsigned char* at, std::size_t n) { return sys.read(fd, at, n); });
}

}  // namespace

RandomSource from_entropy() {
    std::array<unsigned char, kKeyBytes> bytes{};
    obtain_bytes(bytes.data(), bytes.size());
    RandomSource::Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint32_t>(bytes[4 * i]) | (static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8) |
                 (static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16) |
                 (static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24);
    }
    return RandomSource::from_key(key);
}

namespace testing {

GetrandomSupport getrandom_support() { return g_getrandom_support.load(std::memory_order_relaxed); }

int urandom_descriptor() { return g_urandom_descriptor.load(std::memory_order_acquire); }

int reset_entropy_state() {
    g_getrandom_support.store(GetrandomSupport::unprobed, std::memory_order_relaxed);
    return g_urandom_descriptor.exchange(-1, std::memory_order_acq_rel);
}

}  // namespace testing

namespace entropy_detail {

std::string describe_os_error(int error_number) {
    std::array<char, kErrorTextBytes> text{};
    const int status = entropy_syscalls().strerror(error_number, text.data(), text.size());
    const std::size_t length = ::strnlen(text.data(), text.size());
    if (status != 0 || !is_valid_utf8(text.data(), length)) {
        return texts::kOsErrorBefore + std::to_string(error_number);
    }
    return std::string(text.data(), length);
}

bool is_valid_utf8(const char* bytes, std::size_t length) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < length) {
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        std::uint32_t lowest;  // smallest code point allowed for this length
        std::uint32_t cp;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, lowest = 0x80, cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, lowest = 0x800, cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, lowest = 0x10000, cp = lead & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = s[i + k];
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace entropy_detail

}  // namespace corvalinth::runtime
