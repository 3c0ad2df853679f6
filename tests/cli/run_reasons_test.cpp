// What a run and its plan say about an image: the calibration file chosen
// among several (the plan in the words of the run's warning), and the size
// of an image refused as too small.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunCliSplit;
using tessary::testing_cli::SplitResult;
using tessary::testing_cli::WriteRgbTiff;

using tessary::testing_cli::Quote;

void WriteCalibration(const fs::path& path, const std::string& imageName) {
    std::ofstream(path, std::ios::binary) << "Map calibration\r\nSheet\r\n" << imageName
                                          << "\r\n1 ,Map Code,\r\nWGS 84,WGS 84,\r\n";
}

TEST(RunReasons, SeveralMatchesArePlannedAsTheRunWarns) {
    tessary::test::TempFolder temp{"tessary_plan_calibration"};
    const fs::path src = temp.Path() / "src", out = temp.Path() / "out";
    fs::create_directories(src);
    WriteRgbTiff((src / "bali.tif").string(), 320, 300);
    // The directory's own order must not decide: the later name is written first.
    WriteCalibration(src / "z_bali.map", "BALI.TIF");
    WriteCalibration(src / "a_bali.map", "bali.tif");
    WriteCalibration(src / "other.map", "other.tif");
    const std::string a = (src / "a_bali.map").string(), z = (src / "z_bali.map").string();
    const std::string choice = "several match: " + a + ", " + z + "; " + a + " is used";

    const fs::path report = temp.Path() / "plan.jsonl";
    SplitResult plan = RunCliSplit("convert -n --dest " + Quote(out) + " --report " + Quote(report) + " " +
                                   Quote(src / "bali.tif"));
    ASSERT_EQ(plan.status, 0) << plan.out << plan.err;
    EXPECT_NE(plan.out.find("convert: " + (src / "bali.tif").string() + " -> " + (out / "bali.rpx2").string() +
                            "; calibration: " + choice + "\n"),
              std::string::npos)
        << plan.out;
    EXPECT_FALSE(fs::exists(out));

    std::ifstream lines(report);
    std::string line;
    bool found = false;
    while (std::getline(lines, line)) {
        const nlohmann::json object = nlohmann::json::parse(line);
        if (!object.contains("source")) continue;
        found = true;
        EXPECT_EQ(object["calibration"], a);
        ASSERT_EQ(object["calibration_matches"].size(), 2u) << line;
        EXPECT_EQ(object["calibration_matches"][0]["path"], a);
        EXPECT_EQ(object["calibration_matches"][1]["path"], z);
    }
    EXPECT_TRUE(found);

    // The real run warns with the same names, in the same order, and uses the same file.
    SplitResult run = RunCliSplit("convert --dest " + Quote(out) + " " + Quote(src / "bali.tif"));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Warning : " + std::string("several calibration files match: ") + a + ", " + z + "; " +
                           a + " is used"),
              std::string::npos)
        << run.out;
    std::ifstream copy(out / "a_bali_rpx.map", std::ios::binary);
    EXPECT_TRUE(copy.good());

    // One match: the plan names the file alone.
    fs::remove(src / "z_bali.map");
    plan = RunCliSplit("convert -n --dest " + Quote(temp.Path() / "out2") + " " + Quote(src / "bali.tif"));
    EXPECT_NE(plan.out.find("; calibration: " + a + "\n"), std::string::npos) << plan.out;
}

TEST(RunReasons, TooSmallImageGivesItsSizeInTheReport) {
    tessary::test::TempFolder temp{"tessary_run_reasons"};
    const fs::path src = temp.Path() / "src", out = temp.Path() / "out";
    fs::create_directories(src);
    WriteRgbTiff((src / "small.tif").string(), 120, 100);
    WriteRgbTiff((src / "fine.tif").string(), 320, 300);
    const fs::path report = temp.Path() / "run.jsonl";
    SplitResult run =
        RunCliSplit("convert --dest " + Quote(out) + " --report " + Quote(report) + " " + Quote(src));
    const std::string reason = "120 x 100: below 300 pixels in width and in height";
    // The log's line stays as it is; the size goes where the reason goes.
    EXPECT_NE(run.out.find("Image is too small must be 300 pixels or greater in width or height\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.status, 0) << run.err;
    std::ifstream lines(report);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        const nlohmann::json object = nlohmann::json::parse(line);
        if (object.value("source", "") != (src / "small.tif").string()) continue;
        ++rows;
        EXPECT_EQ(object["outcome"], "too-small");
        EXPECT_EQ(object["reason"], reason);
    }
    EXPECT_EQ(rows, 1);
}

}  // namespace
