// The diagnostic report of an internal failure on standard error, and the abort at the boundary.
#include "binding/diagnostics.hpp"

#include <cstdio>
#include <cstdlib>

#include "binding/interface_texts.hpp"

namespace corvalinth::binding {

void report_internal_failure(std::string_view message) noexcept {
    std::fprintf(stderr, "corvalinth: internal failure: %.*s\n", static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

void abort_at_boundary() noexcept {
    std::fputs(texts::kUncaughtPanic, stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace corvalinth::binding
