// Bulk buffers: small ones from the ordinary allocator, large ones mapped on
// 2 MiB boundaries; contents survive growth either way.
#include <gtest/gtest.h>

#include <cstdint>

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

TEST(Buffer, AbsurdSizesFailCleanly) {
    vok::BulkAllocator<double> a;
    EXPECT_THROW((void)a.allocate(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
