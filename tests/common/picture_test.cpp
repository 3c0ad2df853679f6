#include "common/picture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

namespace tessary {
namespace {

TEST(Picture, RowsArePaddedToFourBytes) {
    EXPECT_EQ(Picture::StrideFor(1, 1), 4u);
    EXPECT_EQ(Picture::StrideFor(32, 1), 4u);
    EXPECT_EQ(Picture::StrideFor(33, 1), 8u);
    EXPECT_EQ(Picture::StrideFor(9, 4), 8u);
    EXPECT_EQ(Picture::StrideFor(5, 8), 8u);
    EXPECT_EQ(Picture::StrideFor(5, 24), 16u);
    EXPECT_EQ(Picture::StrideFor(3, 32), 12u);
    // 64-bit arithmetic: no wrap for the widest rows.
    EXPECT_EQ(Picture::StrideFor(0x7FFFFFFF, 32), uint64_t(0x7FFFFFFF) * 4);
    Picture p(5, 3, 24);
    EXPECT_EQ(p.Stride(), 16u);
    EXPECT_EQ(p.DataSize(), 48u);
    EXPECT_EQ(p.Row(2) - p.Row(0), 32);
}

TEST(Picture, AbsurdSizesRaiseInsteadOfWrapping) {
    EXPECT_THROW(Picture(0, 5, 8), std::bad_alloc);
    EXPECT_THROW(Picture(5, -1, 8), std::bad_alloc);
    EXPECT_THROW(Picture(5, 5, 2), std::bad_alloc);
    EXPECT_THROW(Picture(0x7FFFFFFF, 0x7FFFFFFF, 24), std::bad_alloc);
}

TEST(Picture, OneAndFourBitPicturesBecomeEightBitIndices) {
    Picture one(10, 2, 1);
    one.Colours()[1] = {9, 8, 7, 6};
    one.Row(0)[0] = 0b10100000;
    one.Row(0)[1] = 0b01000000;  // pixel 9
    one.Row(1)[0] = 0b00000001;  // pixel 7
    one.ConvertTo8Bit();
    ASSERT_EQ(one.BitsPerPixel(), 8);
    EXPECT_EQ(one.Width(), 10);
    const uint8_t row0[10] = {1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(one.Row(0), row0, 10), 0);
    EXPECT_EQ(one.Row(1)[7], 1);
    EXPECT_EQ(one.Row(1)[6], 0);
    EXPECT_EQ(one.Colours()[1], (PaletteEntry{9, 8, 7, 6}));

    Picture four(3, 1, 4);
    four.Row(0)[0] = 0xAB;
    four.Row(0)[1] = 0xC0;
    four.ConvertTo8Bit();
    const uint8_t row[3] = {0xA, 0xB, 0xC};
    EXPECT_EQ(std::memcmp(four.Row(0), row, 3), 0);

    Picture rgb(2, 2, 24);
    rgb.ConvertTo8Bit();
    EXPECT_EQ(rgb.BitsPerPixel(), 24);
}

TEST(Picture, PaletteBytesRoundTripInBlueGreenRedReservedOrder) {
    Palette p{};
    p[3] = {1, 2, 3, 4};
    uint8_t bytes[1024];
    PaletteToBytes(p, bytes);
    EXPECT_EQ(bytes[12], 1);
    EXPECT_EQ(bytes[15], 4);
    EXPECT_EQ(PaletteFromBytes(bytes), p);
}

}  // namespace
}  // namespace tessary
