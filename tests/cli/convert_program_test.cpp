// tessary-cli convert run as a program: exit statuses, the printed log,
// Ctrl-C, and the private scratch folder.
#include <gtest/gtest.h>

#include "run_cli.h"
#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunResult;

RunResult RunCli(const std::string& arguments, bool withStderr = true) {
    return tessary::testing_cli::RunCliProgram(arguments, withStderr);
}

// A 24-bit RGB TIFF with some structure.
void WriteRgbTiff(const std::string& path, int width, int height) {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tiff);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(16));
    std::vector<uint8_t> row(size_t(width) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            row[size_t(x) * 3] = uint8_t((x * 3 + y) % 256);
            row[size_t(x) * 3 + 1] = uint8_t((y * 2) % 256);
            row[size_t(x) * 3 + 2] = (x % 50 < 2) ? 20 : uint8_t((x ^ y) & 0xFF);
        }
        ASSERT_EQ(TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0), 1);
    }
    TIFFClose(tiff);
}

class ConvertProgram : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("tessary_convert_cli_" + std::to_string(getpid()) + "_" +
                                             std::to_string(std::random_device{}()));
        src_ = Folder("src");
        out_ = Folder("out");
        tmp_ = Folder("tmp");
    }
    void TearDown() override { fs::remove_all(root_); }
    std::string Folder(const std::string& name) {
        fs::create_directories(root_ / name);
        return (root_ / name).string();
    }
    std::string Common() const { return "--dest '" + out_ + "' --temp '" + tmp_ + "' "; }

    fs::path root_;
    std::string src_, out_, tmp_;
};

TEST_F(ConvertProgram, ConvertsTheListedImagesAndPrintsThePlainLog) {
    WriteRgbTiff(src_ + "/b.tif", 420, 320);
    WriteRgbTiff(src_ + "/a.TIF", 330, 300);
    std::ofstream(src_ + "/notes.txt") << "not an image";
    RunResult r = RunCli("convert " + Common() + "'" + src_ + "'", false);
    ASSERT_EQ(r.status, 0) << r.out;
    // Name order, plain text (not a terminal), kind letters never shown.
    EXPECT_EQ(r.out.find("Processing - a.TIF"), 0u) << r.out;
    EXPECT_LT(r.out.find("Processing - a.TIF"), r.out.find("Processing - b.tif"));
    EXPECT_NE(r.out.find("   Rpx2 image created : b.rpx2\n   In path : " + out_ + "/\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("   No .map file found\n"), std::string::npos);
    EXPECT_NE(r.out.find("\n2 Image File(s) Processed\n"), std::string::npos);
    EXPECT_EQ(r.out.find('\033'), std::string::npos);
    EXPECT_EQ(r.out.find('\t'), std::string::npos);
    EXPECT_TRUE(fs::exists(out_ + "/a.rpx2"));
    EXPECT_TRUE(fs::exists(out_ + "/b.rpx2"));
    EXPECT_TRUE(fs::is_empty(tmp_));  // the private scratch folder is gone

    // Named files only, with options; the summary goes to stderr.
    r = RunCli("convert " + Common() + "--resize 50 --colors 64 --no-map-copy '" + src_ + "' b.tif");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("tessary-cli: 1 of 1 image(s) converted, 0 failed, 0 aborted"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("a.TIF"), std::string::npos);
}

TEST_F(ConvertProgram, ExitStatusTellsImageFailuresFromRunFailures) {
    WriteRgbTiff(src_ + "/good.tif", 320, 300);
    RunResult r = RunCli("convert " + Common() + "'" + src_ + "' good.tif missing.tif");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Image file not found"), std::string::npos);
    EXPECT_TRUE(fs::exists(out_ + "/good.rpx2"));

    r = RunCli("convert " + Common() + "--filter gif '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tessary-cli: No Image Files Selected"), std::string::npos) << r.out;

    r = RunCli("convert --dest '" + out_ + "/nope' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Destination Folder is not valid"), std::string::npos) << r.out;

    r = RunCli("convert --temp '" + tmp_ + "/nope' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Temp File Folder is not valid"), std::string::npos) << r.out;

    r = RunCli("convert '" + src_ + "/nope'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("source folder \"" + src_ + "/nope\" does not exist"), std::string::npos) << r.out;

    r = RunCli("convert --scales '" + src_ + "/UseScales.dat' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("UseScales.dat\" does not exist"), std::string::npos) << r.out;
}

TEST_F(ConvertProgram, ScaleFileChoosesTheLevels) {
    WriteRgbTiff(src_ + "/s.tif", 600, 600);
    std::ofstream(src_ + "/scales.dat") << "50\n;25\n 20 \n";
    RunResult r = RunCli("convert " + Common() + "--scales '" + src_ + "/scales.dat' '" + src_ + "' s.tif");
    ASSERT_EQ(r.status, 0) << r.out;
    r = RunCli("info '" + out_ + "/s.rpx2'");
    EXPECT_NE(r.out.find("Levels        5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     300      300        50"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     120      120        20"), std::string::npos) << r.out;
}

TEST_F(ConvertProgram, InterruptAbortsTheImageAndRemovesTheScratchFolder) {
    WriteRgbTiff(src_ + "/big1.tif", 2600, 2400);
    WriteRgbTiff(src_ + "/big2.tif", 2600, 2400);
    std::ofstream(out_ + "/big1.rpx2") << "earlier";
    std::string log = (root_ / "log.txt").string();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen(log.c_str(), "w", stdout);
        std::freopen((log + ".err").c_str(), "w", stderr);
        std::string cli = std::string(TESSARY_BIN_DIR) + "/tessary-cli";
        execl(cli.c_str(), cli.c_str(), "convert", "--dest", out_.c_str(), "--temp", tmp_.c_str(),
              src_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait until the run is at work in its scratch folder, then press Ctrl-C.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool working = false;
    while (!working && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::recursive_directory_iterator(tmp_))
            if (entry.path().extension() == ".rpx0") working = true;
        if (!working) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(working);
    kill(child, SIGINT);
    int raw = 0;
    waitpid(child, &raw, 0);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    std::ifstream in(log);
    std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(printed.find("Processing - big1.tif\n   Aborted by user\n\n1 Image File(s) Processed\n"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find("big2"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(tmp_));
    std::ifstream earlier(out_ + "/big1.rpx2");
    std::string kept((std::istreambuf_iterator<char>(earlier)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "earlier");
    for (const auto& entry : fs::directory_iterator(out_))
        EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
}

}  // namespace
