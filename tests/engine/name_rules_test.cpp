// The two path rules as a run applies them: a backslash is part of a local
// file's name, while the image path on a calibration file's third line is a
// Windows path.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

using test::ReadFile;

#ifndef _WIN32
TEST(NameRules, ABackslashStaysInTheNameWhileCalibrationLinesSplitAtIt) {
    test::TempFolder temp("tessary_names");
    ConversionJob job;
    test::SetRunFolders(job, temp);
    std::atomic<bool> abort{false};
    job.abort = &abort;
    test::RecordingObserver observer;
    observer.abort = &abort;

    const auto picture = [](int shift) {
        return test::DrawnImage(320, 310, [shift](int x, int y) {
            return std::array<uint8_t, 3>{uint8_t((x + shift) % 256), uint8_t(y % 256), uint8_t((x ^ y) & 0xFF)};
        });
    };
    test::WriteBmp(job.sourceFolder.Text() + "a\\m.bmp", picture(0), test::BmpRows::BottomUp);
    test::WriteBmp(job.sourceFolder.Text() + "m.bmp", picture(90), test::BmpRows::BottomUp);
    // Written on Windows: its third line names m.bmp in a folder "scans".
    std::ofstream(job.sourceFolder.Text() + "m.map", std::ios::binary) << "1\r\n2\r\nC:\\scans\\m.bmp\r\n4\r\n";
    job.entries = {{"a\\m.bmp", true}, {"m.bmp", true}};
    ConversionLog log;
    RunConversion(job, observer, log, &observer);

    // Two images, two outputs: "a\m.bmp" is not "m.bmp" in a folder "a".
    ASSERT_EQ(observer.results.size(), 2u);
    EXPECT_EQ(observer.results[0].outcome, ImageOutcome::Converted);
    EXPECT_EQ(observer.results[0].outputPath, job.destinationFolder.Text() + "a\\m.rpx2");
    EXPECT_EQ(observer.results[1].outputPath, job.destinationFolder.Text() + "m.rpx2");
    EXPECT_TRUE(fs::exists(job.destinationFolder.Text() + "a\\m.rpx2"));
    EXPECT_TRUE(fs::exists(job.destinationFolder.Text() + "m.rpx2"));
    EXPECT_FALSE(fs::exists(job.destinationFolder.Text() + "m_1.rpx2"));
    EXPECT_NE(ReadFile(job.destinationFolder.Text() + "a\\m.rpx2"), ReadFile(job.destinationFolder.Text() + "m.rpx2"));
    const std::vector<std::string> lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "i\tProcessing - a\\m.bmp"), lines.end());

    // The calibration file's Windows path names m.bmp only: its copy follows
    // m.rpx2 and none is made for a\m.bmp.
    EXPECT_EQ(ReadFile(job.destinationFolder.Text() + "m_rpx.map"), "1\r\n2\r\n" + job.destinationFolder.Text() + "m.rpx2\r\n4\r\n");
    EXPECT_FALSE(fs::exists(job.destinationFolder.Text() + "a\\m_rpx.map"));
    EXPECT_FALSE(fs::exists(job.destinationFolder.Text() + "m_1_rpx.map"));
}
#endif

}  // namespace
}  // namespace tessary
