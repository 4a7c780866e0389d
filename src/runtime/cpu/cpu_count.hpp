#pragma once
// The number of processors the process may usefully run on: the processors
// of its affinity mask (or, failing that, the online processors), limited by
// the CPU quota of its control group (version 1 or 2).
#include <cstddef>
#include <optional>
#include <string>

namespace corvalinth::runtime {

// A positive count, or nullopt when it cannot be determined.
std::optional<std::size_t> cpu_count();

namespace cpu_count_detail {

// The cgroup CPU quota in whole processors (limit / period, rounded down,
// minimum over every level read), or nullopt when no quota applies. `root`
// is prepended to every absolute path read ("/proc/self/cgroup",
// "/sys/fs/cgroup", the mount points of "/proc/self/mountinfo"); "" means
// the real file system.
std::optional<std::size_t> cgroup_quota(const std::string& root);

// The count from its inputs: `affinity` is the number of processors in the
// affinity mask (nullopt when it could not be read or is empty), `online`
// the result of sysconf(_SC_NPROCESSORS_ONLN), consulted only without an
// affinity count; the quota is read below `root`.
std::optional<std::size_t> cpu_count_from(std::optional<std::size_t> affinity, long online, const std::string& root);

}  // namespace cpu_count_detail
}  // namespace corvalinth::runtime
