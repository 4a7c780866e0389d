// The CPU count against fake "/proc/self" and "/sys/fs/cgroup" trees built in
// a temporary directory.
#include "runtime/cpu/cpu_count.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using corvalinth::runtime::cpu_count;
using corvalinth::runtime::cpu_count_detail::cgroup_quota;
using corvalinth::runtime::cpu_count_detail::cpu_count_from;

namespace {

class FakeRoot {
public:
    FakeRoot() {
        char pattern[] = "/tmp/corvalinth-cpu-XXXXXX";
        root_ = ::mkdtemp(pattern);
    }
    ~FakeRoot() { fs::remove_all(root_); }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    const std::string& path() const { return root_; }

    // Writes `content` to the absolute path `file` below the fake root.
    FakeRoot& file(const std::string& file, const std::string& content) {
        const fs::path full = root_ + file;
        fs::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << content;
        return *this;
    }
    // The version-1 quota files of a group directory.
    FakeRoot& v1_quota(const std::string& dir, const std::string& quota_us, const std::string& period_us) {
        return file(dir + "/cpu.cfs_quota_us", quota_us).file(dir + "/cpu.cfs_period_us", period_us);
    }
    FakeRoot& dir(const std::string& dir) {
        fs::create_directories(root_ + dir);
        return *this;
    }

private:
    std::string root_;
};

const std::string kV2 = "/sys/fs/cgroup";

struct V2Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> cpu_max;  // directory below /sys/fs/cgroup -> content
    std::optional<std::size_t> expected_quota;
    std::size_t expected_count;  // with 8 CPUs in the affinity mask
};

class CgroupV2 : public ::testing::TestWithParam<V2Case> {};

TEST_P(CgroupV2, QuotaLimitsTheAffinityCount) {
    const V2Case& c = GetParam();
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/user.slice/app.scope\n");
    root.file(kV2 + "/user.slice/app.scope/cgroup.controllers", "cpuset cpu io memory\n");
    for (const auto& [dir, content] : c.cpu_max) root.file(kV2 + dir + "/cpu.max", content);
    EXPECT_EQ(cgroup_quota(root.path()), c.expected_quota);
    EXPECT_EQ(cpu_count_from(8, 0, root.path()), std::optional<std::size_t>(c.expected_count));
}

INSTANTIATE_TEST_SUITE_P(
    Files, CgroupV2,
    ::testing::Values(
        V2Case{"TwoWholeCpus", {{"/user.slice/app.scope", "200000 100000\n"}}, 2, 2},
        V2Case{"MaxIsUnlimited", {{"/user.slice/app.scope", "max 100000\n"}}, std::nullopt, 8},
        V2Case{"HalfACpuRoundsToOne", {{"/user.slice/app.scope", "50000 100000\n"}}, 0, 1},
        V2Case{"RoundsDown", {{"/user.slice/app.scope", "350000 100000"}}, 3, 3},
        V2Case{"MoreThanTheMask", {{"/user.slice/app.scope", "1600000 100000\n"}}, 16, 8},
        V2Case{"ZeroPeriodIgnored", {{"/user.slice/app.scope", "200000 0\n"}}, std::nullopt, 8},
        V2Case{"NoPeriodIgnored", {{"/user.slice/app.scope", "200000\n"}}, std::nullopt, 8},
        V2Case{"OnlyFirstLineRead", {{"/user.slice/app.scope", "max 100000\n100000 100000\n"}}, std::nullopt, 8},
        V2Case{"GarbageIgnored", {{"/user.slice/app.scope", "-5 100000\n"}}, std::nullopt, 8},
        V2Case{"ParentLimits", {{"/user.slice/app.scope", "max 100000\n"}, {"/user.slice", "300000 100000\n"}}, 3, 3},
        V2Case{
            "MinimumOverLevels",
            {{"/user.slice/app.scope", "500000 100000\n"}, {"/user.slice", "300000 100000\n"}, {"", "400000 100000\n"}},
            3,
            3},
        V2Case{"TopLevelDirectoryIncluded", {{"", "200000 100000\n"}}, 2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CgroupV2Files, MissingControllersFileMeansNoQuota) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/grp\n").file(kV2 + "/grp/cpu.max", "100000 100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), std::nullopt);
    EXPECT_EQ(cpu_count_from(8, 0, root.path()), 8u);
}

TEST(CgroupV2Files, GroupPathMayContainColons) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/pod:a1/ctr:b2\n")
        .file(kV2 + "/pod:a1/ctr:b2/cgroup.controllers", "cpu\n")
        .file(kV2 + "/pod:a1/ctr:b2/cpu.max", "300000 100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 3u);
}

TEST(CgroupV2Files, RootGroup) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/\n")
        .file(kV2 + "/cgroup.controllers", "cpu\n")
        .file(kV2 + "/cpu.max", "200000 100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 2u);
}

TEST(CgroupFiles, NoCgroupFileMeansNoQuota) {
    FakeRoot root;
    root.file(kV2 + "/cgroup.controllers", "cpu\n").file(kV2 + "/cpu.max", "100000 100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), std::nullopt);
    EXPECT_EQ(cpu_count_from(8, 0, root.path()), 8u);
}

TEST(CgroupFiles, MalformedLinesAreIgnored) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "garbage\n5:cpu\n\n7:memory:/elsewhere\n0::/grp\n")
        .file(kV2 + "/grp/cgroup.controllers", "cpu\n")
        .file(kV2 + "/grp/cpu.max", "200000 100000\n")
        .v1_quota("/sys/fs/cgroup/cpu", "100000\n", "100000\n");
    // "5:cpu" has no path field: it is not a version-1 membership.
    EXPECT_EQ(cgroup_quota(root.path()), 2u);
}

TEST(CgroupFiles, VersionOneIsPreferredOverVersionTwo) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/two\n4:cpu,cpuacct:/one\n")
        .file(kV2 + "/two/cgroup.controllers", "cpu\n")
        .file(kV2 + "/two/cpu.max", "100000 100000\n")
        .v1_quota("/sys/fs/cgroup/cpu,cpuacct/one", "300000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 3u);
}

struct V1Case {
    const char* name;
    std::string quota_us;
    std::string period_us;
    std::optional<std::size_t> expected_quota;
};

class CgroupV1 : public ::testing::TestWithParam<V1Case> {};

TEST_P(CgroupV1, QuotaFiles) {
    const V1Case& c = GetParam();
    FakeRoot root;
    root.file("/proc/self/cgroup", "9:cpuacct,cpu:/docker/abc\n")
        .file("/sys/fs/cgroup/cpu/docker/abc/cpu.cfs_quota_us", c.quota_us)
        .file("/sys/fs/cgroup/cpu/docker/abc/cpu.cfs_period_us", c.period_us);
    EXPECT_EQ(cgroup_quota(root.path()), c.expected_quota);
    const std::size_t count =
        c.expected_quota ? std::min<std::size_t>(8, std::max<std::size_t>(1, *c.expected_quota)) : 8;
    EXPECT_EQ(cpu_count_from(8, 0, root.path()), count);
}

INSTANTIATE_TEST_SUITE_P(Files, CgroupV1,
                         ::testing::Values(V1Case{"MinusOneIsUnlimited", "-1\n", "100000\n", std::nullopt},
                                           V1Case{"TwoCpus", "200000\n", "100000\n", 2},
                                           V1Case{"SurroundingSpaceTrimmed", "  400000 \n", "\t100000\n", 4},
                                           V1Case{"BelowOneCpu", "20000\n", "100000\n", 0},
                                           V1Case{"ZeroPeriod", "200000\n", "0\n", std::nullopt},
                                           V1Case{"InnerSpaceRefused", "200 000\n", "100000\n", std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CgroupV1Files, WalksUpToTheMountPoint) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "3:cpu:/a/b\n")
        .v1_quota("/sys/fs/cgroup/cpu/a/b", "-1\n", "100000\n")
        .v1_quota("/sys/fs/cgroup/cpu/a", "500000\n", "100000\n")
        .v1_quota("/sys/fs/cgroup/cpu", "200000\n", "100000\n")
        // Above the mount point: never read.
        .v1_quota("/sys/fs/cgroup", "100000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 2u);
}

TEST(CgroupV1Files, OnlyTheFirstExistingCandidateIsUsed) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "3:cpu:/grp\n")
        .dir("/sys/fs/cgroup/cpu/grp")
        .v1_quota("/sys/fs/cgroup/cpu,cpuacct/grp", "100000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), std::nullopt);
}

TEST(CgroupV1Files, SecondCandidateWhenTheFirstIsMissing) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "3:cpu:/grp\n")
        .dir("/sys/fs/cgroup/cpu")  // mount point without the group
        .v1_quota("/sys/fs/cgroup/cpu,cpuacct/grp", "300000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 3u);
}

TEST(CgroupV1Files, MountinfoCandidateMatchesWholeComponentsOfTheRoot) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "3:cpu,cpuacct:/parent/child\n")
        .file("/proc/self/mountinfo",
              "too short line\n"
              "30 25 0:26 /parent /mnt/wrong-type rw - cgroup2 cgroup2 rw,cpu\n"
              "31 25 0:27 /parent /mnt/no-cpu rw,nosuid - cgroup cgroup rw,cpuacct\n"
              "32 25 0:28 /par /mnt/partial-name rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n"
              "  33 25 0:29 /parent /mnt/cg rw,nosuid shared:9 - cgroup cgroup rw,cpu,cpuacct  \n"
              "34 25 0:30 / /mnt/later rw - cgroup cgroup rw,cpu\n")
        .v1_quota("/mnt/partial-name/ent/child", "100000\n", "100000\n")
        .v1_quota("/mnt/later/parent/child", "100000\n", "100000\n")
        .v1_quota("/mnt/cg/child", "-1\n", "100000\n")
        .v1_quota("/mnt/cg", "600000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), 6u);
}

TEST(CgroupV1Files, MountinfoCandidateWithoutTheGroupDirectoryGivesNoQuota) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "3:cpu:/grp\n")
        .file("/proc/self/mountinfo", "33 25 0:29 / /mnt/cg rw - cgroup cgroup rw,cpu\n")
        .v1_quota("/mnt/cg", "100000\n", "100000\n");
    EXPECT_EQ(cgroup_quota(root.path()), std::nullopt);
}

TEST(CpuCountInputs, OnlineProcessorsWhenTheMaskIsUnavailable) {
    FakeRoot root;
    root.file("/proc/self/cgroup", "0::/g\n")
        .file(kV2 + "/g/cgroup.controllers", "cpu\n")
        .file(kV2 + "/g/cpu.max", "200000 100000\n");
    EXPECT_EQ(cpu_count_from(std::nullopt, 4, root.path()), 2u);
    EXPECT_EQ(cpu_count_from(std::nullopt, 1, root.path()), 1u);
    EXPECT_EQ(cpu_count_from(0, 6, root.path()), 2u);  // an empty mask counts as unavailable
    EXPECT_EQ(cpu_count_from(std::nullopt, -1, root.path()), std::nullopt);
    EXPECT_EQ(cpu_count_from(std::nullopt, 0, root.path()), std::nullopt);
    EXPECT_EQ(cpu_count_from(std::nullopt, 3, "/nonexistent-root"), 3u);
}

TEST(CpuCountReal, AgreesWithTheAffinityMaskAndTheRealCgroupFiles) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    const std::size_t mask = static_cast<std::size_t>(CPU_COUNT(&set));
    const auto count = cpu_count();
    ASSERT_TRUE(count.has_value());
    EXPECT_GE(*count, 1u);
    EXPECT_LE(*count, mask);
    EXPECT_EQ(count, cpu_count_from(mask, 0, ""));
}

}  // namespace
