// Keying from operating-system entropy: the getrandom probe, the device-file
// fallback with its cached descriptor, retries and every failure message,
// driven through a scripted replacement of the system calls; plus real calls.
#include "runtime/random/entropy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/internal_failure.hpp"
#include "runtime/random/entropy_syscalls.hpp"
#include "runtime/random/random_testing.hpp"

namespace {

using corvalinth::InternalFailure;
using corvalinth::runtime::EntropySyscalls;
using corvalinth::runtime::from_entropy;
using corvalinth::runtime::RandomSource;
using corvalinth::runtime::testing::set_entropy_syscalls;
using corvalinth::runtime::testing::system_entropy_syscalls;
namespace state = corvalinth::runtime::testing;
namespace detail = corvalinth::runtime::entropy_detail;
using Support = detail::GetrandomSupport;

// One scripted outcome: the call returns `result`; a positive result writes
// that many bytes (capped at the requested length) from the byte counter;
// `error` is what errno reads afterwards.
struct Outcome {
    long result;
    int error = 0;
};

// The scripted operating system. Calls without a scripted outcome succeed in
// full (getrandom/read fill everything asked for, open returns the next
// descriptor from 100, poll reports one ready descriptor).
struct FakeOs {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::deque<Outcome> getrandom, open, poll, read;
    bool getrandom_missing = false;  // every getrandom fails with ENOSYS
    int next_fd = 100;
    unsigned char next_byte = 0;
    // Replaces the system text when set: strerror_length bytes are copied
    // (the text's own length plus its NUL when 0).
    const char* strerror_text = nullptr;
    std::size_t strerror_length = 0;
    int strerror_status = 0;

    static FakeOs* current;
    static thread_local int error;

    // Pops the scripted outcome, if any; `fallback` otherwise.
    static Outcome take(std::deque<Outcome>& script, Outcome fallback) {
        if (script.empty()) return fallback;
        Outcome o = script.front();
        script.pop_front();
        return o;
    }

    long produce(std::deque<Outcome>& script, void* buffer, std::size_t length) {
        const Outcome o = take(script, {static_cast<long>(length)});
        if (o.result > 0) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(o.result), length);
            auto* out = static_cast<unsigned char*>(buffer);
            for (std::size_t i = 0; i < n; ++i) out[i] = next_byte++;
        }
        error = o.error;
        return o.result;
    }

    static long fake_getrandom(void* buffer, std::size_t length, unsigned flags) {
        FakeOs& os = *current;
        std::lock_guard<std::mutex> lock(os.mutex);
        os.calls.push_back("getrandom(" + std::string(buffer ? "buf" : "null") + ", " + std::to_string(length) + ", " +
                           std::to_string(flags) + ")");
        if (os.getrandom_missing) {
            error = ENOSYS;
            return -1;
        }
        return os.produce(os.getrandom, buffer, length);
    }

    static int fake_open(const char* path, int flags) {
        FakeOs& os = *current;
        std::lock_guard<std::mutex> lock(os.mutex);
        const bool ro_cloexec = flags == (O_RDONLY | O_CLOEXEC);
        os.calls.push_back("open(" + std::string(path) + ", " +
                           (ro_cloexec ? std::string("ro|cloexec") : std::to_string(flags)) + ")");
        const Outcome o = take(os.open, {os.next_fd});
        if (o.result >= 0) ++os.next_fd;
        error = o.error;
        return static_cast<int>(o.result);
    }

    static int fake_poll(pollfd* fds, nfds_t count, int timeout_ms) {
        FakeOs& os = *current;
        std::lock_guard<std::mutex> lock(os.mutex);
        os.calls.push_back("poll(" + std::to_string(fds[0].fd) + ", events " + std::to_string(fds[0].events) + ", n " +
                           std::to_string(count) + ", timeout " + std::to_string(timeout_ms) + ")");
        const Outcome o = take(os.poll, {1});
        if (o.result > 0) fds[0].revents = POLLIN;
        error = o.error;
        return static_cast<int>(o.result);
    }

    static int fake_close(int fd) {
        FakeOs& os = *current;
        std::lock_guard<std::mutex> lock(os.mutex);
        os.calls.push_back("close(" + std::to_string(fd) + ")");
        error = 0;
        return 0;
    }

    static long fake_read(int fd, void* buffer, std::size_t length) {
        FakeOs& os = *current;
        std::lock_guard<std::mutex> lock(os.mutex);
        os.calls.push_back("read(" + std::to_string(fd) + ", " + std::to_string(length) + ")");
        return os.produce(os.read, buffer, length);
    }

    static int fake_errno() { return error; }

    static int fake_strerror(int number, char* buffer, std::size_t length) {
        FakeOs& os = *current;
        if (os.strerror_text == nullptr) {
            return system_entropy_syscalls().strerror(number, buffer, length);
        }
        const std::size_t n = os.strerror_length != 0 ? os.strerror_length : std::strlen(os.strerror_text) + 1;
        std::memcpy(buffer, os.strerror_text, std::min(n, length));
        return os.strerror_status;
    }

    std::vector<std::string> take_calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(calls, {});
    }
};

FakeOs* FakeOs::current = nullptr;
thread_local int FakeOs::error = 0;

const EntropySyscalls kFakeCalls{&FakeOs::fake_getrandom, &FakeOs::fake_open, &FakeOs::fake_poll,
                                 &FakeOs::fake_close,     &FakeOs::fake_read, &FakeOs::fake_errno,
                                 &FakeOs::fake_strerror};

using Calls = std::vector<std::string>;

const std::string kProbe = "getrandom(buf, 0, 0)";
const std::string kOpenRandom = "open(/dev/random, ro|cloexec)";
const std::string kOpenUrandom = "open(/dev/urandom, ro|cloexec)";
const std::string kPollRandom = "poll(100, events 1, n 1, timeout -1)";

// Key words made of the bytes first, first+1, ... in little-endian order.
RandomSource::Key counting_key(unsigned first) {
    RandomSource::Key key{};
    for (unsigned i = 0; i < 8; ++i) {
        const unsigned b = first + 4 * i;
        key[i] = (b & 0xFF) | ((b + 1) & 0xFF) << 8 | ((b + 2) & 0xFF) << 16 | ((b + 3) & 0xFF) << 24;
    }
    return key;
}

std::string failure_message() {
    try {
        from_entropy();
    } catch (const InternalFailure& failure) {
        return failure.what();
    }
    return "<no failure>";
}

class Entropy : public ::testing::Test {
protected:
    void SetUp() override {
        state::reset_entropy_state();
        FakeOs::current = &os;
        set_entropy_syscalls(&kFakeCalls);
    }
    void TearDown() override {
        set_entropy_syscalls(nullptr);
        FakeOs::current = nullptr;
        state::reset_entropy_state();
    }
    // Puts the process on the device-file path (getrandom refused).
    void use_devices() { os.getrandom_missing = true; }

    FakeOs os;
};

// ---------------------------------------------------------------- getrandom path

TEST_F(Entropy, GetrandomProbedOnceThenFillsKey) {
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls(), (Calls{kProbe, "getrandom(buf, 32, 0)"}));
    EXPECT_EQ(state::getrandom_support(), Support::available);

    const RandomSource second = from_entropy();
    EXPECT_EQ(second.key(), counting_key(32));
    EXPECT_EQ(second.block_counter(), 0u);
    EXPECT_EQ(second.cursor(), 64u);
    EXPECT_EQ(os.take_calls(), (Calls{"getrandom(buf, 32, 0)"}));
}

struct ProbeCase {
    Outcome probe;
    Support expected;
};

class EntropyProbe : public Entropy, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(EntropyProbe, ClassifiesProbeResult) {
    os.getrandom.push_back(GetParam().probe);
    EXPECT_NO_THROW(from_entropy());
    EXPECT_EQ(state::getrandom_support(), GetParam().expected);
    const Calls calls = os.take_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), kProbe);
    if (GetParam().expected == Support::available) {
        EXPECT_EQ(calls, (Calls{kProbe, "getrandom(buf, 32, 0)"}));
    } else {
        EXPECT_EQ(calls, (Calls{kProbe, kOpenRandom, kPollRandom, "close(100)", kOpenUrandom, "read(101, 32)"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, EntropyProbe,
    ::testing::Values(ProbeCase{{0}, Support::available}, ProbeCase{{5}, Support::available},
                      ProbeCase{{-1, ENOSYS}, Support::unavailable}, ProbeCase{{-1, EPERM}, Support::unavailable},
                      ProbeCase{{-7, ENOSYS}, Support::unavailable}, ProbeCase{{-1, EINVAL}, Support::available},
                      ProbeCase{{-1, EINTR}, Support::available}, ProbeCase{{-1, 0}, Support::available},
                      ProbeCase{{-1, -ENOSYS}, Support::available}));

TEST_F(Entropy, GetrandomRetriesInterruptionsWithoutLimit) {
    os.getrandom = {{0}, {-1, EINTR}, {-1, EINTR}, {-1, EINTR}, {32}};
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls().size(), 5u);
}

TEST_F(Entropy, GetrandomShortResultsFillInOrder) {
    os.getrandom = {{0}, {5}, {-1, EINTR}, {10}, {1}, {16}};
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls(), (Calls{kProbe, "getrandom(buf, 32, 0)", "getrandom(buf, 27, 0)", "getrandom(buf, 27, 0)",
                                      "getrandom(buf, 17, 0)", "getrandom(buf, 16, 0)"}));
}

// ---------------------------------------------------------------- failures of a fill

struct FillFailure {
    const char* name;
    std::vector<Outcome> outcomes;  // after the probe / device opening
    const char* message;
};

void PrintTo(const FillFailure& c, std::ostream* os) { *os << c.name; }

const std::vector<FillFailure> kFillFailures{
    {"ZeroResult", {{0}}, "from_entropy failed: unexpected situation"},
    {"OversizedFirst", {{33}}, "from_entropy failed: unexpected situation"},
    {"OversizedAfterPartial", {{20}, {13}}, "from_entropy failed: unexpected situation"},
    {"NegativeOtherThanMinusOne", {{-2, EIO}}, "from_entropy failed: unexpected situation"},
    {"VeryNegative", {{-4096, 0}}, "from_entropy failed: unexpected situation"},
    {"ZeroErrno", {{-1, 0}}, "from_entropy failed: errno: did not return a positive value"},
    {"NegativeErrno", {{-1, -5}}, "from_entropy failed: errno: did not return a positive value"},
    {"IoError", {{8}, {-1, EIO}}, "from_entropy failed: Input/output error"},
    {"AgainIsNotRetried", {{-1, EAGAIN}}, "from_entropy failed: Resource temporarily unavailable"},
    {"FaultAfterInterrupt", {{-1, EINTR}, {-1, EFAULT}}, "from_entropy failed: Bad address"},
};

class EntropyGetrandomFailure : public Entropy, public ::testing::WithParamInterface<FillFailure> {};

TEST_P(EntropyGetrandomFailure, FailsWithMessage) {
    os.getrandom.push_back({0});  // probe: available
    os.getrandom.insert(os.getrandom.end(), GetParam().outcomes.begin(), GetParam().outcomes.end());
    EXPECT_EQ(failure_message(), GetParam().message);
    EXPECT_EQ(state::getrandom_support(), Support::available);
    // The next call starts afresh and succeeds.
    os.take_calls();
    EXPECT_NO_THROW(from_entropy());
    EXPECT_EQ(os.take_calls(), (Calls{"getrandom(buf, 32, 0)"}));
}

class EntropyReadFailure : public Entropy, public ::testing::WithParamInterface<FillFailure> {};

TEST_P(EntropyReadFailure, FailsWithMessageAndKeepsDescriptor) {
    use_devices();
    os.read.assign(GetParam().outcomes.begin(), GetParam().outcomes.end());
    EXPECT_EQ(failure_message(), GetParam().message);
    // The descriptor was opened successfully and stays cached.
    EXPECT_EQ(state::urandom_descriptor(), 101);
    os.take_calls();
    EXPECT_NO_THROW(from_entropy());
    EXPECT_EQ(os.take_calls(), (Calls{"read(101, 32)"}));
}

auto fill_failure_name = [](const ::testing::TestParamInfo<FillFailure>& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Results, EntropyGetrandomFailure, ::testing::ValuesIn(kFillFailures), fill_failure_name);
INSTANTIATE_TEST_SUITE_P(Results, EntropyReadFailure, ::testing::ValuesIn(kFillFailures), fill_failure_name);

// ---------------------------------------------------------------- device-file path

TEST_F(Entropy, DevicesOpenedOnceAndDescriptorReused) {
    use_devices();
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls(), (Calls{kProbe, kOpenRandom, kPollRandom, "close(100)", kOpenUrandom, "read(101, 32)"}));
    EXPECT_EQ(state::getrandom_support(), Support::unavailable);
    EXPECT_EQ(state::urandom_descriptor(), 101);

    for (unsigned i = 1; i <= 3; ++i) {
        EXPECT_EQ(from_entropy().key(), counting_key(32 * i));
        EXPECT_EQ(os.take_calls(), (Calls{"read(101, 32)"}));
    }
}

TEST_F(Entropy, DeviceRetriesInterruptionsAndShortReads) {
    use_devices();
    os.open = {{-1, EINTR}, {100}, {-1, EINTR}, {-1, EINTR}, {101}};
    os.poll = {{-1, EINTR}, {-1, EAGAIN}, {-1, EINTR}, {1}};
    os.read = {{-1, EINTR}, {3}, {-1, EINTR}, {28}, {1}};
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls(),
              (Calls{kProbe, kOpenRandom, kOpenRandom, kPollRandom, kPollRandom, kPollRandom, kPollRandom, "close(100)",
                     kOpenUrandom, kOpenUrandom, kOpenUrandom, "read(101, 32)", "read(101, 32)", "read(101, 29)",
                     "read(101, 29)", "read(101, 1)"}));
}

struct DeviceFailure {
    const char* name;
    std::vector<Outcome> open, poll;
    const char* message;
    Calls calls;  // after the probe
};

void PrintTo(const DeviceFailure& c, std::ostream* os) { *os << c.name; }

class EntropyDeviceFailure : public Entropy, public ::testing::WithParamInterface<DeviceFailure> {};

TEST_P(EntropyDeviceFailure, FailsWithoutCachingAndRetriesNextTime) {
    use_devices();
    os.open.assign(GetParam().open.begin(), GetParam().open.end());
    os.poll.assign(GetParam().poll.begin(), GetParam().poll.end());
    EXPECT_EQ(failure_message(), GetParam().message);
    Calls expected{kProbe};
    expected.insert(expected.end(), GetParam().calls.begin(), GetParam().calls.end());
    EXPECT_EQ(os.take_calls(), expected);
    EXPECT_EQ(state::urandom_descriptor(), -1);

    // Nothing was cached and the lock was released: the next call starts the
    // opening again (and would hang here if the lock were still held).
    os.next_fd = 200;
    EXPECT_EQ(from_entropy().key(), counting_key(0));
    EXPECT_EQ(os.take_calls(), (Calls{kOpenRandom, "poll(200, events 1, n 1, timeout -1)", "close(200)", kOpenUrandom,
                                      "read(201, 32)"}));
    EXPECT_EQ(state::urandom_descriptor(), 201);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EntropyDeviceFailure,
    ::testing::Values(
        DeviceFailure{
            "RandomMissing", {{-1, ENOENT}}, {}, "from_entropy failed: No such file or directory", {kOpenRandom}},
        DeviceFailure{"RandomDenied",
                      {{-1, EINTR}, {-1, EACCES}},
                      {},
                      "from_entropy failed: Permission denied",
                      {kOpenRandom, kOpenRandom}},
        DeviceFailure{"RandomOpenZeroErrno",
                      {{-1, 0}},
                      {},
                      "from_entropy failed: errno: did not return a positive value",
                      {kOpenRandom}},
        DeviceFailure{"PollFails",
                      {},
                      {{-1, EINVAL}},
                      "from_entropy failed: Invalid argument",
                      {kOpenRandom, kPollRandom, "close(100)"}},
        DeviceFailure{"PollFailsAfterRetries",
                      {},
                      {{-1, EAGAIN}, {-1, EINTR}, {-1, ENOMEM}},
                      "from_entropy failed: Cannot allocate memory",
                      {kOpenRandom, kPollRandom, kPollRandom, kPollRandom, "close(100)"}},
        DeviceFailure{"PollZeroErrno",
                      {},
                      {{-1, 0}},
                      "from_entropy failed: errno: did not return a positive value",
                      {kOpenRandom, kPollRandom, "close(100)"}},
        DeviceFailure{"UrandomMissing",
                      {{100}, {-1, ENOENT}},
                      {},
                      "from_entropy failed: No such file or directory",
                      {kOpenRandom, kPollRandom, "close(100)", kOpenUrandom}},
        DeviceFailure{"UrandomTooManyFiles",
                      {{100}, {-1, EINTR}, {-1, EMFILE}},
                      {},
                      "from_entropy failed: Too many open files",
                      {kOpenRandom, kPollRandom, "close(100)", kOpenUrandom, kOpenUrandom}}),
    [](const ::testing::TestParamInfo<DeviceFailure>& info) { return std::string(info.param.name); });

TEST_F(Entropy, ConcurrentCallsOpenTheDevicesOnce) {
    use_devices();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                try {
                    from_entropy();
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    int opens_random = 0, opens_urandom = 0, polls = 0, reads = 0;
    for (const std::string& call : os.take_calls()) {
        opens_random += call == kOpenRandom;
        opens_urandom += call == kOpenUrandom;
        polls += call.rfind("poll(", 0) == 0;
        reads += call == "read(101, 32)";
    }
    EXPECT_EQ(opens_random, 1);
    EXPECT_EQ(opens_urandom, 1);
    EXPECT_EQ(polls, 1);
    EXPECT_EQ(reads, 200);
}

// ---------------------------------------------------------------- error texts

struct TextCase {
    const char* name;
    const char* text;
    int status;
    const char* message;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class EntropyErrorText : public Entropy, public ::testing::WithParamInterface<TextCase> {};

TEST_P(EntropyErrorText, UsesTextOrNumber) {
    os.getrandom = {{0}, {-1, EIO}};
    os.strerror_text = GetParam().text;
    os.strerror_status = GetParam().status;
    EXPECT_EQ(failure_message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EntropyErrorText,
    ::testing::Values(TextCase{"Plain", "Disk on fire", 0, "from_entropy failed: Disk on fire"},
                      TextCase{"Utf8", "E/S \xC3\xA9\xE2\x82\xAC", 0, "from_entropy failed: E/S \xC3\xA9\xE2\x82\xAC"},
                      TextCase{"Empty", "", 0, "from_entropy failed: "},
                      TextCase{"StrerrorFails", "Unknown error 5", EINVAL, "from_entropy failed: OS Error: 5"},
                      TextCase{"StrerrorFailsMinusOne", "x", -1, "from_entropy failed: OS Error: 5"},
                      TextCase{"InvalidUtf8", "E/S \xC3", 0, "from_entropy failed: OS Error: 5"},
                      TextCase{"Latin1", "d\xE9j\xE0", 0, "from_entropy failed: OS Error: 5"}),
    [](const ::testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

TEST_F(Entropy, ErrorTextStopsAtFirstNul) {
    // What follows the NUL is not UTF-8: it must not be looked at.
    static const char text[] = "short\0\xFF\xFE tail";
    os.getrandom = {{0}, {-1, EIO}};
    os.strerror_text = text;
    os.strerror_length = sizeof text;
    EXPECT_EQ(failure_message(), "from_entropy failed: short");
}

TEST_F(Entropy, ErrorTextFillingWholeBufferIsKept) {
    // 128 bytes and no NUL: the whole buffer is the text, nothing beyond it.
    static const std::string text(200, 'a');
    os.getrandom = {{0}, {-1, EIO}};
    os.strerror_text = text.c_str();
    os.strerror_length = 128;
    EXPECT_EQ(failure_message(), "from_entropy failed: " + std::string(128, 'a'));
}

TEST(EntropyErrorDescription, SystemTexts) {
    EXPECT_EQ(detail::describe_os_error(ENOENT), "No such file or directory");
    EXPECT_EQ(detail::describe_os_error(EINTR), "Interrupted system call");
    // The XSI strerror_r refuses unknown numbers.
    EXPECT_EQ(detail::describe_os_error(123456), "OS Error: 123456");
    EXPECT_EQ(detail::describe_os_error(-3), "OS Error: -3");
}

TEST(EntropyErrorDescription, Utf8Validation) {
    struct Case {
        const char* bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii", true},
        {"\xC3\xA9", true},  // U+00E9
        {"\xE2\x82\xAC", true},  // U+20AC
        {"\xF0\x9F\x98\x80", true},  // U+1F600
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xC3", false},  // truncated
        {"\xE2\x82", false},  // truncated
        {"\x80", false},  // lone continuation
        {"\xC0\xAF", false},  // overlong '/'
        {"\xE0\x80\xAF", false},  // overlong '/'
        {"\xF0\x80\x80\xAF", false},  // overlong '/'
        {"\xED\xA0\x80", false},  // surrogate U+D800
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xF8\x88\x80\x80\x80", false},  // five-byte form
        {"\xFF", false},
        {"a\xC3(", false},  // bad continuation
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detail::is_valid_utf8(c.bytes, std::strlen(c.bytes)), c.valid) << c.bytes;
    }
}

// ---------------------------------------------------------------- real calls

class EntropyReal : public ::testing::Test {
protected:
    void SetUp() override { state::reset_entropy_state(); }
    void TearDown() override {
        set_entropy_syscalls(nullptr);
        const int fd = state::reset_entropy_state();
        if (fd >= 0) ::close(fd);
    }
};

TEST_F(EntropyReal, TwoSourcesDiffer) {
    RandomSource a = from_entropy();
    RandomSource b = from_entropy();
    EXPECT_NE(a.key(), b.key());
    EXPECT_NE(a.draw_u64(), b.draw_u64());
    EXPECT_NE(state::getrandom_support(), Support::unprobed);
}

long missing_getrandom(void*, std::size_t, unsigned) {
    errno = ENOSYS;
    return -1;
}

TEST_F(EntropyReal, DeviceFallbackReadsRealUrandom) {
    EntropySyscalls calls = system_entropy_syscalls();
    calls.getrandom = &missing_getrandom;
    set_entropy_syscalls(&calls);
    RandomSource a = from_entropy();
    const int fd = state::urandom_descriptor();
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    RandomSource b = from_entropy();
    EXPECT_EQ(state::urandom_descriptor(), fd);
    EXPECT_EQ(state::getrandom_support(), Support::unavailable);
    EXPECT_NE(a.key(), b.key());
}

}  // namespace
