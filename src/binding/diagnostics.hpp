#pragma once
// The report written to standard error when an internal failure reaches the
// interpreter boundary, and the last-resort abort of the boundary trap.
#include <string_view>

namespace corvalinth::binding {

// One line: "corvalinth: internal failure: <message>".
void report_internal_failure(std::string_view message) noexcept;

// The boundary could not turn a failure into a Python exception: writes
// "uncaught panic at ffi boundary" to standard error and aborts the process.
[[noreturn]] void abort_at_boundary() noexcept;

}  // namespace corvalinth::binding
