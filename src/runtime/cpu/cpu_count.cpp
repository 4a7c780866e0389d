#include "runtime/cpu/cpu_count.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string_view>
#include <vector>

#include "runtime/env_setting.hpp"

namespace corvalinth::runtime {
namespace {

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return content;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(sep, from);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(from));
            return parts;
        }
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
}

// The non-empty components of a slash-separated path.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> out;
    for (std::string_view part : split(path, '/'))
        if (!part.empty()) out.push_back(part);
    return out;
}

std::string join(std::string base, const std::vector<std::string_view>& parts, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        base += '/';
        base += parts[i];
    }
    return base;
}

std::string_view trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> parse_count(std::string_view text) {
    const auto value = parse_unsigned_setting(text);
    if (!value) return std::nullopt;
    return static_cast<std::size_t>(*value);
}

void lower_quota(std::size_t& quota, std::optional<std::size_t> limit, std::optional<std::size_t> period) {
    if (limit && period && *period > 0) quota = std::min(quota, *limit / *period);
}

enum class Version { none, v1, v2 };

struct Membership {
    Version version = Version::none;
    std::string group;  // without its leading '/'
};

Membership find_membership(const std::string& content) {
    Membership v2;
    for (std::string_view line : split(content, '\n')) {
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (!path.empty() && path.front() == '/') path.remove_prefix(1);
        if (controllers.empty()) {
            if (v2.version == Version::none) v2 = Membership{Version::v2, std::string(path)};
            continue;
        }
        for (std::string_view name : split(controllers, ','))
            if (name == "cpu") return Membership{Version::v1, std::string(path)};
    }
    return v2;
}

std::size_t quota_v2(const std::string& root, const std::string& group) {
    std::size_t quota = kUnlimited;
    const std::string base = root + "/sys/fs/cgroup";
    const auto parts = components(group);
    if (!exists(join(base, parts, parts.size()) + "/cgroup.controllers")) return quota;
    for (std::size_t level = parts.size() + 1; level-- > 0;) {
        const auto content = read_file(join(base, parts, level) + "/cpu.max");
        if (!content) continue;
        const std::string_view line = split(*content, '\n').front();
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) continue;
        lower_quota(quota, parse_count(line.substr(0, space)), parse_count(line.substr(space + 1)));
    }
    return quota;
}

// The mount point listed in mountinfo for the cpu controller whose root is a
// leading part of `group`, with `group` made relative to that root.
std::optional<std::pair<std::string, std::string>> mountinfo_candidate(const std::string& root,
                                                                       const std::string& group) {
    const auto content = read_file(root + "/proc/self/mountinfo");
    if (!content) return std::nullopt;
    const auto group_parts = components(group);
    for (std::string_view raw : split(*content, '\n')) {
        const auto fields = split(trim(raw), ' ');
        if (fields.size() < 7) continue;
        const std::string_view fs_type = fields[fields.size() - 3];
        if (fs_type != "cgroup") continue;
        bool has_cpu = false;
        for (std::string_view option : split(fields.back(), ','))
            if (option == "cpu") has_cpu = true;
        if (!has_cpu) continue;
        const auto root_parts = components(fields[3]);
        if (root_parts.size() > group_parts.size() ||
            !std::equal(root_parts.begin(), root_parts.end(), group_parts.begin()))
            continue;
        std::string relative;
        for (std::size_t i = root_parts.size(); i < group_parts.size(); ++i) {
            if (!relative.empty()) relative += '/';
            relative += group_parts[i];
        }
        return std::make_pair(std::string(fields[4]), relative);
    }
    return std::nullopt;
}

std::size_t quota_v1(const std::string& root, const std::string& group) {
    std::size_t quota = kUnlimited;
    std::optional<std::pair<std::string, std::string>> chosen;
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        const auto parts = components(group);
        if (exists(join(root + mount, parts, parts.size()))) {
            chosen = std::make_pair(std::string(mount), group);
            break;
        }
    }
    if (!chosen) {
        chosen = mountinfo_candidate(root, group);
        if (chosen) {
            const auto parts = components(chosen->second);
            if (!exists(join(root + chosen->first, parts, parts.size()))) chosen.reset();
        }
    }
    if (!chosen) return quota;
    const auto parts = components(chosen->second);
    for (std::size_t level = parts.size() + 1; level-- > 0;) {
        const std::string dir = join(root + chosen->first, parts, level);
        const auto quota_us = read_file(dir + "/cpu.cfs_quota_us");
        const auto period_us = read_file(dir + "/cpu.cfs_period_us");
        if (!quota_us || !period_us) continue;
        lower_quota(quota, parse_count(trim(*quota_us)), parse_count(trim(*period_us)));
    }
    return quota;
}

}  // namespace

namespace cpu_count_detail {

std::optional<std::size_t> cgroup_quota(const std::string& root) {
    const auto content = read_file(root + "/proc/self/cgroup");
    if (!content) return std::nullopt;
    const Membership membership = find_membership(*content);
    std::size_t quota = kUnlimited;
    if (membership.version == Version::v1) quota = quota_v1(root, membership.group);
    if (membership.version == Version::v2) quota = quota_v2(root, membership.group);
    if (quota == kUnlimited) return std::nullopt;
    return quota;
}

std::optional<std::size_t> cpu_count_from(std::optional<std::size_t> affinity, long online, const std::string& root) {
    std::size_t quota = cgroup_quota(root).value_or(kUnlimited);
    if (quota == 0) quota = 1;
    if (affinity && *affinity > 0) return std::min(*affinity, quota);
    if (online <= 0) return std::nullopt;  // -1: unknown; 0: no processor online
    return std::min(static_cast<std::size_t>(online), quota);
}

}  // namespace cpu_count_detail

std::optional<std::size_t> cpu_count() {
    std::optional<std::size_t> affinity;
    unsigned char mask[128] = {};
    if (::sched_getaffinity(0, sizeof mask, reinterpret_cast<cpu_set_t*>(mask)) == 0) {
        std::size_t bits = 0;
        for (unsigned char byte : mask) bits += static_cast<std::size_t>(__builtin_popcount(byte));
        if (bits > 0) affinity = bits;
    }
    const long online = affinity ? 0 : ::sysconf(_SC_NPROCESSORS_ONLN);
    return cpu_count_detail::cpu_count_from(affinity, online, "");
}

}  // namespace corvalinth::runtime
