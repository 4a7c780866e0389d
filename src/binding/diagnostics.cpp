#include "binding/diagnostics.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvalinth::binding {

void report_internal_failure(std::string_view message) noexcept {
    std::fprintf(stderr, "corvalinth: internal failure: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace corvalinth::binding
