#include "common/zlib_stream.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/errors.h"
#include "rpx/rpx_test_support.h"

namespace tessary {
namespace {

std::vector<uint8_t> Sample(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t((i * 31) ^ (i >> 4));
    return v;
}

TEST(ZlibStream, RoundTripsOneCompleteStream) {
    std::vector<uint8_t> data = Sample(5000);
    std::vector<uint8_t> packed = rpxtest::Deflate(data);
    ASSERT_GE(packed.size(), 6u);
    EXPECT_EQ(packed[0] & 0x0F, 8);  // deflate method in a zlib header
    std::vector<uint8_t> out(data.size());
    EXPECT_EQ(InflateStream(packed.data(), packed.size(), out.data(), out.size()), data.size());
    EXPECT_EQ(out, data);
    // An empty row is a valid stream too.
    std::vector<uint8_t> empty = rpxtest::Deflate({});
    EXPECT_EQ(InflateStream(empty.data(), empty.size(), out.data(), 0), 0u);
}

TEST(ZlibStream, OversizeResultRaisesWithoutWritingPastTheBuffer) {
    std::vector<uint8_t> data = Sample(1000);
    std::vector<uint8_t> packed = rpxtest::Deflate(data);
    std::vector<uint8_t> out(1000 + 64, 0xCD);
    EXPECT_THROW(InflateStream(packed.data(), packed.size(), out.data(), 999), EDecompressionError);
    for (size_t i = 999; i < out.size(); ++i) ASSERT_EQ(out[i], 0xCD) << i;
}

TEST(ZlibStream, CorruptOrTruncatedStreamsRaise) {
    std::vector<uint8_t> data = Sample(1000);
    std::vector<uint8_t> packed = rpxtest::Deflate(data);
    std::vector<uint8_t> out(1000);
    std::vector<uint8_t> cut(packed.begin(), packed.end() - 5);
    EXPECT_THROW(InflateStream(cut.data(), cut.size(), out.data(), out.size()), EDecompressionError);
    std::vector<uint8_t> flipped = packed;
    flipped[packed.size() - 1] ^= 0xFF;  // Adler-32 no longer matches
    EXPECT_THROW(InflateStream(flipped.data(), flipped.size(), out.data(), out.size()), EDecompressionError);
    try {
        InflateStream(cut.data(), cut.size(), out.data(), out.size());
    } catch (const EDecompressionError& e) {
        EXPECT_STREQ(e.what(), "error");
    }
}

}  // namespace
}  // namespace tessary
