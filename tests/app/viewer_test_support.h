// RPX2 files for the viewer tests: a large file written by the real RPX2
// writer from a generated pattern (cheap to make: few colours, long runs),
// and a check of what the view draws against a decoded level.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "app/rpx2_viewer.h"
#include "common/file.h"
#include "common/picture.h"
#include "common/run_context.h"
#include "common/scale_list.h"
#include "rpx/rpx2_writer.h"
#include "sources/source_image.h"
#include "support/fake_rows.h"

namespace tessary::app::testing {

// The level-0 index at a level-0 pixel: bands of five colours with a grid
// of a sixth, so that a misplaced tile or a flipped row shows.
inline uint8_t PatternIndex(int x, int y) {
    if (x % 1000 < 4 || y % 1000 < 4) return 5;
    return uint8_t(((x / 700) + 2 * (y / 450)) % 5);
}

inline Palette PatternPalette() {
    Palette palette{};
    const uint8_t colours[6][3] = {{200, 40, 40}, {40, 160, 60}, {40, 70, 200}, {230, 200, 60},
                                   {250, 250, 250}, {20, 20, 20}};
    for (int i = 0; i < 6; ++i) palette[size_t(i)] = {colours[i][2], colours[i][1], colours[i][0], 0};
    // The unused entries are a grey, apart from the pattern's own colours.
    for (int i = 6; i < 256; ++i) palette[size_t(i)] = {128, 128, 128, 0};
    return palette;
}

// The rows of one level of the pattern: level pixel (x, y) is the pattern at
// level-0 pixel (x / scale, y / scale).
inline test::FakeRows::Fill PatternFill(int width, double scaleX, double scaleY) {
    return [=](int row, uint8_t* buffer) {
        const int y = int(row / scaleY);
        for (int x = 0; x < width; ++x) buffer[x] = PatternIndex(int(x / scaleX), y);
    };
}

// Level sizes as the zoom level build makes them: the scale's share of
// each side, rounded.
inline int LevelSide(int side, float percent) {
    return std::max(1, int(std::lround(side * double(percent) / 100.0)));
}

// Writes a width x height RPX2 file of the pattern with these scales (the
// first 100, the last two the thumbnail and the overview).
inline void WritePatternRpx2(const std::string& path, int width, int height, const std::vector<float>& scales) {
    ScaleList list = FreshScaleList();
    for (size_t i = 0; i < scales.size(); ++i) list[i] = scales[i];
    RunContext context;
    Rpx2Writer writer(CheckedFile(path, CheckedFile::Mode::Create), context);
    WriteRpx2Header(writer, width, height, false, list);
    for (float scale : scales) {
        const int w = LevelSide(width, scale), h = LevelSide(height, scale);
        Timagerecord4 raster;
        raster.FileName = path + ".pattern";
        raster.Extension = ".rpx0";
        raster.Width = w;
        raster.Height = h;
        raster.Reader = std::make_unique<test::FakeRows>(w, h, 1, PatternPalette(),
                                                         PatternFill(w, double(w) / width, double(h) / height));
        raster.Reader->FillFormat(raster.BytesPerPixel, raster.Palette);
        EXPECT_TRUE(WriteRpx2Level(writer, raster));
    }
    WriteRpx2Trailer(writer);
    writer.Close();
}

// Waits until the view has every tile it asked for.
inline bool WaitSettled(Rpx2View& view) {
    return QTest::qWaitFor([&] { return view.Settled(); }, 20000) && (QTest::qWait(1), view.Settled());
}

// Compares what the view shows at 100 % on level 0 with `expected(x, y)`,
// the colour of level-0 pixel (x, y), over the whole view or the part of it
// the image covers.
inline ::testing::AssertionResult ViewShowsLevelZero(Rpx2View& view, int imageWidth, int imageHeight,
                                                     const std::function<QRgb(int, int)>& expected) {
    if (view.Zoom() != 1.0 || view.LevelInView() != 0)
        return ::testing::AssertionFailure() << "the view is not at 100 % on level 0";
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QPointF origin = view.Origin();
    if (origin.x() != std::floor(origin.x()) || origin.y() != std::floor(origin.y()))
        return ::testing::AssertionFailure() << "the origin is not on a whole pixel";
    int compared = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) {
            const int ix = x + int(origin.x()), iy = y + int(origin.y());
            if (ix < 0 || iy < 0 || ix >= imageWidth || iy >= imageHeight) continue;
            const QRgb want = expected(ix, iy);
            if ((shown.pixel(x, y) & 0xFFFFFF) != (want & 0xFFFFFF))
                return ::testing::AssertionFailure()
                       << "view pixel " << x << ", " << y << " (image " << ix << ", " << iy << ") is "
                       << std::hex << (shown.pixel(x, y) & 0xFFFFFF) << ", the level has " << (want & 0xFFFFFF);
            ++compared;
        }
    if (compared == 0) return ::testing::AssertionFailure() << "no image pixel in view";
    return ::testing::AssertionSuccess() << compared << " pixels equal";
}

}  // namespace tessary::app::testing
