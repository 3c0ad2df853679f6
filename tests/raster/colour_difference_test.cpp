#include "raster/colour_difference.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tessary {
namespace {

// The 34 pairs of Sharma, Wu and Dalal, "The CIEDE2000 color-difference
// formula: implementation notes, supplementary test data, and mathematical
// observations" (2005), table 1: L, a, b of each sample and the difference.
struct Pair {
    Lab first, second;
    double expected;
};
const Pair kPairs[] = {
    {{50.0000, 2.6772, -79.7751}, {50.0000, 0.0000, -82.7485}, 2.0425},
    {{50.0000, 3.1571, -77.2803}, {50.0000, 0.0000, -82.7485}, 2.8615},
    {{50.0000, 2.8361, -74.0200}, {50.0000, 0.0000, -82.7485}, 3.4412},
    {{50.0000, -1.3802, -84.2814}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, -1.1848, -84.8006}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, -0.9009, -85.5211}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, 0.0000, 0.0000}, {50.0000, -1.0000, 2.0000}, 2.3669},
    {{50.0000, -1.0000, 2.0000}, {50.0000, 0.0000, 0.0000}, 2.3669},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0009}, 7.1792},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0010}, 7.1792},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0011}, 7.2195},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0012}, 7.2195},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0009, -2.4900}, 4.8045},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0010, -2.4900}, 4.8045},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0011, -2.4900}, 4.7461},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 0.0000, -2.5000}, 4.3065},
    {{50.0000, 2.5000, 0.0000}, {73.0000, 25.0000, -18.0000}, 27.1492},
    {{50.0000, 2.5000, 0.0000}, {61.0000, -5.0000, 29.0000}, 22.8977},
    {{50.0000, 2.5000, 0.0000}, {56.0000, -27.0000, -3.0000}, 31.9030},
    {{50.0000, 2.5000, 0.0000}, {58.0000, 24.0000, 15.0000}, 19.4535},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.1736, 0.5854}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.2972, 0.0000}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 1.8634, 0.5757}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.2592, 0.3350}, 1.0000},
    {{60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}, 1.2644},
    {{63.0109, -31.0961, -5.8663}, {62.8187, -29.7946, -4.0864}, 1.2630},
    {{61.2901, 3.7196, -5.3901}, {61.4292, 2.2480, -4.9620}, 1.8731},
    {{35.0831, -44.1164, 3.7933}, {35.0232, -40.0716, 1.5901}, 1.8645},
    {{22.7233, 20.0904, -46.6940}, {23.0331, 14.9730, -42.5619}, 2.0373},
    {{36.4612, 47.8580, 18.3852}, {36.2715, 50.5065, 21.2231}, 1.4146},
    {{90.8027, -2.0831, 1.4410}, {91.1528, -1.6435, 0.0447}, 1.4441},
    {{90.9257, -0.5406, -0.9208}, {88.6381, -0.8985, -0.7239}, 1.5381},
    {{6.7747, -0.2908, -2.4247}, {5.8714, -0.0985, -2.2286}, 0.6377},
    {{2.0776, 0.0795, -1.1350}, {0.9033, -0.0636, -0.5514}, 0.9082},
};

TEST(Ciede2000, PublishedPairsToFourDecimalsBothWays) {
    for (size_t i = 0; i < std::size(kPairs); ++i) {
        const Pair& p = kPairs[i];
        // The table rounds to four decimals.
        EXPECT_NEAR(Ciede2000(p.first, p.second), p.expected, 0.00005) << "pair " << i + 1;
        EXPECT_NEAR(Ciede2000(p.second, p.first), p.expected, 0.00005) << "pair " << i + 1 << " reversed";
    }
}

TEST(Ciede2000, SrgbReferenceColours) {
    // White is L 100 on the neutral axis; sRGB red and mid grey as every
    // colour-science reference lists them (D65).
    const Lab white = SrgbToLab(255, 255, 255);
    EXPECT_NEAR(white.L, 100.0, 0.01);
    EXPECT_NEAR(white.a, 0.0, 0.01);
    EXPECT_NEAR(white.b, 0.0, 0.01);
    const Lab red = SrgbToLab(255, 0, 0);
    EXPECT_NEAR(red.L, 53.24, 0.01);
    EXPECT_NEAR(red.a, 80.09, 0.01);
    EXPECT_NEAR(red.b, 67.20, 0.01);
    const Lab grey = SrgbToLab(128, 128, 128);
    EXPECT_NEAR(grey.L, 53.59, 0.01);
    EXPECT_EQ(Ciede2000(grey, grey), 0.0);
}

TEST(ErrorStatistics, MeanPercentileAndLargest) {
    ErrorStatistics s;
    for (int i = 0; i < 99; ++i) s.Add(1.0);
    s.Add(30.5);
    EXPECT_EQ(s.Count(), 100);
    EXPECT_NEAR(s.Mean(), (99.0 + 30.5) / 100.0, 1e-12);
    EXPECT_DOUBLE_EQ(s.Percentile(0.99), 1.0);  // 99 of 100 are at most 1
    EXPECT_DOUBLE_EQ(s.Percentile(1.0), 30.5);
    EXPECT_DOUBLE_EQ(s.Largest(), 30.5);
}

TEST(HeatColour, ScaleRunsFromDarkBlueThroughRedToWhite) {
    const auto none = HeatColour(0.0);
    EXPECT_LT(none[0], 40);
    EXPECT_GT(none[2], none[0]);
    const auto ten = HeatColour(10.0);
    EXPECT_GT(ten[0], 200);
    EXPECT_LT(ten[1], 60);
    const auto beyond = HeatColour(55.0);
    EXPECT_EQ(beyond, (std::array<uint8_t, 3>{255, 255, 255}));
}

}  // namespace
}  // namespace tessary
