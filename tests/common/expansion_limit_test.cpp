#include "common/expansion_limit.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessary {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// The limit is inclusive: exactly what the file can decode to passes, one
// unit more is refused; an empty file still reaches the floor.
TEST(ExpansionLimit, AllowsUpToTheRatioPlusTheFloorAndNoMore) {
    EXPECT_EQ(kDeflateExpansion.MostFor(0), 65536u);
    EXPECT_TRUE(kDeflateExpansion.Allows(1000, 1000 * 1100 + 65536));
    EXPECT_FALSE(kDeflateExpansion.Allows(1000, 1000 * 1100 + 65537));
    EXPECT_TRUE(kLzwExpansion.Allows(10, 10 * 16384 + 65536));
    EXPECT_FALSE(kLzwExpansion.Allows(10, 10 * 16384 + 65537));
    EXPECT_FALSE(kRleExpansion.Allows(4, 4 * 256 + (uint64_t(1) << 20) + 1));
    // Chart rows take two bytes each: 5 bytes hold 2 rows, not 3.
    EXPECT_TRUE(kChartRowExpansion.Allows(5, 2));
    EXPECT_FALSE(kChartRowExpansion.Allows(5, 3));
    EXPECT_FALSE(kChartRowExpansion.Allows(1, 1));
}

// A product that does not fit in 64 bits must not wrap to a small limit that
// a stated size could pass: it saturates, and only the impossible maximum
// itself is then allowed.
TEST(ExpansionLimit, HugeFilesSaturateInsteadOfWrapping) {
    const uint64_t wraps = (kMax / 1100) + 1;
    EXPECT_EQ(kDeflateExpansion.MostFor(wraps), kMax);
    EXPECT_TRUE(kDeflateExpansion.Allows(wraps, kMax - 1));
    EXPECT_EQ(kRleExpansion.MostFor(kMax), kMax);
    EXPECT_EQ(kChartRowExpansion.MostFor(kMax), kMax / 2);
}

}  // namespace
}  // namespace tessary
