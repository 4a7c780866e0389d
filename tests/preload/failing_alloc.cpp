// Test-only preload library: fails chosen allocations made by one shared object.
//
// Loaded with LD_PRELOAD in front of the C library (and of the sanitizer
// runtimes, when they are used), it interposes the C allocation functions and
// every form of operator new. An allocation counts when it is made on behalf
// of the target object: its caller lies in the target, or its caller lies in
// the C++ runtime library and a frame of the target is among the few frames
// above (a std::string growing, an exception being allocated). While armed,
// counted allocations are numbered from 1; the N-th fails (once), or every
// one from the N-th on (persistently). Failing means returning null from the
// C functions and the nothrow forms, and throwing std::bad_alloc from the
// others. Everything is forwarded to the next definition otherwise.
//
// Driven through ctypes from the test:
//   failing_alloc_target(fragment)  the loaded object whose path contains
//                                   `fragment`; returns 0, or -1 if none
//   failing_alloc_arm(n, persistent)
//   failing_alloc_arm_other_threads()  every allocation on any other thread
//                                   than this one fails, whoever the caller
//                                   (threads started meanwhile find no memory)
//   failing_alloc_disarm()          -> counted allocations while armed
//   failing_alloc_failures()        -> allocations failed while armed
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <new>
#include <unwind.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);
using PosixMemalignFn = int (*)(void**, std::size_t, std::size_t);
using AlignedAllocFn = void* (*)(std::size_t, std::size_t);
using NewFn = void* (*)(std::size_t);
using NewNothrowFn = void* (*)(std::size_t, const std::nothrow_t&);
using NewAlignedFn = void* (*)(std::size_t, std::align_val_t);
using NewAlignedNothrowFn = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&);

struct Next {
    MallocFn malloc;
    CallocFn calloc;
    ReallocFn realloc;
    FreeFn free;
    PosixMemalignFn posix_memalign;
    AlignedAllocFn aligned_alloc;
    AlignedAllocFn memalign;
    NewFn new_scalar;
    NewFn new_array;
    NewNothrowFn new_scalar_nothrow;
    NewNothrowFn new_array_nothrow;
    NewAlignedFn new_scalar_aligned;
    NewAlignedFn new_array_aligned;
    NewAlignedNothrowFn new_scalar_aligned_nothrow;
    NewAlignedNothrowFn new_array_aligned_nothrow;
};
Next next_fn;
std::atomic<bool> resolved{false};

// dlsym may allocate while the next functions are being looked up; those
// few requests are served from here and never freed.
alignas(64) unsigned char bootstrap[16384];
std::atomic<std::size_t> bootstrap_used{0};

void* bootstrap_alloc(std::size_t size) {
    const std::size_t rounded = (size + 63) & ~std::size_t{63};
    const std::size_t at = bootstrap_used.fetch_add(rounded);
    if (at + rounded > sizeof bootstrap) return nullptr;
    return bootstrap + at;
}

bool from_bootstrap(const void* p) {
    return p >= static_cast<const void*>(bootstrap) && p < static_cast<const void*>(bootstrap + sizeof bootstrap);
}

template <class T>
void lookup(T& slot, const char* name) {
    slot = reinterpret_cast<T>(::dlsym(RTLD_NEXT, name));
}

__thread bool resolving __attribute__((tls_model("initial-exec"))) = false;

void resolve() {
    if (resolved.load(std::memory_order_acquire)) return;
    resolving = true;
    Next n{};
    lookup(n.malloc, "malloc");
    lookup(n.calloc, "calloc");
    lookup(n.realloc, "realloc");
    lookup(n.free, "free");
    lookup(n.posix_memalign, "posix_memalign");
    lookup(n.aligned_alloc, "aligned_alloc");
    lookup(n.memalign, "memalign");
    lookup(n.new_scalar, "_Znwm");
    lookup(n.new_array, "_Znam");
    lookup(n.new_scalar_nothrow, "_ZnwmRKSt9nothrow_t");
    lookup(n.new_array_nothrow, "_ZnamRKSt9nothrow_t");
    lookup(n.new_scalar_aligned, "_ZnwmSt11align_val_t");
    lookup(n.new_array_aligned, "_ZnamSt11align_val_t");
    lookup(n.new_scalar_aligned_nothrow, "_ZnwmSt11align_val_tRKSt9nothrow_t");
    lookup(n.new_array_aligned_nothrow, "_ZnamSt11align_val_tRKSt9nothrow_t");
    next_fn = n;
    resolving = false;
    resolved.store(true, std::memory_order_release);
}

__attribute__((constructor)) void resolve_at_load() { resolve(); }

// The address ranges of the target and of the C++ runtime library.
struct Range {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool contains(std::uintptr_t a) const { return a >= begin && a < end; }
};
Range target_range;
Range cxx_runtime_range;

struct Search {
    const char* fragment;
    Range* out;
};

int find_object(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, search->fragment) == nullptr) return 0;
    Range range{UINTPTR_MAX, 0};
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
        if (begin < range.begin) range.begin = begin;
        if (begin + ph.p_memsz > range.end) range.end = begin + ph.p_memsz;
    }
    *search->out = range;
    return 1;
}

std::atomic<bool> armed{false};
std::atomic<long> fail_at{0};
std::atomic<bool> persistent{false};
std::atomic<long> counted{0};
std::atomic<long> failed{0};
std::atomic<bool> other_threads{false};
pthread_t armed_on;

// Nested allocations (operator new calling malloc) are not counted again.
__thread int depth __attribute__((tls_model("initial-exec"))) = 0;

constexpr int kFramesAbove = 8;

struct FrameScan {
    int seen = 0;
    bool found = false;
};

_Unwind_Reason_Code scan_frame(_Unwind_Context* context, void* data) {
    auto* scan = static_cast<FrameScan*>(data);
    if (target_range.contains(_Unwind_GetIP(context))) {
        scan->found = true;
        return _URC_END_OF_STACK;
    }
    return ++scan->seen >= kFramesAbove ? _URC_END_OF_STACK : _URC_NO_REASON;
}

bool on_behalf_of_target(const void* caller) {
    const auto address = reinterpret_cast<std::uintptr_t>(caller);
    if (target_range.contains(address)) return true;
    if (!cxx_runtime_range.contains(address)) return false;
    FrameScan scan;
    _Unwind_Backtrace(&scan_frame, &scan);
    return scan.found;
}

// True when this allocation must fail.
bool should_fail(const void* caller) {
    if (other_threads.load(std::memory_order_acquire) && !::pthread_equal(::pthread_self(), armed_on) && !resolving) {
        failed.fetch_add(1);
        return true;
    }
    if (!armed.load(std::memory_order_acquire) || depth > 0 || resolving) return false;
    ++depth;
    const bool counts = on_behalf_of_target(caller);
    --depth;
    if (!counts) return false;
    const long number = counted.fetch_add(1) + 1;
    const long at = fail_at.load();
    if (number == at || (persistent.load() && number > at)) {
        failed.fetch_add(1);
        return true;
    }
    return false;
}

// Runs a forwarded allocation with nested ones uncounted (also when it throws).
template <class F>
auto forwarded(F call) {
    struct Nested {
        Nested() { ++depth; }
        ~Nested() { --depth; }
    } nested;
    return call();
}

}  // namespace

EXPORT int failing_alloc_target(const char* fragment) {
    Range target;
    Search search{fragment, &target};
    if (::dl_iterate_phdr(&find_object, &search) == 0) return -1;
    Range cxx;
    Search runtime{"libstdc++", &cxx};
    ::dl_iterate_phdr(&find_object, &runtime);
    target_range = target;
    cxx_runtime_range = cxx;
    return 0;
}

EXPORT void failing_alloc_arm(long n, int from_then_on) {
    counted.store(0);
    failed.store(0);
    fail_at.store(n);
    persistent.store(from_then_on != 0);
    armed.store(true, std::memory_order_release);
}

EXPORT void failing_alloc_arm_other_threads() {
    failed.store(0);
    armed_on = ::pthread_self();
    other_threads.store(true, std::memory_order_release);
}

EXPORT long failing_alloc_disarm() {
    armed.store(false, std::memory_order_release);
    other_threads.store(false, std::memory_order_release);
    return counted.load();
}

EXPORT long failing_alloc_failures() { return failed.load(); }

EXPORT void* malloc(std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) {
        if (resolving) return bootstrap_alloc(size);
        resolve();
    }
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.malloc(size); });
}

EXPORT void* calloc(std::size_t count, std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) {
        if (resolving) return bootstrap_alloc(count * size);  // zeroed: static storage, never reused
        resolve();
    }
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.calloc(count, size); });
}

EXPORT void* realloc(void* p, std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) resolve();
    if (from_bootstrap(p)) {
        void* moved = malloc(size);
        if (moved != nullptr) std::memcpy(moved, p, size);
        return moved;
    }
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.realloc(p, size); });
}

EXPORT void free(void* p) {
    if (p == nullptr || from_bootstrap(p)) return;
    if (!resolved.load(std::memory_order_acquire)) resolve();
    next_fn.free(p);
}

EXPORT int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) resolve();
    if (should_fail(__builtin_return_address(0))) return ENOMEM;
    return forwarded([&] { return next_fn.posix_memalign(out, alignment, size); });
}

EXPORT void* aligned_alloc(std::size_t alignment, std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) resolve();
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.aligned_alloc(alignment, size); });
}

EXPORT void* memalign(std::size_t alignment, std::size_t size) {
    if (!resolved.load(std::memory_order_acquire)) resolve();
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.memalign(alignment, size); });
}

__attribute__((visibility("default"))) void* operator new(std::size_t size) {
    if (should_fail(__builtin_return_address(0))) throw std::bad_alloc();
    return forwarded([&] { return next_fn.new_scalar(size); });
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size) {
    if (should_fail(__builtin_return_address(0))) throw std::bad_alloc();
    return forwarded([&] { return next_fn.new_array(size); });
}

__attribute__((visibility("default"))) void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.new_scalar_nothrow(size, tag); });
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.new_array_nothrow(size, tag); });
}

__attribute__((visibility("default"))) void* operator new(std::size_t size, std::align_val_t alignment) {
    if (should_fail(__builtin_return_address(0))) throw std::bad_alloc();
    return forwarded([&] { return next_fn.new_scalar_aligned(size, alignment); });
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size, std::align_val_t alignment) {
    if (should_fail(__builtin_return_address(0))) throw std::bad_alloc();
    return forwarded([&] { return next_fn.new_array_aligned(size, alignment); });
}

__attribute__((visibility("default"))) void* operator new(std::size_t size, std::align_val_t alignment,
                                                          const std::nothrow_t& tag) noexcept {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.new_scalar_aligned_nothrow(size, alignment, tag); });
}

__attribute__((visibility("default"))) void* operator new[](std::size_t size, std::align_val_t alignment,
                                                            const std::nothrow_t& tag) noexcept {
    if (should_fail(__builtin_return_address(0))) return nullptr;
    return forwarded([&] { return next_fn.new_array_aligned_nothrow(size, alignment, tag); });
}
