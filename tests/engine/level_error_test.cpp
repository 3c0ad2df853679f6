// A level measured against its source with the source resampled row by row
// gives every pixel the difference it has against the source resampled whole,
// for shrinks that keep few or many source rows per level row.
#include "engine/level_error.h"

#include <gtest/gtest.h>

#include "raster/resample.h"
#include "support/image_writers.h"

namespace tessary {
namespace {

TEST(LevelError, RowByRowMeasuresAgainstTheSourceResampledWhole) {
    const test::TestImage source = test::ColourImage(301, 203);
    Palette palette{};
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
    auto sourceRows = [&](int& asked) {
        return [&](int y, uint8_t* bgr) {
            EXPECT_EQ(y, asked++) << "rows out of order";
            std::copy_n(source.Bgr(0, y), size_t(source.width) * 3, bgr);
        };
    };
    for (const auto& [width, height] : {std::pair{301, 203}, std::pair{300, 202}, std::pair{75, 51},
                                        std::pair{12, 7}, std::pair{1, 1}}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        // The level's indices, and the source resampled whole the way the
        // compare command used to.
        std::vector<uint8_t> indices(size_t(width) * size_t(height));
        for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i * 37 % 251);
        std::vector<uint8_t> reference(size_t(width) * size_t(height) * 3);
        if (width == source.width && height == source.height) {
            std::copy_n(source.Bgr(0, 0), reference.size(), reference.begin());
        } else {
            ContributorTable columns(source.width, width, kMitchellFilter);
            ContributorTable rows(source.height, height, kMitchellFilter);
            std::vector<uint8_t> across(size_t(source.height) * size_t(width) * 3);
            for (int y = 0; y < source.height; ++y)
                ResampleRow(3, source.Bgr(0, y), across.data() + size_t(y) * size_t(width) * 3, Palette{}, columns);
            for (int y = 0; y < height; ++y) {
                std::vector<const uint8_t*> inputs;
                for (const Contributor& c : rows.List(y))
                    inputs.push_back(across.data() + size_t(c.pixel) * size_t(width) * 3);
                CombineRows(rows.List(y), inputs.data(), width, reference.data() + size_t(y) * size_t(width) * 3);
            }
        }
        int asked = 0, rowsSeen = 0;
        ErrorStatistics expected;
        const LevelError measured = MeasureLevelError(
            source.width, source.height, sourceRows(asked),
            {width, height, palette, [&](int y) { return indices.data() + size_t(y) * size_t(width); }},
            [&](int y, const float* differences) {
                ASSERT_EQ(y, rowsSeen++);
                for (int x = 0; x < width; ++x) {
                    const size_t at = size_t(y) * size_t(width) + size_t(x);
                    const uint8_t* p = reference.data() + 3 * at;
                    const PaletteEntry& e = palette[indices[at]];
                    const double d = Ciede2000(SrgbToLab(p[2], p[1], p[0]), SrgbToLab(e.red, e.green, e.blue));
                    ASSERT_EQ(differences[x], float(d)) << "pixel " << x << ", " << y;
                    expected.Add(d);
                }
            });
        EXPECT_EQ(rowsSeen, height);
        EXPECT_LE(asked, source.height);
        EXPECT_FALSE(measured.stopped);
        EXPECT_DOUBLE_EQ(measured.statistics.Mean(), expected.Mean());
        EXPECT_EQ(measured.statistics.Percentile(0.99), expected.Percentile(0.99));
        EXPECT_EQ(measured.colours, int(std::min<size_t>(indices.size(), 251)));
    }

    // Asked to stop, it stops before the next row and says so.
    int asked = 0, rowsSeen = 0;
    std::vector<uint8_t> indices(75, 0);
    const LevelError stopped = MeasureLevelError(
        source.width, source.height, sourceRows(asked), {75, 51, palette, [&](int) { return indices.data(); }},
        [&](int, const float*) { ++rowsSeen; }, [&] { return rowsSeen == 3; });
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(rowsSeen, 3);
}

}  // namespace
}  // namespace tessary
