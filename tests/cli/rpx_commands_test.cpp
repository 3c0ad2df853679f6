// tessary-cli info and extract on RPX2 files written here with the engine's
// own writer, and on damaged files.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/file.h"
#include "common/run_context.h"
#include "common/scale_list.h"
#include "engine/source_rows.h"
#include "raster/scratch_raster.h"
#include "rpx/rpx2_writer.h"
#include "run_cli.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunCli;
using tessary::testing_cli::RunResult;

class RpxCommands : public ::testing::Test {
protected:
    void SetUp() override {
        palette_[0] = {0, 0, 0, 0};
        palette_[1] = {0, 0, 255, 0};
        palette_[2] = {0, 255, 0, 0};
        palette_[3] = {255, 0, 0, 0};
        palette_[4] = {255, 255, 255, 0};
    }
    std::string Path(const std::string& name) const { return (root_ / name).string(); }

    // Level k has size sizes[k]; its pixel (x, y) is (x / 10 + y / 10 + k) % colours[k].
    void WriteFile(const std::string& path, const std::vector<std::pair<int, int>>& sizes,
                   const std::vector<int>& colours, const std::vector<float>& scales, bool chart) {
        RunContext context;
        context.tempFolder = FolderPath(root_.string() + "/");
        Rpx2Writer writer(CheckedFile(path, CheckedFile::Mode::Create), context);
        ScaleList list = FreshScaleList();
        for (size_t i = 0; i < scales.size(); ++i) list[i] = scales[i];
        WriteRpx2Header(writer, sizes[0].first, sizes[0].second, chart, list);
        for (size_t k = 0; k < sizes.size(); ++k) {
            auto [w, h] = sizes[k];
            std::string scratch = Path("level.rpx0");
            {
                ScratchRasterWriter sw(scratch, w, h, palette_);
                std::vector<uint8_t> row(static_cast<size_t>(w));
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x)
                        row[size_t(x)] = uint8_t((x / 10 + y / 10 + int(k)) % colours[k]);
                    sw.AppendRow(row.data());
                }
                sw.Finish();
            }
            AddEngineSourceRows();
            SourceHandle source = OpenSourceImageOrNull(scratch);
            ASSERT_TRUE(source);
            ASSERT_TRUE(WriteRpx2Level(writer, *source));
        }
        WriteRpx2Trailer(writer);
        writer.Close();
    }

    test::TempFolder temp_{"tessary_rpxcmd"};
    fs::path root_ = temp_.Path();
    Palette palette_{};
};

TEST_F(RpxCommands, InfoShowsHeaderAndLevels) {
    const std::string file = Path("m.rpx2");
    WriteFile(file, {{200, 130}, {50, 33}, {130, 85}}, {5, 3, 4}, {100.0f, 25.0f, 65.0f}, true);
    RunResult r = RunCli("info '" + file + "'");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Format        RPX2 (magic 0x7778)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Image         200 x 130, 8 bits per pixel"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Chart flag    1"), std::string::npos);
    EXPECT_NE(r.out.find("Zoom count    1"), std::string::npos);
    EXPECT_NE(r.out.find("Levels        3"), std::string::npos);

    // Each level says what it is, its scale in percent.
    EXPECT_NE(r.out.find("0      full size       200      130      100%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1      zoom level       50       33       25%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2      thumbnail       130       85       65%"), std::string::npos) << r.out;

    RunResult j = RunCli("info --json '" + file + "'");
    ASSERT_EQ(j.status, 0) << j.out;
    nlohmann::json info = nlohmann::json::parse(j.out);
    EXPECT_EQ(info["chart_flag"], 1);
    EXPECT_EQ(info["file"], file);
    ASSERT_EQ(info["levels"].size(), 3u);
    const nlohmann::json& level0 = info["levels"][0];
    EXPECT_EQ(level0["kind"], "full size");
    EXPECT_EQ(level0["width"], 200);
    EXPECT_EQ(level0["height"], 130);
    EXPECT_EQ(level0["scale"], 100.0);
    EXPECT_EQ(level0["tiles_across"], 4);
    EXPECT_EQ(level0["tiles_down"], 3);
    EXPECT_EQ(level0["colours_used"], 5);
    EXPECT_EQ(info["levels"][1]["colours_used"], 3);
    EXPECT_EQ(info["levels"][1]["scale"], 25.0);
    EXPECT_EQ(info["levels"][2]["kind"], "thumbnail");
    EXPECT_EQ(info["levels"][2]["width"], 130);
    // The tile streams are everything but the fixed parts: head and scales,
    // per level a marker and a header with one position per tile, the table.
    uint64_t streams = 0;
    for (const auto& level : info["levels"]) streams += level["compressed_bytes"].get<uint64_t>();
    const uint64_t tiles = 4 * 3 + 1 * 1 + 3 * 2;
    EXPECT_EQ(streams + 60 + 4 * 3 + 3 * (4 + 1040) + 4 * tiles + 4 * 3 + 4, fs::file_size(file));
}

TEST_F(RpxCommands, ExtractWritesTheLevelAsAPalettePng) {
    const std::string file = Path("m.rpx2");
    WriteFile(file, {{200, 130}, {50, 33}, {130, 85}}, {5, 3, 4}, {100.0f, 25.0f, 65.0f}, false);
    for (auto [level, w, h] : {std::tuple{0, 200, 130}, std::tuple{1, 50, 33}, std::tuple{-1, 130, 85}}) {
        const std::string png = Path("level" + std::to_string(level) + ".png");
        RunResult r = RunCli("extract '" + file + "' --level " + std::to_string(level) + " '" + png + "'");
        ASSERT_EQ(r.status, 0) << r.out;
        // -1 names the level it took.
        if (level < 0) {
            EXPECT_NE(r.out.find(": level 2 (thumbnail), 130 x 85, written to "), std::string::npos) << r.out;
        }
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str())) << image.message;
        EXPECT_EQ(int(image.width), w);
        EXPECT_EQ(int(image.height), h);
        EXPECT_TRUE(image.format & PNG_FORMAT_FLAG_COLORMAP);
        image.format = PNG_FORMAT_BGR;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
        // Pixel (x, y) of level k has index (x / 10 + y / 10 + k) % colours.
        const int k = level < 0 ? 2 : level, colours = k == 0 ? 5 : k == 1 ? 3 : 4;
        for (auto [x, y] : {std::pair{0, 0}, std::pair{w - 1, h - 1}, std::pair{37, 21}}) {
            const PaletteEntry& e = palette_[size_t((x / 10 + y / 10 + k) % colours)];
            const uint8_t* p = &pixels[(size_t(y) * size_t(w) + size_t(x)) * 3];
            EXPECT_EQ(p[0], e.blue);
            EXPECT_EQ(p[1], e.green);
            EXPECT_EQ(p[2], e.red);
        }
    }
    RunResult r = RunCli("extract '" + file + "' --level 3 '" + Path("x.png") + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("has levels 0 to 2, not 3"), std::string::npos) << r.out;
    r = RunCli("extract '" + file + "' '" + Path("x.jpg") + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tessary-cli: extract: \"" + Path("x.jpg") + "\" does not end in .png"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(Path("x.jpg")));
}

TEST_F(RpxCommands, DamagedOrMissingFilesAreRefusedByName) {
    const std::string file = Path("m.rpx2");
    WriteFile(file, {{200, 130}, {50, 33}, {130, 85}}, {5, 3, 4}, {100.0f, 25.0f, 65.0f}, false);
    fs::resize_file(file, fs::file_size(file) - 100);
    RunResult r = RunCli("info '" + file + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("m.rpx2\" is not a readable RPX2 file"), std::string::npos) << r.out;
    r = RunCli("extract '" + file + "' '" + Path("x.png") + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(Path("x.png")));
    std::ofstream(Path("junk.rpx2")) << "not an image at all";
    EXPECT_EQ(RunCli("info '" + Path("junk.rpx2") + "'").status, 2);
    r = RunCli("info '" + Path("none.rpx2") + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("none.rpx2\" does not exist"), std::string::npos);
}

}  // namespace
}  // namespace tessary
