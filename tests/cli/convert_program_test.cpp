// tessary-cli convert run as a program: exit statuses, the printed log,
// Ctrl-C, and the private scratch folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/output_record.h"
#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunCli;
using tessary::testing_cli::RunCliSplit;
using tessary::testing_cli::RunResult;
using tessary::testing_cli::SplitResult;
using tessary::testing_cli::WriteRgbTiff;

class ConvertProgram : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = Folder("src");
        out_ = Folder("out");
        tmp_ = Folder("tmp");
    }
    std::string Folder(const std::string& name) {
        fs::create_directories(root_ / name);
        return (root_ / name).string();
    }
    std::string Common() const { return "--dest '" + out_ + "' --temp '" + tmp_ + "' "; }

    tessary::test::TempFolder temp_{"tessary_convert_cli"};
    fs::path root_ = temp_.Path();
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

    EXPECT_TRUE(r.out.ends_with("\n2 Image File(s) Processed\n2 of 2 images converted\n")) << r.out;

    // Named files only (the older SOURCE_FOLDER FILE form), with options; the
    // summary is the last line.
    r = RunCli("convert " + Common() + "--resize 50 --colors 64 --no-map-copy '" + src_ + "' b.tif");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n1 of 1 image converted\n")) << r.out;
    EXPECT_EQ(r.out.find("a.TIF"), std::string::npos);
}

TEST_F(ConvertProgram, ExitStatusTellsImageFailuresFromRunFailures) {
    WriteRgbTiff(src_ + "/good.tif", 320, 300);
    std::ofstream(src_ + "/broken.tif") << "not a picture";
    WriteRgbTiff(src_ + "/small.tif", 200, 120);
    RunResult r = RunCli("convert " + Common() + "'" + src_ + "' good.tif broken.tif small.tif");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Image could not be used"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n1 of 3 images converted, 1 too small, 1 failed\n")) << r.out;
    EXPECT_TRUE(fs::exists(out_ + "/good.rpx2"));
    fs::remove(out_ + "/good.rpx2");

    // Too small is not a failure of the run.
    r = RunCli("convert " + Common() + "'" + src_ + "' good.tif small.tif");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n1 of 2 images converted, 1 too small\n")) << r.out;
    fs::remove(out_ + "/good.rpx2");

    // A name that is in no folder refuses the run before any image is touched.
    r = RunCli("convert " + Common() + "'" + src_ + "' good.tif missing.tif");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("tessary-cli: convert: cannot read \"" + src_ +
                         "/missing.tif\": No such file or directory"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(fs::exists(out_ + "/good.rpx2"));

    r = RunCli("convert " + Common() + "--filter gif '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tessary-cli: convert: No Image Files Selected"), std::string::npos) << r.out;

    r = RunCli("convert --temp '" + tmp_ + "/nope' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.out.find("tessary-cli: convert: cannot write to \"" + tmp_ + "/nope\": No such file or directory"),
        std::string::npos)
        << r.out;

    r = RunCli("convert '" + src_ + "/nope'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.out.find("tessary-cli: convert: cannot read \"" + src_ + "/nope\": No such file or directory"),
        std::string::npos)
        << r.out;

    r = RunCli("convert --scales '" + src_ + "/UseScales.dat' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot read scale file \"" + src_ + "/UseScales.dat\": No such file or directory"),
              std::string::npos)
        << r.out;
    r = RunCli("convert --scales '" + src_ + "' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("scale file \"" + src_ + "\" is a folder, not a file"), std::string::npos) << r.out;
    r = RunCli("convert --map-folder '" + src_ + "/maps' '" + src_ + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot use map folder \"" + src_ + "/maps\": No such file or directory"),
              std::string::npos)
        << r.out;
    for (const auto& entry : fs::directory_iterator(out_))
        if (!tessary::IsRecordFileName(entry.path().filename().string())) ADD_FAILURE() << "written: " << entry.path();
}

// The GDAL-backed libraries are in the program's folder but find no GDAL to
// work with (the named library is missing, or lacks GDAL's calls): each of
// their formats fails as when its library is missing, and the rest converts.
TEST_F(ConvertProgram, WithoutGdalItsFormatsFailSayingWhyAndTheRestConverts) {
    const std::string data = std::string(TESSARY_TEST_DATA) + "/gdal/";
    fs::copy_file(data + "rgb.jp2", src_ + "/chart.jp2");
    fs::copy_file(data + "rgb.tif", src_ + "/chart.ecw");
    fs::copy_file(data + "rgb.tif", src_ + "/chart.sid");
    WriteRgbTiff(src_ + "/plain.tif", 330, 300);
    const std::string bin = TESSARY_BIN_DIR;
    for (const std::string& named : {root_.string() + "/no-such-gdal.so", bin + "/libtessary_charttiles.so"}) {
        SCOPED_TRACE(named);
        fs::remove_all(out_);
        fs::create_directories(out_);
        const SplitResult r =
            RunCliSplit("convert " + Common() + "'" + src_ + "'", "TESSARY_GDAL_LIBRARY='" + named + "' ");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.err.find("chart.ecw: The DLLs to load ECW files were not found or could not be loaded\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("chart.sid: KartoMrSID.dll not found\n"), std::string::npos) << r.err;
        // The libraries are there: the detail says they cannot be used,
        // and why, not that they are missing.
        const std::string why = named.ends_with("no-such-gdal.so")
                                    ? "TESSARY_GDAL_LIBRARY names " + named + ", which cannot be loaded: "
                                    : named + " lacks GDAL's call ";
        for (const std::string& line :
             {"   the ECW decoding library libtessary_ecw.so cannot be used: " + why,
              "   the MrSID decoding library libtessary_mrsid.so cannot be used: " + why,
              "   the GDAL library libtessary_gdal.so cannot be used: " + why})
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
        EXPECT_EQ(r.out.find("is missing from the program's folder"), std::string::npos) << r.out;
        EXPECT_TRUE(r.out.ends_with("\n1 of 4 images converted, 3 failed\n")) << r.out;
        EXPECT_TRUE(fs::exists(out_ + "/plain.rpx2"));
        EXPECT_FALSE(fs::exists(out_ + "/chart.rpx2"));
    }
}

TEST_F(ConvertProgram, ScaleFileChoosesTheLevels) {
    WriteRgbTiff(src_ + "/s.tif", 600, 600);
    // Lines that can never select a level are named with their numbers; the
    // levels stay what the good lines give.
    std::ofstream(src_ + "/scales.dat") << "50\n;25\nabc\n 20 \n\n40\n25 percent\r\n";
    RunResult r = RunCli("convert " + Common() + "--scales '" + src_ + "/scales.dat' '" + src_ + "' s.tif");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string file = "tessary-cli: convert: scale file \"" + src_ + "/scales.dat\" ";
    EXPECT_NE(r.out.find(file + "line 3: \"abc\" selects no zoom level"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(file + "line 6: \"40\" selects no zoom level"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(file + "line 7: \"25 percent\" selects no zoom level"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("line 4:"), std::string::npos) << r.out;
    r = RunCli("info '" + out_ + "/s.rpx2'");
    EXPECT_NE(r.out.find("Levels        5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zoom level      300      300       50%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("zoom level      120      120       20%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("overview        300      300       50%"), std::string::npos) << r.out;
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
    EXPECT_EQ(WEXITSTATUS(raw), 130);  // 128 + SIGINT, as a shell tells it
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
