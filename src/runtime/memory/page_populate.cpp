// Mapping a buffer's pages for writing in one request (Linux's MADV_POPULATE_WRITE).
#include "runtime/memory/page_populate.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corvalinth::runtime {

void populate_for_writing(void* data, std::size_t bytes) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
    constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14 and later; older kernels refuse it
#endif
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0 || data == nullptr) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    if (bytes > UINTPTR_MAX - begin) return;
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    if (last <= first) return;
    // A refusal (an old kernel, memory short for now) leaves the pages to be
    // mapped when first written.
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace corvalinth::runtime
