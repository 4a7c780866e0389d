// Mapping a buffer's pages ahead of its first write: only the whole pages
// within the range are mapped, the contents stay as they were, and edge
// ranges (empty, null, within one page) are harmless.
#include "runtime/memory/page_populate.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace corvalinth::runtime {
namespace {

#ifndef MADV_POPULATE_WRITE
constexpr int MADV_POPULATE_WRITE = 23;
#endif

// A fresh private mapping of `pages` pages, none of them touched yet.
struct FreshPages {
    explicit FreshPages(std::size_t pages) : size(pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
    }
    ~FreshPages() {
        if (data != nullptr) munmap(data, size);
    }
    // Which pages are mapped in.
    std::vector<bool> resident() const {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> v(size / page);
        EXPECT_EQ(mincore(data, size, v.data()), 0);
        std::vector<bool> out;
        for (unsigned char c : v) out.push_back((c & 1) != 0);
        return out;
    }
    std::size_t size;
    unsigned char* data;
};

TEST(PagePopulate, MapsTheWholePagesWithinTheRange) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    {
        FreshPages probe(1);
        ASSERT_NE(probe.data, nullptr);
        if (madvise(probe.data, probe.size, MADV_POPULATE_WRITE) != 0 && errno == EINVAL)
            GTEST_SKIP() << "this kernel cannot map pages ahead for writing";
    }
    FreshPages fresh(16);
    ASSERT_NE(fresh.data, nullptr);
    // From inside page 2 to inside page 11: pages 3 to 10 are whole.
    populate_for_writing(fresh.data + 2 * page + 100, 9 * page);
    const std::vector<bool> resident = fresh.resident();
    for (std::size_t p = 0; p < resident.size(); ++p) EXPECT_EQ(resident[p], p >= 3 && p <= 10) << "page " << p;
    for (std::size_t i = 0; i < fresh.size; ++i) ASSERT_EQ(fresh.data[i], 0) << "byte " << i;
}

TEST(PagePopulate, KeepsTheContentsAndIgnoresEdgeRanges) {
    std::vector<std::uint32_t> values((std::size_t{3} << 20) / 4 + 77);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint32_t>(i * 2654435761u);
    const std::vector<std::uint32_t> before = values;
    populate_for_writing(values.data(), values.size() * 4);
    populate_for_writing(values.data() + 1, 17);  // within one page
    populate_for_writing(values.data(), 0);
    populate_for_writing(nullptr, 1 << 20);
    EXPECT_EQ(values, before);
}

}  // namespace
}  // namespace corvalinth::runtime
