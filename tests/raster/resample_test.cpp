#include "raster/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace tessary {
namespace {

// The filters' formulas in plain double arithmetic.
double Formula(int index, double x) {
    double t = std::fabs(x);
    auto sinc = [](double u) {
        return u == 0 ? 1.0 : std::sin(std::numbers::pi * u) / (std::numbers::pi * u);
    };
    switch (index) {
        case kBoxFilter:
            return (x > -0.5 && x <= 0.5) ? 1.0 : 0.0;
        case kTriangleFilter:
            return t < 1 ? 1 - t : 0;
        case kHermiteFilter:
            return t < 1 ? (2 * t - 3) * t * t + 1 : 0;
        case kBellFilter:
            return t < 0.5 ? 0.75 - t * t : t < 1.5 ? 0.5 * (t - 1.5) * (t - 1.5) : 0;
        case kBSplineFilter:
            if (t < 1) return 0.5 * t * t * t - t * t + 2.0 / 3;
            return t < 2 ? (2 - t) * (2 - t) * (2 - t) / 6 : 0;
        case kLanczos3Filter:
            return t < 3 ? sinc(t) * sinc(t / 3) : 0;
        case kMitchellFilter:
            return t < 1   ? (7 * t * t * t - 12 * t * t + 16.0 / 3) / 6
                   : t < 2 ? (-(7.0 / 3) * t * t * t + 12 * t * t - 20 * t + 32.0 / 3) / 6
                           : 0;
    }
    return NAN;
}

TEST(ResampleFilters, TableMatchesNamesSupportsAndFormulas) {
    const char* names[] = {"Box", "Triangle", "Hermite", "Bell", "B-Spline", "Lanczos3", "Mitchell"};
    const float supports[] = {0.5f, 1.0f, 1.0f, 1.5f, 2.0f, 3.0f, 2.0f};
    for (int i = 0; i < kFilterCount; ++i) {
        const ResampleFilter& f = FilterByIndex(i);
        EXPECT_EQ(f.name, names[i]);
        EXPECT_EQ(f.support, supports[i]);
        for (int k = -400; k <= 400; ++k) {
            float x = float(k) / 100.0f;
            EXPECT_NEAR(f.function(x), Formula(i, x), 2e-6) << f.name << " at " << x;
        }
        EXPECT_EQ(f.function(f.support + 0.125f), 0.0f) << f.name;
        EXPECT_EQ(f.function(-f.support - 0.25f), 0.0f) << f.name;
    }
    EXPECT_THROW(FilterByIndex(7), std::out_of_range);
    EXPECT_THROW(FilterByIndex(-1), std::out_of_range);
}

TEST(ResampleFilters, MitchellKeyValues) {
    EXPECT_EQ(MitchellFilter(0.0f), float(double(float(16.0 / 3)) / 6));
    EXPECT_NEAR(MitchellFilter(0.0f), 8.0 / 9, 1e-7);
    EXPECT_NEAR(MitchellFilter(1.0f), 1.0 / 18, 1e-7);
    EXPECT_NEAR(MitchellFilter(-1.0f), 1.0 / 18, 1e-7);
    EXPECT_EQ(MitchellFilter(2.0f), 0.0f);
    EXPECT_EQ(BoxFilter(-0.5f), 0.0f);
    EXPECT_EQ(BoxFilter(0.5f), 1.0f);
}

// The weight of tap j for target i, from the arithmetic rules directly.
float ShrinkWeight(float scale, int i, long j) {
    float fscale = float(1.0 / double(scale));
    float center = float(double(i) / double(scale));
    float x = float((double(center) - double(j)) / double(fscale));
    return float(double(MitchellFilter(x)) / double(fscale));
}

TEST(Contributors, ShrinkingThousandToFiveHundred) {
    ContributorTable t(1000, 500, kMitchellFilter);
    EXPECT_EQ(t.Scale(), float(499.0 / 999.0));
    EXPECT_NEAR(t.Width(), 4.004, 0.001);
    EXPECT_EQ(t.Capacity(), 9);
    for (int i = 0; i < 500; ++i) {
        EXPECT_LE(int(t.List(i).size()), 9) << i;
        double sum = 0;
        for (const Contributor& c : t.List(i)) {
            EXPECT_GE(c.pixel, 0);
            EXPECT_LT(c.pixel, 1000);
            EXPECT_NE(c.weight, 0.0f);
            sum += c.weight;
        }
        EXPECT_NEAR(sum, 1.0, 0.01) << i;
    }
    // Target 0 (centre 0): taps -4..4 (the taps at +-5 weigh 0) give pixels
    // 4,3,2,1,0,1,2,3,4; j = -1 and -2 weigh as much as 1 and 2.
    auto first = t.List(0);
    ASSERT_EQ(first.size(), 9u);
    const int expectPixels[] = {4, 3, 2, 1, 0, 1, 2, 3, 4};
    for (int k = 0; k < 9; ++k) {
        EXPECT_EQ(first[size_t(k)].pixel, expectPixels[k]);
        EXPECT_EQ(first[size_t(k)].weight, ShrinkWeight(t.Scale(), 0, k - 4));
    }
    EXPECT_EQ(first[2].weight, first[6].weight);
    EXPECT_EQ(first[3].weight, first[5].weight);
    // The last target sits on pixel 999: tap 1000 is pixel 999 again and
    // tap 1001 is pixel 998.
    auto last = t.List(499);
    std::vector<std::pair<int, float>> got;
    for (const Contributor& c : last) got.emplace_back(c.pixel, c.weight);
    float center = float(499.0 / double(t.Scale()));
    long left = long(std::floor(double(center) - double(t.Width())));
    long right = long(std::ceil(double(center) + double(t.Width())));
    std::vector<std::pair<int, float>> expect;
    for (long j = left; j <= right; ++j) {
        float w = ShrinkWeight(t.Scale(), 499, j);
        if (w == 0.0f) continue;
        expect.emplace_back(j >= 1000 ? int(2 * 1000 - j - 1) : int(j), w);
    }
    EXPECT_EQ(got, expect);
    bool sawTapAtS = false;
    for (long j = left; j <= right; ++j)
        if (j == 1000 && ShrinkWeight(t.Scale(), 499, j) != 0.0f) sawTapAtS = true;
    EXPECT_TRUE(sawTapAtS);
}

TEST(Contributors, EqualSizesTakeEightNinthsAndTwoEighteenths) {
    ContributorTable t(10, 10, kMitchellFilter);
    auto list = t.List(5);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].pixel, 4);
    EXPECT_EQ(list[1].pixel, 5);
    EXPECT_EQ(list[2].pixel, 6);
    EXPECT_NEAR(list[1].weight, 8.0 / 9, 1e-7);
    EXPECT_NEAR(list[0].weight, 1.0 / 18, 1e-7);
    EXPECT_EQ(list[0].weight, list[2].weight);
}

TEST(Contributors, EveryTapLandsInsideForAnySizes) {
    // Targets of 2 need a second mirror; sizes of 1 have no span.
    const int sizes[] = {1, 2, 3, 4, 5, 7, 10, 33, 300};
    for (int filter = 0; filter < kFilterCount; ++filter) {
        for (int s : sizes) {
            for (int d : sizes) {
                ContributorTable t(s, d, filter);
                ASSERT_EQ(t.TargetSize(), d);
                for (int i = 0; i < d; ++i) {
                    double sum = 0;
                    for (const Contributor& c : t.List(i)) {
                        ASSERT_GE(c.pixel, 0) << s << "->" << d;
                        ASSERT_LT(c.pixel, s) << s << "->" << d;
                        sum += c.weight;
                    }
                    if (filter == kMitchellFilter) {
                        EXPECT_NEAR(sum, 1.0, 0.02) << s << "->" << d << " @" << i;
                    }
                }
            }
        }
    }
    EXPECT_THROW(ContributorTable(0, 5, kMitchellFilter), std::invalid_argument);
    EXPECT_THROW(ContributorTable(5, 0, kMitchellFilter), std::invalid_argument);
}

TEST(Contributors, SizeOneScalesByTheRatio) {
    EXPECT_EQ(ContributorScale(300, 1), float(1.0 / 300));
    EXPECT_EQ(ContributorScale(1, 1), 1.0f);
    EXPECT_EQ(ContributorScale(1, 4), 4.0f);
    EXPECT_EQ(ContributorScale(1000, 500), float(499.0 / 999));
    // 300 rows into one: every row contributes, around row 0.
    ContributorTable t(300, 1, kMitchellFilter);
    std::vector<int> seen(300, 0);
    for (const Contributor& c : t.List(0)) ++seen[size_t(c.pixel)];
    for (int r = 0; r < 300; ++r) EXPECT_GT(seen[size_t(r)], 0) << r;
}

TEST(ResamplePasses, SumsBecomeBytesClampedAndRoundedHalfToEven) {
    EXPECT_EQ(SumToByte(255.6f), 255);
    EXPECT_EQ(SumToByte(-0.3f), 0);
    EXPECT_EQ(SumToByte(127.5f), 128);
    EXPECT_EQ(SumToByte(126.5f), 126);
    EXPECT_EQ(SumToByte(0.5f), 0);
    EXPECT_EQ(SumToByte(254.5f), 254);
    EXPECT_EQ(SumToByte(254.51f), 255);
    // Against the library's rounding: every half and its neighbours a few
    // units in the last place away, and a million floats of -2 to 258.
    auto reference = [](float sum) {
        return sum > 255.0f ? 255 : sum < 0.0f ? 0 : int(std::nearbyint(sum));
    };
    for (int k = 0; k <= 256; ++k) {
        for (float x : {float(k), float(k) + 0.5f, float(k) - 0.5f}) {
            float up = x, down = x;
            for (int step = 0; step < 4; ++step) {
                ASSERT_EQ(SumToByte(up), reference(up)) << up;
                ASSERT_EQ(SumToByte(down), reference(down)) << down;
                up = std::nextafter(up, 1e9f);
                down = std::nextafter(down, -1e9f);
            }
        }
    }
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> any(-2.0f, 258.0f);
    for (int i = 0; i < 1000000; ++i) {
        float x = any(rng);
        ASSERT_EQ(SumToByte(x), reference(x)) << x;
    }
}

TEST(ResamplePasses, VerticalCombinationRoundsEachChannel) {
    const Contributor list[] = {{0, 0.5f}, {1, 0.5f}};
    const uint8_t a[] = {3, 1, 2, 255, 0, 100};
    const uint8_t b[] = {4, 2, 3, 255, 1, 101};
    const uint8_t* rows[] = {a, b};
    uint8_t out[6];
    CombineRows(list, rows, 2, out);
    const uint8_t expect[] = {4, 2, 2, 255, 0, 100};  // 3.5, 1.5, 2.5, 255, 0.5, 100.5
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), std::vector<uint8_t>(expect, expect + 6));
}

TEST(ResamplePasses, PalettisedRowsResampleAsTheirColours) {
    Palette p{};
    for (int i = 0; i < 256; ++i)
        p[size_t(i)] = PaletteEntry{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2), 0};
    const int W = 37;
    std::vector<uint8_t> indices(W), bgr(W * 3);
    for (int x = 0; x < W; ++x) {
        indices[size_t(x)] = uint8_t(x * 7);
        bgr[size_t(3 * x)] = p[uint8_t(x * 7)].blue;
        bgr[size_t(3 * x + 1)] = p[uint8_t(x * 7)].green;
        bgr[size_t(3 * x + 2)] = p[uint8_t(x * 7)].red;
    }
    ContributorTable columns(W, 11, kMitchellFilter);
    std::vector<uint8_t> fromIndices(33), fromBgr(33);
    ResampleRow(1, indices.data(), fromIndices.data(), p, columns);
    ResampleRow(3, bgr.data(), fromBgr.data(), p, columns);
    EXPECT_EQ(fromIndices, fromBgr);

    // A flat row stays flat; a ramp stays ordered.
    std::vector<uint8_t> flat(W * 3, 200), ramp(W * 3), out(33);
    ResampleRow(3, flat.data(), out.data(), p, columns);
    for (uint8_t v : out) EXPECT_EQ(v, 200);
    for (int x = 0; x < W; ++x)
        ramp[size_t(3 * x)] = ramp[size_t(3 * x + 1)] = ramp[size_t(3 * x + 2)] = uint8_t(x * 6);
    ResampleRow(3, ramp.data(), out.data(), p, columns);
    for (int x = 1; x < 11; ++x) EXPECT_LT(out[size_t(3 * (x - 1))], out[size_t(3 * x)]);
}

}  // namespace
}  // namespace tessary
