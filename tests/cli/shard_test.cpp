// tessary-cli convert --shard K/N and --jobs N, run as a program: the N
// shards of a folder must write exactly the files of the whole run (numbered
// names included), and several images at once must print and report what
// one image at a time does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "run_cli.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using testing_cli::RunCliProgram;
using testing_cli::WriteRgbTiff;

class ShardRun : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = root_ + "/src";
        fs::create_directories(src_);
        // a.tif and a.tiff share the name a.rpx2; the calibration file names
        // "a", so both get a copy, the second numbered like its image.
        WriteRgbTiff(src_ + "/a.tif", 330, 310, 1);
        WriteRgbTiff(src_ + "/a.tiff", 310, 330, 2);
        for (int i = 0; i < 6; ++i)
            WriteRgbTiff(src_ + "/" + std::string(1, char('b' + i)) + ".tif", 300 + i * 7, 320, i + 3);
        WriteRgbTiff(src_ + "/small.tif", 120, 100, 9);  // too small
        std::ofstream(src_ + "/a.map") << "Tessary calibration\nA\na.tif\nDatum,WGS 84\n";
        // Two calibration files whose copies share a name, for images that
        // fall into different shards: numbered as in the whole run.
        std::ofstream(src_ + "/sheet.1.map") << "Tessary calibration\nB\nb.tif\nDatum,WGS 84\n";
        std::ofstream(src_ + "/sheet.2.map") << "Tessary calibration\nC\nc.tif\nDatum,WGS 84\n";
    }

    testing_cli::RunResult Convert(const std::string& options, const std::string& dest) {
        return RunCliProgram("convert --no-image-path " + options + " --dest '" + dest + "' '" + src_ + "'",
                             false);
    }

    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // A count from a report's totals line.
    static int Total(const std::string& report, const std::string& key) {
        std::smatch match;
        if (!std::regex_search(report, match, std::regex("\"" + key + "\":(\\d+)"))) return -1;
        return std::stoi(match[1]);
    }

    test::TempFolder folder_{"tessary_shard"};
    std::string root_ = folder_.Str();
    std::string src_;
};

TEST_F(ShardRun, ShardsTogetherWriteTheWholeRunsFilesOnceAndResumeAsUpToDate) {
    const std::string whole = root_ + "/whole";
    ASSERT_EQ(Convert("", whole).status, 0);
    const std::map<std::string, std::string> files = test::FilesByName(whole);
    ASSERT_TRUE(files.count("a.rpx2") && files.count("a_1.rpx2") && files.count("a_rpx.map") &&
                files.count("a_1_rpx.map") && files.count("sheet_rpx.map") && files.count("sheet_1_rpx.map"));
    ASSERT_EQ(files.size(), 12u);  // eight RPX2 files, four map copies

    for (int count = 1; count <= 4; ++count) {
        const std::string dest = root_ + "/shards" + std::to_string(count);
        int converted = 0;
        for (int index = 0; index < count; ++index) {
            const std::string report =
                root_ + "/r" + std::to_string(count) + "_" + std::to_string(index) + ".jsonl";
            const std::string shard = std::to_string(index) + "/" + std::to_string(count);
            ASSERT_EQ(Convert("--shard " + shard + " --report '" + report + "'", dest).status, 0) << shard;
            converted += Total(Read(report), "converted");
        }
        EXPECT_EQ(converted, 8) << count << " shards: an image converted twice or never";
        EXPECT_TRUE(test::FilesByName(dest) == files) << count << " shards do not write the whole run's files";
    }

    // A resubmitted array converts nothing again.
    const std::string dest = root_ + "/shards3";
    for (int index = 0; index < 3; ++index) {
        const std::string report = root_ + "/again" + std::to_string(index) + ".jsonl";
        ASSERT_EQ(Convert("--update --shard " + std::to_string(index) + "/3 --report '" + report + "'", dest)
                      .status,
                  0);
        const std::string text = Read(report);
        EXPECT_EQ(Total(text, "converted"), 0) << text;
        EXPECT_EQ(Total(text, "up_to_date") + Total(text, "too_small"), Total(text, "images")) << text;
    }
    EXPECT_TRUE(test::FilesByName(dest) == files);
}

TEST_F(ShardRun, SeveralJobsPrintAndReportWhatOneJobDoes) {
    auto run = [&](const std::string& jobs) {
        const std::string dest = root_ + "/jobs" + jobs;
        const std::string report = root_ + "/jobs" + jobs + ".jsonl";
        testing_cli::RunResult result = Convert("--jobs " + jobs + " --report '" + report + "'", dest);
        EXPECT_EQ(result.status, 0) << result.out;
        std::string text = result.out + Read(report);
        // The run line names the run's own command line and start time.
        text = std::regex_replace(text, std::regex("\\{\"run\":[^\n]*\n"), "");
        text = std::regex_replace(text, std::regex(dest), "DEST");
        return std::regex_replace(text, std::regex("\"seconds\":[0-9.e+-]+"), "");
    };
    const std::string one = run("1");
    EXPECT_NE(one.find("a_1.rpx2"), std::string::npos);
    EXPECT_EQ(run("3"), one);
    EXPECT_EQ(run("0"), one);
}

TEST_F(ShardRun, ShardsAreCheckedAndAnEmptyShardSucceeds) {
    for (const char* bad : {"2/2", "1/0", "-1/3", "x", "1/", "1/2/3"}) {
        testing_cli::RunResult result =
            RunCliProgram(std::string("convert --shard ") + bad + " '" + src_ + "'", true);
        EXPECT_EQ(result.status, 2) << bad;
        EXPECT_NE(result.out.find("--shard needs K/N"), std::string::npos) << result.out;
    }
    // Nine images in twelve shards: shard 11 has none, and that task of a
    // job array must not fail.
    testing_cli::RunResult result =
        RunCliProgram("convert --shard 11/12 --dest '" + root_ + "/empty' '" + src_ + "'", false);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "0 of 0 images converted\n");
}

}  // namespace
}  // namespace tessary
