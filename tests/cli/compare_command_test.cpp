// tessary-cli compare against real conversions, and the palette options end
// to end: a picture of few colours comes through --palette fine unchanged,
// the fine palette's files are the same for any --threads and --jobs, and
// the heatmap is a picture of level 0 with its scale.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run_cli.h"
#include "support/compare_rows.h"
#include "support/image_writers.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using tessary::testing_cli::RunCli;
using tessary::testing_cli::RunResult;

// 120 colours in flat patches with thin lines: a clean map render.
std::array<uint8_t, 3> FewColours(int x, int y) {
    const int patch = ((x / 23) * 7 + (y / 17) * 3) % 120;
    if ((x + y) % 41 == 0) return {30, 30, 30};
    return {uint8_t(40 + patch), uint8_t(255 - patch * 2), uint8_t((patch * 37) % 256)};
}

TEST(CompareCommand, FinePaletteKeepsAPictureOfFewColoursExactlyAndTheOctreeIsMeasured) {
    test::TempFolder folder;
    const std::string source = folder.File("few.tif");
    test::WriteTiff(source, test::DrawnImage(400, 330, FewColours));
    for (const char* palette : {"octree", "fine"}) {
        const std::string dest = folder.File(palette);
        RunResult converted = RunCli("convert --no-map-copy --palette " + std::string(palette) + " --dest '" +
                                     dest + "' '" + source + "'");
        ASSERT_EQ(converted.status, 0) << converted.out;
        RunResult compared = RunCli("compare '" + source + "' '" + dest + "/few.rpx2'");
        ASSERT_EQ(compared.status, 0) << compared.out;
        const auto rows = test::CompareRows(compared.out);
        ASSERT_GE(rows.size(), 2u) << compared.out;
        EXPECT_EQ(rows[0].width, 400);
        EXPECT_EQ(rows[0].height, 330);
        for (const test::CompareRow& r : rows) {
            EXPECT_LE(r.mean, r.p99 + 0.01) << palette << " level " << r.level;
            EXPECT_LE(r.p99, r.largest) << palette << " level " << r.level;
        }
        if (std::string(palette) == "fine") {
            // 121 colours fit: level 0 is the source itself.
            EXPECT_EQ(rows[0].largest, 0.0) << compared.out;
            EXPECT_EQ(rows[0].colours, 121) << compared.out;
            // A reduced level of a smooth-edged picture has more colours
            // than 84 and may use all 256.
            EXPECT_GT(rows[1].colours, 84) << compared.out;
        } else {
            EXPECT_LE(rows[1].colours, 84) << compared.out;
        }
    }
}

TEST(CompareCommand, FinePaletteFilesAreTheSameForAnyThreadsAndJobs) {
    test::TempFolder folder;
    const std::string images = folder.Subfolder("images");
    for (int seed = 0; seed < 3; ++seed)
        testing_cli::WriteRgbTiff(images + "map" + std::to_string(seed) + ".tif", 420 + 30 * seed, 310, seed);
    std::vector<std::string> first;
    for (const char* run : {"--threads 1", "--threads 2", "--threads 8", "--jobs 3", "--threads 2 --dither",
                            "--threads 8 --dither", "--jobs 3 --dither"}) {
        const std::string dest = folder.File(std::string("out") + std::to_string(std::hash<std::string>{}(run)));
        RunResult r = RunCli(std::string("convert --no-map-copy --palette fine ") + run + " --dest '" + dest +
                             "' '" + images + "'");
        ASSERT_EQ(r.status, 0) << run << "\n" << r.out;
        const bool dither = std::string(run).find("dither") != std::string::npos;
        std::vector<std::string> files;
        for (int seed = 0; seed < 3; ++seed)
            files.push_back(test::ReadFile(dest + "/map" + std::to_string(seed) + ".rpx2"));
        static std::vector<std::string> firstDithered;
        std::vector<std::string>& reference = dither ? firstDithered : first;
        if (reference.empty()) {
            reference = files;
            continue;
        }
        for (int seed = 0; seed < 3; ++seed)
            EXPECT_TRUE(files[size_t(seed)] == reference[size_t(seed)]) << run << ", image " << seed;
    }
    ASSERT_FALSE(first.empty());
}

TEST(CompareCommand, HeatmapIsLevelZeroWithItsScaleAndBadInputLeavesNoFile) {
    test::TempFolder folder;
    const std::string source = folder.File("map.tif");
    testing_cli::WriteRgbTiff(source, 400, 300, 4);
    ASSERT_EQ(RunCli("convert --no-map-copy --dest '" + folder.Str() + "/out' '" + source + "'").status, 0);
    const std::string output = folder.File("out/map.rpx2");
    const std::string heatmap = folder.File("heat.png");
    RunResult r = RunCli("compare '" + source + "' '" + output + "' --heatmap '" + heatmap + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string png = test::ReadFile(heatmap);
    ASSERT_GT(png.size(), 24u);
    ASSERT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
               (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
    };
    EXPECT_EQ(be32(16), 400u);  // IHDR width
    EXPECT_GT(be32(20), 300u);  // the picture and the scale below it
    EXPECT_EQ(png[25], 2);      // RGB

    // A source that is not an image, a heatmap that is not a PNG: refused,
    // nothing written.
    const std::string other = folder.File("other.png");
    RunResult bad = RunCli("compare '" + folder.File("missing.tif") + "' '" + output + "' --heatmap '" + other + "'");
    EXPECT_EQ(bad.status, 2) << bad.out;
    RunResult wrong = RunCli("compare '" + source + "' '" + output + "' --heatmap '" + folder.File("heat.jpg") + "'");
    EXPECT_EQ(wrong.status, 2) << wrong.out;
    RunResult notRpx = RunCli("compare '" + source + "' '" + source + "'");
    EXPECT_EQ(notRpx.status, 2) << notRpx.out;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"heat.png", "map.tif", "out"}));
}

}  // namespace
}  // namespace tessary
