// The filter's buffers are optional: when they cannot be allocated the exact
// kernels label the samples instead, with the same labels and no exception.
// This binary replaces the global allocation functions so that a test can
// make them fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "kmeans/assignment/filtered_labels.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/reference.hpp"

namespace {

bool g_fail_throwing = false;  // operator new / new[] throw std::bad_alloc
long g_throwing_left = -1;  // when >= 0: how many more throwing allocations succeed
bool g_fail_nothrow = false;  // the std::nothrow forms return null

void* allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

}  // namespace

void* operator new(std::size_t size) {
    const bool fail = g_fail_throwing || g_throwing_left == 0;
    if (g_throwing_left > 0) --g_throwing_left;
    void* p = fail ? nullptr : allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return g_fail_nothrow ? nullptr : allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return g_fail_nothrow ? nullptr : allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace corvalinth::kmeans;

// Allocations of one kind fail while alive (also when the call under test throws).
struct FailingAllocations {
    explicit FailingAllocations(bool& flag) : flag_(flag) { flag_ = true; }
    ~FailingAllocations() { flag_ = false; }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
    bool& flag_;
};

struct Data {
    std::vector<double> x;
    CentreMatrix centres;
    std::vector<std::uint64_t> want;
};

Data make_data(std::size_t n, std::size_t d, std::size_t k) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    Data data{std::vector<double>(n * d), CentreMatrix{k, d, std::vector<double>(k * d)}, {}};
    for (double& v : data.x) v = normal(gen);
    for (double& v : data.centres.values) v = normal(gen);
    for (std::size_t i = 0; i < n; ++i)
        data.want.push_back(nearest_centre(data.x.data() + i * d, 1, d, data.centres.values.data(), k, d));
    return data;
}

TEST(FilterMemory, PanelWithoutMemoryIsNoFilter) {
    const Data data = make_data(10, 24, 20);
    std::optional<FilterPanel> filter;
    {
        FailingAllocations failing(g_fail_throwing);
        filter = FilterPanel::prepare(data.centres, 24);
    }
    EXPECT_FALSE(filter.has_value());
    EXPECT_TRUE(FilterPanel::prepare(data.centres, 24).has_value());
}

TEST(FilterMemory, TileBufferWithoutMemoryFallsBackToExactKernel) {
    const std::size_t n = 300, d = 24, k = 20;
    const Data data = make_data(n, d, k);
    const SampleMatrix x{data.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const std::optional<FilterPanel> filter = FilterPanel::prepare(data.centres, d);
    ASSERT_TRUE(filter.has_value());
    const CentrePanel exact(data.centres, d);
    std::vector<std::uint64_t> got(n, 777);
    std::size_t decided = 0;
    {
        FailingAllocations failing(g_fail_nothrow);
        decided = filtered_nearest_centres(x, 0, n, *filter, exact, got.data());
    }
    EXPECT_EQ(decided, 0u) << "the filter ran without its buffer";
    EXPECT_EQ(got, data.want);
    // With memory the filter decides (nearly) everything, with the same labels.
    got.assign(n, 777);
    EXPECT_GT(filtered_nearest_centres(x, 0, n, *filter, exact, got.data()), n / 2);
    EXPECT_EQ(got, data.want);
}

// The float32 stage's copies are optional too: when they alone cannot be
// allocated, the panel serves with the float64 filter alone.
TEST(FilterMemory, Float32CopyWithoutMemoryLeavesTheFloat64Filter) {
    const std::size_t n = 300, d = 24, k = 20;
    const Data data = make_data(n, d, k);
    const SampleMatrix x{data.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const CentrePanel exact(data.centres, d);
    bool seen_without_float32 = false;
    for (long budget = 0; budget < 64; ++budget) {
        g_throwing_left = budget;
        const std::optional<FilterPanel> filter = FilterPanel::prepare(data.centres, d, Float32Stage::always);
        g_throwing_left = -1;
        if (!filter.has_value()) continue;
        if (filter->has_float32()) break;
        seen_without_float32 = true;
        std::vector<std::uint64_t> got(n, 777);
        EXPECT_GT(filtered_nearest_centres(x, 0, n, *filter, exact, got.data()), n / 2);
        EXPECT_EQ(got, data.want);
    }
    EXPECT_TRUE(seen_without_float32) << "no allocation budget left the float64 panel without its float copy";
}

}  // namespace
