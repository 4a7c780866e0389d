#pragma once
// The worker pool's process-wide settings: how many workers it starts and the stack each asks for.
#include <cstddef>
#include <optional>

namespace corvalinth::runtime {

inline constexpr std::size_t kMaxWorkerThreads = 65535;
inline constexpr std::size_t kDefaultWorkerStack = 2 * 1024 * 1024;

// The worker count from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset). The first valid value above 0 wins; a valid 0 in the
// first variable, or nothing usable in either, means `cpu_count()`, and 1
// when that cannot be determined. Capped at kMaxWorkerThreads.
std::size_t worker_count_from(const char* num_threads, const char* rs_num_cpus,
                              std::optional<std::size_t> (*cpu_count)());

// worker_count_from applied to the current environment and the real CPU count.
std::size_t worker_count_from_environment();

// The stack size workers ask for: RUST_MIN_STACK when set and valid, else
// kDefaultWorkerStack. Read on the first call only; later calls return the
// same value for the life of the process.
std::size_t requested_worker_stack();

// The requested stack size for a given RUST_MIN_STACK value (null: unset).
std::size_t requested_worker_stack_from(const char* rust_min_stack);

}  // namespace corvalinth::runtime
