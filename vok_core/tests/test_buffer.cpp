// Bulk buffers: small ones from the ordinary allocator, large ones mapped on
// 2 MiB boundaries; contents survive growth either way; sizing one leaves
// its pages to whoever writes them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "buffer.hpp"

namespace {

TEST(Buffer, LargeArraysAreHugePageAligned) {
    vok::Buffer<double> big(3 * 1000 * 1000 + 7);  // 24 MB, not a multiple of 2 MiB
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % (2u << 20), 0u);
    for (std::size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<double>(i);
    big.back() = -1.0;  // the last element is inside the mapping
    EXPECT_EQ(big[4093 * 5], 4093.0 * 5);
    EXPECT_EQ(big.back(), -1.0);
}

TEST(Buffer, GrowingAcrossTheThresholdKeepsTheContents) {
    vok::Buffer<double> v;
    for (std::size_t i = 0; i < 400000; ++i) v.push_back(static_cast<double>(i) * 0.5);  // 3.2 MB
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], static_cast<double>(i) * 0.5);
    v.resize(10);
    v.shrink_to_fit();  // back below the threshold: ordinary allocation again
    EXPECT_EQ(v[9], 4.5);
}

TEST(Buffer, SizingLeavesThePagesUntouched) {
    vok::Buffer<double> big(std::size_t{4} << 20);  // 32 MiB
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = big.size() * sizeof(double);
    std::vector<unsigned char> resident((bytes + page - 1) / page);
    ASSERT_EQ(mincore(big.data(), bytes, resident.data()), 0);
    std::size_t touched = 0;
    for (unsigned char r : resident) touched += r & 1;
    EXPECT_EQ(touched, 0u);  // not zero-filled by the thread that sized it
}

TEST(Buffer, AbsurdSizesFailCleanly) {
    vok::BulkAllocator<double> a;
    EXPECT_THROW((void)a.allocate(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
