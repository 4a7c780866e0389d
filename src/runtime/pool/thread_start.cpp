// Starting a detached worker thread with its stack size, and the pool's rendering of system errors.
#include "runtime/pool/thread_start.hpp"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <dlfcn.h>
#include <limits.h>
#include <string.h>

#include "runtime/pool/pool_testing.hpp"

namespace corvalinth::runtime {
namespace {

std::atomic<testing::ThreadCreateFn> g_create{nullptr};

// The thread library's minimum stack for these attributes (it accounts for
// the guard page and thread-local storage), when it reports one.
std::size_t minimum_stack(const pthread_attr_t* attr) {
    using MinStackFn = std::size_t (*)(const pthread_attr_t*);
    static const auto reported = reinterpret_cast<MinStackFn>(::dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
    if (reported != nullptr) return reported(attr);
#ifdef PTHREAD_STACK_MIN
    return static_cast<std::size_t>(PTHREAD_STACK_MIN);
#else
    return 16384;
#endif
}

// Sets the stack size on `attr`; 0 or the error number.
int apply_stack_size(pthread_attr_t* attr, std::size_t requested, std::size_t& applied) {
    std::size_t size = requested;
    const std::size_t minimum = minimum_stack(attr);
    if (size < minimum) size = minimum;
    int rc = ::pthread_attr_setstacksize(attr, size);
    if (rc == EINVAL) {
        const long page_result = ::sysconf(_SC_PAGESIZE);
        const std::size_t page = page_result > 0 ? static_cast<std::size_t>(page_result) : 4096;
        if (size > static_cast<std::size_t>(-1) - (page - 1)) return EINVAL;
        size = (size + page - 1) / page * page;
        rc = ::pthread_attr_setstacksize(attr, size);
    }
    if (rc == 0) applied = size;
    return rc;
}

const char* error_kind(int e) {
    switch (e) {
        case E2BIG: return "ArgumentListTooLong";
        case EADDRINUSE: return "AddrInUse";
        case EADDRNOTAVAIL: return "AddrNotAvailable";
        case EBUSY: return "ResourceBusy";
        case ECONNABORTED: return "ConnectionAborted";
        case ECONNREFUSED: return "ConnectionRefused";
        case ECONNRESET: return "ConnectionReset";
        case EDEADLK: return "Deadlock";
        case EDQUOT: return "FilesystemQuotaExceeded";
        case EEXIST: return "AlreadyExists";
        case EFBIG: return "FileTooLarge";
        case EHOSTUNREACH: return "HostUnreachable";
        case EINTR: return "Interrupted";
        case EINVAL: return "InvalidInput";
        case EISDIR: return "IsADirectory";
        case ELOOP: return "FilesystemLoop";
        case ENOENT: return "NotFound";
        case ENOMEM: return "OutOfMemory";
        case ENOSPC: return "StorageFull";
        case ENOSYS: return "Unsupported";
        case EMLINK: return "TooManyLinks";
        case ENAMETOOLONG: return "InvalidFilename";
        case ENETDOWN: return "NetworkDown";
        case ENETUNREACH: return "NetworkUnreachable";
        case ENOTCONN: return "NotConnected";
        case ENOTDIR: return "NotADirectory";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EPIPE: return "BrokenPipe";
        case EROFS: return "ReadOnlyFilesystem";
        case ESPIPE: return "NotSeekable";
        case ESTALE: return "StaleNetworkFileHandle";
        case ETIMEDOUT: return "TimedOut";
        case ETXTBSY: return "ExecutableFileBusy";
        case EXDEV: return "CrossesDevices";
        case EINPROGRESS: return "InProgress";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EAGAIN: return "WouldBlock";
        default: return "Uncategorized";
    }
}

// Debug-style quoting of the system's text.
std::string quoted(const char* text) {
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\u{";
            if (c >= 0x10) out += hex[c >> 4];
            out += hex[c & 15];
            out += '}';
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

long effective_stack_size(std::size_t requested_stack, int& error) {
    pthread_attr_t attr;
    error = ::pthread_attr_init(&attr);
    if (error != 0) return -1;
    std::size_t applied = 0;
    error = apply_stack_size(&attr, requested_stack, applied);
    ::pthread_attr_destroy(&attr);
    return error == 0 ? static_cast<long>(applied) : -1;
}

int start_detached_thread(void* (*entry)(void*), void* argument, std::size_t requested_stack) {
    pthread_attr_t attr;
    int rc = ::pthread_attr_init(&attr);
    if (rc != 0) return rc;
    std::size_t applied = 0;
    rc = apply_stack_size(&attr, requested_stack, applied);
    if (rc == 0) {
        const testing::ThreadCreateFn create = g_create.load();
        pthread_t thread;
        rc = create != nullptr ? create(&thread, &attr, entry, argument)
                               : ::pthread_create(&thread, &attr, entry, argument);
        if (rc == 0) ::pthread_detach(thread);
    }
    ::pthread_attr_destroy(&attr);
    return rc;
}

void testing::set_thread_create(testing::ThreadCreateFn create) { g_create.store(create); }

std::string render_os_error(int error_number) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, in `buffer` or static.
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
    return "Os { code: " + std::to_string(error_number) + ", kind: " + error_kind(error_number) +
           ", message: " + quoted(text) + " }";
}

bool is_unsupported_error(int error_number) { return error_number == ENOSYS || error_number == EOPNOTSUPP; }

bool is_resource_exhaustion(int error_number) { return error_number == EAGAIN || error_number == ENOMEM; }

}  // namespace corvalinth::runtime
