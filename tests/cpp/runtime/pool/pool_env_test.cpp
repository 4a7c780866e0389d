// Pool settings: parsing of the unsigned decimal settings, the worker count
// and stack size they give, and — in fresh child processes, because the pool
// is created once per process — the global pool's size, its worker stacks,
// the pool-creation failures and the single-thread fallback.
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/cpu/cpu_count.hpp"
#include "runtime/env_setting.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/pool_testing.hpp"
#include "runtime/pool/thread_start.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "runtime/pool/worker_settings.hpp"

namespace rt = corvalinth::runtime;

namespace {

// ---------------------------------------------------------------- parsing

struct ParseCase {
    std::string text;
    std::optional<std::uint64_t> expected;
};

class SettingParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SettingParse, Table) { EXPECT_EQ(rt::parse_unsigned_setting(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingParse,
    ::testing::Values(ParseCase{"4", 4}, ParseCase{"+4", 4}, ParseCase{"007", 7}, ParseCase{"+007", 7},
                      ParseCase{"0", 0}, ParseCase{"+0", 0}, ParseCase{"18446744073709551615", 18446744073709551615ull},
                      ParseCase{"000018446744073709551615", 18446744073709551615ull},
                      ParseCase{"18446744073709551616", std::nullopt}, ParseCase{"99999999999999999999", std::nullopt},
                      ParseCase{"", std::nullopt}, ParseCase{"+", std::nullopt}, ParseCase{"-", std::nullopt},
                      ParseCase{"-4", std::nullopt}, ParseCase{"-0", std::nullopt}, ParseCase{"++4", std::nullopt},
                      ParseCase{" 4", std::nullopt}, ParseCase{"4 ", std::nullopt}, ParseCase{"4\n", std::nullopt},
                      ParseCase{"abc", std::nullopt}, ParseCase{"4a", std::nullopt}, ParseCase{"0x10", std::nullopt},
                      ParseCase{"1e3", std::nullopt}, ParseCase{"1_000", std::nullopt},
                      ParseCase{"\xd9\xa4", std::nullopt},  // ARABIC-INDIC FOUR
                      ParseCase{"\xff"
                                "4",
                                std::nullopt},
                      ParseCase{std::string("4\0"
                                            "5",
                                            3),
                                std::nullopt}));

std::optional<std::size_t> five_cpus() { return 5; }
std::optional<std::size_t> unknown_cpus() { return std::nullopt; }

struct CountCase {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t with_five_cpus;
    std::size_t with_unknown_cpus;
};

class WorkerCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(WorkerCount, Table) {
    const CountCase& c = GetParam();
    EXPECT_EQ(rt::worker_count_from(c.num_threads, c.rs_num_cpus, &five_cpus), c.with_five_cpus);
    EXPECT_EQ(rt::worker_count_from(c.num_threads, c.rs_num_cpus, &unknown_cpus), c.with_unknown_cpus);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerCount,
    ::testing::Values(CountCase{nullptr, nullptr, 5, 1}, CountCase{"4", nullptr, 4, 4}, CountCase{"4", "3", 4, 4},
                      CountCase{"0", "2", 5, 1}, CountCase{"0", nullptr, 5, 1}, CountCase{"abc", "3", 3, 3},
                      CountCase{" 4", "3", 3, 3}, CountCase{"-4", "3", 3, 3}, CountCase{"abc", nullptr, 5, 1},
                      CountCase{"", "3", 3, 3}, CountCase{"\xff", "3", 3, 3}, CountCase{"abc", "0", 5, 1},
                      CountCase{"abc", "x", 5, 1}, CountCase{nullptr, "2", 2, 2}, CountCase{"+6", nullptr, 6, 6},
                      CountCase{"100000", nullptr, 65535, 65535}, CountCase{"65535", nullptr, 65535, 65535},
                      CountCase{"65536", nullptr, 65535, 65535}, CountCase{nullptr, "100000", 65535, 65535},
                      CountCase{"18446744073709551615", nullptr, 65535, 65535},
                      CountCase{"18446744073709551616", "7", 7, 7}));

TEST(WorkerStack, RequestedSize) {
    EXPECT_EQ(rt::requested_worker_stack_from(nullptr), 2097152u);
    EXPECT_EQ(rt::requested_worker_stack_from("abc"), 2097152u);
    EXPECT_EQ(rt::requested_worker_stack_from("-1"), 2097152u);
    EXPECT_EQ(rt::requested_worker_stack_from(""), 2097152u);
    EXPECT_EQ(rt::requested_worker_stack_from("+65536"), 65536u);
    EXPECT_EQ(rt::requested_worker_stack_from("0"), 0u);
    EXPECT_EQ(rt::requested_worker_stack_from("300001"), 300001u);
}

TEST(WorkerStack, RaisedToTheThreadLibraryMinimum) {
    int error = -1;
    const long minimum = rt::effective_stack_size(0, error);
    EXPECT_EQ(error, 0);
    EXPECT_GE(minimum, 16384);
    EXPECT_EQ(rt::effective_stack_size(1, error), minimum);
    EXPECT_EQ(rt::effective_stack_size(2097152, error), 2097152);
    const long odd = rt::effective_stack_size(1000001, error);
    EXPECT_EQ(error, 0);
    const long page = ::sysconf(_SC_PAGESIZE);
    // Either taken as is or rounded up to whole pages.
    EXPECT_TRUE(odd == 1000001 || odd == (1000001 + page - 1) / page * page) << odd;
}

TEST(OsErrorRendering, KnownErrors) {
    EXPECT_EQ(rt::render_os_error(EAGAIN),
              "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }");
    EXPECT_EQ(rt::render_os_error(ENOMEM), "Os { code: 12, kind: OutOfMemory, message: \"Cannot allocate memory\" }");
    EXPECT_EQ(rt::render_os_error(EPERM),
              "Os { code: 1, kind: PermissionDenied, message: \"Operation not permitted\" }");
    EXPECT_EQ(rt::render_os_error(EINVAL), "Os { code: 22, kind: InvalidInput, message: \"Invalid argument\" }");
    EXPECT_EQ(rt::render_os_error(ENOSYS), "Os { code: 38, kind: Unsupported, message: \"Function not implemented\" }");
    EXPECT_EQ(rt::render_os_error(EIO), "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }");
    EXPECT_EQ(rt::render_os_error(4242), "Os { code: 4242, kind: Uncategorized, message: \"Unknown error 4242\" }");
    EXPECT_TRUE(rt::is_unsupported_error(ENOSYS));
    EXPECT_TRUE(rt::is_unsupported_error(EOPNOTSUPP));
    EXPECT_FALSE(rt::is_unsupported_error(EAGAIN));
}

// ----------------------------------------------------- child processes

bool in_child() { return std::getenv("CORVALINTH_POOL_CHILD") != nullptr; }

struct ChildResult {
    int status = -1;
    std::map<std::string, std::string> values;  // "key=value" lines of stdout
    std::string output;
};

// Runs one test of this program in a fresh process with `env` changes
// (a null value unsets the variable).
ChildResult run_child(const std::string& test, const std::vector<std::pair<std::string, const char*>>& env) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        ::close(fds[1]);
        for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "RUST_MIN_STACK"}) ::unsetenv(name);
        ::setenv("CORVALINTH_POOL_CHILD", "1", 1);
        for (const auto& [name, value] : env) {
            if (value != nullptr)
                ::setenv(name.c_str(), value, 1);
            else
                ::unsetenv(name.c_str());
        }
        const std::string filter = "--gtest_filter=" + test;
        char* argv[] = {const_cast<char*>("child"), const_cast<char*>(filter.c_str()), nullptr};
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    ::close(fds[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, static_cast<std::size_t>(got));
    ::close(fds[0]);
    ::waitpid(pid, &result.status, 0);
    std::size_t from = 0;
    while (from < result.output.size()) {
        std::size_t end = result.output.find('\n', from);
        if (end == std::string::npos) end = result.output.size();
        const std::string line = result.output.substr(from, end - from);
        const std::size_t eq = line.find('=');
        if (line.rfind("@", 0) == 0 && eq != std::string::npos)
            result.values[line.substr(1, eq - 1)] = line.substr(eq + 1);
        from = end + 1;
    }
    return result;
}

void report(const std::string& key, const std::string& value) {
    std::printf("@%s=%s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
}

std::size_t thread_count_of_process() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

std::size_t own_stack_size() {
    pthread_attr_t attr;
    std::size_t size = 0;
    if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
        ::pthread_attr_getstacksize(&attr, &size);
        ::pthread_attr_destroy(&attr);
    }
    return size;
}

std::atomic<std::size_t> g_attr_stack{0};

int recording_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
    std::size_t size = 0;
    ::pthread_attr_getstacksize(attr, &size);
    g_attr_stack.store(size);
    return ::pthread_create(thread, attr, entry, arg);
}

// Child: the global pool's size, the process's threads, a worker's stack.
TEST(Child, GlobalPool) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    rt::testing::set_thread_create(&recording_create);
    report("computed", std::to_string(rt::worker_count_from_environment()));
    if (std::getenv("CORVALINTH_DO_NOT_START") != nullptr) return;
    report("workers", std::to_string(rt::pool_thread_count()));
    std::atomic<std::size_t> worker_stack{0};
    rt::parallel_for(64, [&](std::size_t, std::size_t) {
        if (rt::on_worker_thread()) worker_stack.store(own_stack_size());
    });
    report("tasks", std::to_string(thread_count_of_process()));
    report("stack", std::to_string(worker_stack.load()));
    report("attr_stack", std::to_string(g_attr_stack.load()));
}

std::atomic<int> g_creates{0};
int g_fail_at = 0;
int g_fail_count = 1;
int g_fail_errno = 0;

// Fails the starts numbered g_fail_at to g_fail_at + g_fail_count - 1.
int failing_create(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
    const int call = ++g_creates;
    if (g_fail_at > 0 && call >= g_fail_at && call < g_fail_at + g_fail_count) return g_fail_errno;
    return ::pthread_create(thread, attr, entry, arg);
}

int env_or(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : fallback;
}

// Child: pool creation with thread starts failing from the N-th on
// (CORVALINTH_FAIL_COUNT of them, default 1; N = 0: never), over
// CORVALINTH_ATTEMPTS loops (default 2) stating CORVALINTH_LOOP_WORK units of
// work (default: none stated).
TEST(Child, CreationWithFailingStart) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    g_fail_at = std::atoi(std::getenv("CORVALINTH_FAIL_AT"));
    g_fail_count = env_or("CORVALINTH_FAIL_COUNT", 1);
    g_fail_errno = std::atoi(std::getenv("CORVALINTH_FAIL_ERRNO"));
    rt::testing::set_thread_create(&failing_create);
    const std::size_t n = static_cast<std::size_t>(std::atoi(std::getenv("CORVALINTH_LOOP_SIZE")));
    const int attempts = env_or("CORVALINTH_ATTEMPTS", 2);
    const char* work_text = std::getenv("CORVALINTH_LOOP_WORK");
    const std::size_t work = work_text != nullptr ? std::strtoull(work_text, nullptr, 10) : rt::kUnstatedWork;
    std::size_t most_tasks = 0;
    bool installed = false;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        std::vector<std::string> leaves;
        std::mutex mutex;
        try {
            rt::parallel_for(n, work, [&](std::size_t b, std::size_t e) {
                std::lock_guard<std::mutex> lock(mutex);
                leaves.push_back(std::to_string(b) + "-" + std::to_string(e));
            });
            std::string joined;
            for (const auto& leaf : leaves) joined += leaf + ",";
            report("leaves" + std::to_string(attempt), joined);
            report("ok" + std::to_string(attempt), std::to_string(rt::pool_thread_count()));
            installed = true;
        } catch (const corvalinth::InternalFailure& failure) {
            report("error" + std::to_string(attempt), failure.what());
        } catch (const std::bad_alloc&) {
            report("memory" + std::to_string(attempt), "1");
            most_tasks = std::max(most_tasks, thread_count_of_process());
        }
    }
    report("most_tasks_after_memory", std::to_string(most_tasks));
    report("creates", std::to_string(g_creates.load()));
    // Workers started before a final failure finish.
    for (int i = 0; i < 200 && !installed && thread_count_of_process() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    report("tasks", std::to_string(thread_count_of_process()));
}

// Child: several threads race to create the pool with their first loop.
TEST(Child, RacingFirstLoops) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    rt::testing::set_thread_create(&failing_create);  // g_fail_at = 0: counts only
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            const double sum = rt::parallel_reduce<double>(
                1000, [](std::size_t b, std::size_t e) { return double(e - b); },
                [](double a, double c) { return a + c; });
            if (sum != 1000.0) wrong.fetch_add(1);
        });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    report("creates", std::to_string(g_creates.load()));
    report("wrong", std::to_string(wrong.load()));
    report("tasks", std::to_string(thread_count_of_process()));
}

// Child: with thread support missing, loops run on the thread that calls.
TEST(Child, CallingThreadIsThePool) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    g_fail_at = 1;
    g_fail_errno = std::atoi(std::getenv("CORVALINTH_FAIL_ERRNO"));
    rt::testing::set_thread_create(&failing_create);
    const auto leaves_of_loop = [] {
        const auto me = std::this_thread::get_id();
        std::string leaves;
        rt::parallel_for(16, [&](std::size_t b, std::size_t e) {
            leaves += std::to_string(b) + "-" + std::to_string(e) + (std::this_thread::get_id() == me ? "," : "!,");
        });
        return leaves;
    };
    report("workers", std::to_string(rt::pool_thread_count()));
    report("creator", leaves_of_loop());
    std::string other;
    std::thread([&] { other = leaves_of_loop(); }).join();
    report("other", other);
    report("creates", std::to_string(g_creates.load()));
}

double count_on_the_pool() {
    return rt::parallel_reduce<double>(
        100000, [](std::size_t b, std::size_t e) { return double(e - b); }, [](double a, double c) { return a + c; });
}

// Forks; the forked process must count on a pool of two workers of its own
// (a hang ends it with SIGALRM). Returns its wait status.
int status_of_forked_count() {
    // Let the workers fall asleep first: a worker still inside the allocator
    // at the fork would leave its lock held in the child under sanitizer
    // allocators, which (unlike glibc's malloc) do not take their locks
    // around fork.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(20);
        const bool ok =
            count_on_the_pool() == 100000.0 && rt::pool_thread_count() == 2 && thread_count_of_process() == 3;
        ::_exit(ok ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return status;
}

// Child: a process forked after the pool exists gets a pool of its own.
TEST(Child, ForkAfterCreation) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    report("parent_sum", std::to_string(count_on_the_pool()));
    report("forked_status", std::to_string(status_of_forked_count()));
    report("parent_again", std::to_string(count_on_the_pool()));
}

// Child: a process forked while the pool's start waits for memory (one
// worker runs, the second could not be created) starts a pool of its own.
TEST(Child, ForkWhileStartPending) {
    if (!in_child()) GTEST_SKIP() << "runs in a child process";
    g_fail_at = 2;
    g_fail_errno = EAGAIN;
    rt::testing::set_thread_create(&failing_create);
    try {
        count_on_the_pool();
        report("first", "returned");
    } catch (const std::bad_alloc&) {
        report("first", "bad_alloc");
    }
    report("forked_status", std::to_string(status_of_forked_count()));
    report("parent_again", std::to_string(count_on_the_pool()));
    report("tasks", std::to_string(thread_count_of_process()));
}

TEST(GlobalPoolFork, ForkedWhileTheStartIsPendingCreatesItsOwnPool) {
    if (in_child()) GTEST_SKIP();
    const auto child = run_child("Child.ForkWhileStartPending", {{"RAYON_NUM_THREADS", "2"}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("first"), "bad_alloc");
    EXPECT_EQ(child.values.at("forked_status"), "0");
    EXPECT_EQ(child.values.at("parent_again"), "100000.000000");
    EXPECT_EQ(child.values.at("tasks"), "3");
}

TEST(GlobalPoolFork, ForkedProcessCreatesItsOwnPool) {
    if (in_child()) GTEST_SKIP();
    const auto child = run_child("Child.ForkAfterCreation", {{"RAYON_NUM_THREADS", "2"}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("parent_sum"), "100000.000000");
    EXPECT_EQ(child.values.at("forked_status"), "0");
    EXPECT_EQ(child.values.at("parent_again"), "100000.000000");
}

const std::size_t kCpus = rt::cpu_count().value_or(1);

struct SizeCase {
    const char* name;
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;  // 0: the CPU count
};

class GlobalPoolSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(GlobalPoolSize, InAFreshProcess) {
    if (in_child()) GTEST_SKIP();
    const SizeCase& c = GetParam();
    const std::size_t expected = c.expected == 0 ? kCpus : c.expected;
    const auto child =
        run_child("Child.GlobalPool", {{"RAYON_NUM_THREADS", c.num_threads}, {"RAYON_RS_NUM_CPUS", c.rs_num_cpus}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("computed"), std::to_string(expected));
    EXPECT_EQ(child.values.at("workers"), std::to_string(expected));
    EXPECT_EQ(child.values.at("tasks"), std::to_string(expected + 1));  // the workers and the main thread
}

INSTANTIATE_TEST_SUITE_P(
    Environment, GlobalPoolSize,
    ::testing::Values(SizeCase{"Four", "4", nullptr, 4}, SizeCase{"ZeroIgnoresSecond", "0", "2", 0},
                      SizeCase{"ZeroIgnoresSecondSeven", "0", "7", 0}, SizeCase{"LettersFallBack", "abc", "3", 3},
                      SizeCase{"LeadingSpaceFallsBack", " 4", "3", 3}, SizeCase{"MinusFallsBack", "-4", "3", 3},
                      SizeCase{"LettersAlone", "abc", nullptr, 0}, SizeCase{"PlusSign", "+6", nullptr, 6},
                      SizeCase{"SecondVariable", nullptr, "3", 3}, SizeCase{"NotUtf8FallsBack", "\xc3\x28", "2", 2},
                      SizeCase{"Unset", nullptr, nullptr, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GlobalPoolSizeCap, HundredThousandGivesTheMaximum) {
    if (in_child()) GTEST_SKIP();
    for (const char* variable : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
        const auto child = run_child("Child.GlobalPool", {{variable, "100000"}, {"CORVALINTH_DO_NOT_START", "1"}});
        ASSERT_EQ(child.status, 0) << child.output;
        EXPECT_EQ(child.values.at("computed"), "65535") << variable;
    }
}

struct StackCase {
    const char* value;
    long requested;  // -1: the thread library's minimum
    std::size_t below;
};

class GlobalPoolStack : public ::testing::TestWithParam<StackCase> {};

TEST_P(GlobalPoolStack, WorkerStackFollowsRustMinStack) {
    if (in_child()) GTEST_SKIP();
    const StackCase& c = GetParam();
    const auto child = run_child("Child.GlobalPool", {{"RAYON_NUM_THREADS", "2"}, {"RUST_MIN_STACK", c.value}});
    ASSERT_EQ(child.status, 0) << child.output;
    int error = 0;
    const long minimum = rt::effective_stack_size(0, error);
    const long requested = c.requested < 0 ? minimum : c.requested;
    // The size set on the thread attributes, and the stack the worker got
    // (the thread library may keep a few bytes of it for alignment).
    EXPECT_EQ(child.values.at("attr_stack"), std::to_string(requested)) << (c.value ? c.value : "unset");
    const std::size_t stack = std::stoull(child.values.at("stack"));
    EXPECT_GE(stack + 4096, static_cast<std::size_t>(requested)) << (c.value ? c.value : "unset");
    EXPECT_LT(stack, c.below) << (c.value ? c.value : "unset");
}

INSTANTIATE_TEST_SUITE_P(Environment, GlobalPoolStack,
                         ::testing::Values(StackCase{nullptr, 2097152, 2097152 + 65536},
                                           StackCase{"abc", 2097152, 2097152 + 65536},
                                           StackCase{"+8388608", 8388608, 8388608 + 65536},
                                           StackCase{"300001", 300001, 300001 + 65536}, StackCase{"1", -1, 1048576}));

const std::string kBuildError = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";

struct PermanentCase {
    const char* errno_text;
    const char* rendering;
};

class PermanentStartFailure : public ::testing::TestWithParam<PermanentCase> {};

// A failure that does not come back is final.
TEST_P(PermanentStartFailure, ReportsTheErrorThenAlreadyInitialized) {
    if (in_child()) GTEST_SKIP();
    const auto child = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                    {"CORVALINTH_FAIL_AT", "2"},
                                                                    {"CORVALINTH_FAIL_ERRNO", GetParam().errno_text},
                                                                    {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("error1"), kBuildError + "IOError(" + GetParam().rendering + ") }");
    EXPECT_EQ(child.values.at("error2"), kBuildError + "GlobalPoolAlreadyInitialized }");
    EXPECT_EQ(child.values.at("creates"), "2");  // never tried again
    EXPECT_EQ(child.values.at("tasks"), "1");  // the worker that had started has finished
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PermanentStartFailure,
    ::testing::Values(PermanentCase{"1",
                                    "Os { code: 1, kind: PermissionDenied, message: \"Operation not permitted\" }"},
                      PermanentCase{"22", "Os { code: 22, kind: InvalidInput, message: \"Invalid argument\" }"}));

class ExhaustedStart : public ::testing::TestWithParam<int> {};

// A thread that cannot be created for lack of memory or of threads is
// memory exhaustion: the loop raises std::bad_alloc, nothing is remembered,
// and the next loop starts the missing workers, keeping the one that runs.
TEST_P(ExhaustedStart, IsBadAllocAndTheNextLoopStartsThePool) {
    if (in_child()) GTEST_SKIP();
    const std::string errno_text = std::to_string(GetParam());
    const auto child = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                    {"CORVALINTH_FAIL_AT", "2"},
                                                                    {"CORVALINTH_FAIL_ERRNO", errno_text.c_str()},
                                                                    {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.count("error1"), 0u) << child.values.at("error1");
    EXPECT_EQ(child.values.at("memory1"), "1");
    EXPECT_EQ(child.values.count("leaves1"), 0u);
    EXPECT_EQ(child.values.at("ok2"), "3");
    EXPECT_EQ(child.values.at("creates"), "4");  // the first worker is not started again
    EXPECT_EQ(child.values.at("tasks"), "4");  // three workers and the main thread
}

// Many exhausted attempts in a row leak no thread: the first worker waits
// for them all, each attempt tries only the next one.
TEST_P(ExhaustedStart, RepeatedAttemptsKeepTheThreadsBounded) {
    if (in_child()) GTEST_SKIP();
    const std::string errno_text = std::to_string(GetParam());
    const auto child = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                    {"CORVALINTH_FAIL_AT", "2"},
                                                                    {"CORVALINTH_FAIL_COUNT", "25"},
                                                                    {"CORVALINTH_ATTEMPTS", "27"},
                                                                    {"CORVALINTH_FAIL_ERRNO", errno_text.c_str()},
                                                                    {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(child.status, 0) << child.output;
    for (int attempt = 1; attempt <= 25; ++attempt)
        EXPECT_EQ(child.values.count("memory" + std::to_string(attempt)), 1u) << attempt;
    EXPECT_EQ(child.values.at("ok26"), "3");
    EXPECT_EQ(child.values.at("ok27"), "3");
    EXPECT_EQ(child.values.at("most_tasks_after_memory"), "2");  // the main thread and the first worker
    EXPECT_EQ(child.values.at("creates"), "28");  // 1 + 25 failed + 2
    EXPECT_EQ(child.values.at("tasks"), "4");
}

INSTANTIATE_TEST_SUITE_P(Errors, ExhaustedStart, ::testing::Values(EAGAIN, ENOMEM));

TEST(GlobalPoolCreation, SmallLoopsStillCreateThePool) {
    if (in_child()) GTEST_SKIP();
    for (const char* n : {"0", "1"}) {
        const auto ok = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                     {"CORVALINTH_FAIL_AT", "0"},
                                                                     {"CORVALINTH_FAIL_ERRNO", "0"},
                                                                     {"CORVALINTH_LOOP_SIZE", n}});
        ASSERT_EQ(ok.status, 0) << ok.output;
        EXPECT_EQ(ok.values.at("creates"), "3") << n;
        EXPECT_EQ(ok.values.at("leaves1"), std::string("0-") + n + ",");
        EXPECT_EQ(ok.values.at("ok2"), "3");
        // A failing start is noticed by a loop of one index too.
        const auto failing = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                          {"CORVALINTH_FAIL_AT", "1"},
                                                                          {"CORVALINTH_FAIL_ERRNO", "1"},
                                                                          {"CORVALINTH_LOOP_SIZE", n}});
        ASSERT_EQ(failing.status, 0) << failing.output;
        EXPECT_EQ(failing.values.at("error1"),
                  "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError(Os { code: "
                  "1, kind: PermissionDenied, message: \"Operation not permitted\" }) }");
        EXPECT_EQ(failing.values.count("leaves1"), 0u);
        // And an exhausted one: no leaf runs, the next loop runs its leaf.
        const auto exhausted = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                            {"CORVALINTH_FAIL_AT", "1"},
                                                                            {"CORVALINTH_FAIL_ERRNO", "12"},
                                                                            {"CORVALINTH_LOOP_SIZE", n}});
        ASSERT_EQ(exhausted.status, 0) << exhausted.output;
        EXPECT_EQ(exhausted.values.at("memory1"), "1");
        EXPECT_EQ(exhausted.values.count("leaves1"), 0u);
        EXPECT_EQ(exhausted.values.at("leaves2"), std::string("0-") + n + ",");
    }
}

// A loop too small for a hand-off still creates the pool first: a failing
// start fails it (and every later loop) as before, an exhausted one raises
// bad_alloc and the next loop tries again; once the pool runs, the loop runs
// as one leaf on the calling thread.
TEST(GlobalPoolCreation, LoopsKeptOnTheCallingThreadStillCreateThePool) {
    if (in_child()) GTEST_SKIP();
    const auto ok = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                 {"CORVALINTH_FAIL_AT", "0"},
                                                                 {"CORVALINTH_FAIL_ERRNO", "0"},
                                                                 {"CORVALINTH_LOOP_WORK", "1"},
                                                                 {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(ok.status, 0) << ok.output;
    EXPECT_EQ(ok.values.at("creates"), "3");
    EXPECT_EQ(ok.values.at("leaves1"), "0-10,");
    EXPECT_EQ(ok.values.at("ok1"), "3");
    const auto failing = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                      {"CORVALINTH_FAIL_AT", "2"},
                                                                      {"CORVALINTH_FAIL_ERRNO", "1"},
                                                                      {"CORVALINTH_LOOP_WORK", "1"},
                                                                      {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(failing.status, 0) << failing.output;
    EXPECT_EQ(failing.values.at("error1"),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError(Os { code: "
              "1, kind: PermissionDenied, message: \"Operation not permitted\" }) }");
    EXPECT_EQ(failing.values.at("error2"),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
              "GlobalPoolAlreadyInitialized }");
    EXPECT_EQ(failing.values.count("leaves1") + failing.values.count("leaves2"), 0u);
    const auto exhausted = run_child("Child.CreationWithFailingStart", {{"RAYON_NUM_THREADS", "3"},
                                                                        {"CORVALINTH_FAIL_AT", "1"},
                                                                        {"CORVALINTH_FAIL_ERRNO", "12"},
                                                                        {"CORVALINTH_LOOP_WORK", "1"},
                                                                        {"CORVALINTH_LOOP_SIZE", "10"}});
    ASSERT_EQ(exhausted.status, 0) << exhausted.output;
    EXPECT_EQ(exhausted.values.at("memory1"), "1");
    EXPECT_EQ(exhausted.values.count("leaves1"), 0u);
    EXPECT_EQ(exhausted.values.at("leaves2"), "0-10,");
}

TEST(GlobalPoolCreation, HappensOnceWhenThreadsRace) {
    if (in_child()) GTEST_SKIP();
    const auto child = run_child("Child.RacingFirstLoops", {{"RAYON_NUM_THREADS", "3"}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("creates"), "3");
    EXPECT_EQ(child.values.at("wrong"), "0");
    EXPECT_EQ(child.values.at("tasks"), "4");
}

class UnsupportedThreads : public ::testing::TestWithParam<int> {};

TEST_P(UnsupportedThreads, CallingThreadBecomesTheOnlyWorker) {
    if (in_child()) GTEST_SKIP();
    const std::string errno_text = std::to_string(GetParam());
    const auto child = run_child("Child.CallingThreadIsThePool",
                                 {{"RAYON_NUM_THREADS", "4"}, {"CORVALINTH_FAIL_ERRNO", errno_text.c_str()}});
    ASSERT_EQ(child.status, 0) << child.output;
    EXPECT_EQ(child.values.at("workers"), "1");
    EXPECT_EQ(child.values.at("creates"), "1");
    // The creating thread is the worker: the whole range (budget 1) splits
    // once, then each half (budget 0) is a leaf.
    EXPECT_EQ(child.values.at("creator"), "0-8,8-16,");
    // Another thread splits the range itself and hands both halves over;
    // they count as moved and split on down with budget 1.
    EXPECT_EQ(child.values.at("other"), "0-2,2-4,4-6,6-8,8-10,10-12,12-14,14-16,");
}

INSTANTIATE_TEST_SUITE_P(Errors, UnsupportedThreads, ::testing::Values(ENOSYS, EOPNOTSUPP));

}  // namespace
