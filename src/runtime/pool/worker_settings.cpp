// The worker count and worker stack size, from the environment.
#include "runtime/pool/worker_settings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "runtime/cpu/cpu_count.hpp"
#include "runtime/env_setting.hpp"
#include "runtime/interface_texts.hpp"

namespace corvalinth::runtime {
namespace {

std::optional<std::uint64_t> parse_if_set(const char* value) {
    if (value == nullptr) return std::nullopt;
    return parse_unsigned_setting(value);
}

}  // namespace

std::size_t worker_count_from(const char* num_threads, const char* rs_num_cpus,
                              std::optional<std::size_t> (*cpu_count)()) {
    std::optional<std::uint64_t> chosen = parse_if_set(num_threads);
    if (!chosen) chosen = parse_if_set(rs_num_cpus);
    std::uint64_t count = chosen.value_or(0);
    if (count == 0) count = cpu_count().value_or(1);
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxWorkerThreads));
}

std::size_t worker_count_from_environment() {
    return worker_count_from(std::getenv(texts::kThreadsVariable), std::getenv(texts::kCpusVariable), &cpu_count);
}

std::size_t requested_worker_stack_from(const char* rust_min_stack) {
    const auto value = parse_if_set(rust_min_stack);
    if (!value) return kDefaultWorkerStack;
    return static_cast<std::size_t>(std::min<std::uint64_t>(*value, std::numeric_limits<std::size_t>::max()));
}

std::size_t requested_worker_stack() {
    static const std::size_t size = requested_worker_stack_from(std::getenv(texts::kStackVariable));
    return size;
}

}  // namespace corvalinth::runtime
