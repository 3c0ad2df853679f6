// A run killed at each rename of an image's commit (output, calibration copy,
// then the note that becomes the output's record): the next run finishes the
// commit, so the output, its copy and its record are all there, and --update
// finds the output up to date. The kill comes from strace's fault injection
// at the Nth rename; without strace the test is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/output_record.h"
#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunCliSplit;
using tessary::testing_cli::SplitResult;
using tessary::testing_cli::WriteRgbTiff;

using tessary::testing_cli::Quote;

TEST(CommitKill, AKillAtEachRenameIsFinishedByTheNextRun) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    tessary::test::TempFolder temp{"tessary_commit_kill"};
    const fs::path src = temp.Path() / "src";
    fs::create_directories(src);
    WriteRgbTiff((src / "a.tif").string(), 320, 300);
    std::ofstream(src / "a.map", std::ios::binary)
        << "Map calibration\r\nSheet\r\na.tif\r\n1 ,Map Code,\r\nWGS 84,WGS 84,\r\n";
    for (int rename = 1; rename <= 3; ++rename) {
        SCOPED_TRACE("killed at rename " + std::to_string(rename));
        const fs::path out = temp.Path() / ("out" + std::to_string(rename));
        fs::create_directories(out);
        const std::string prefix = "strace -f -qq -o /dev/null -e trace=rename,renameat,renameat2 -e "
                                   "inject=rename,renameat,renameat2:signal=SIGKILL:when=" +
                                   std::to_string(rename) + " ";
        SplitResult killed = RunCliSplit("convert --dest " + Quote(out) + " " + Quote(src), prefix);
        EXPECT_NE(killed.status, 0);
        EXPECT_FALSE(fs::exists(tessary::RecordPathFor((out / "a.rpx2").string())));

        SplitResult next = RunCliSplit("convert -u --dest " + Quote(out) + " " + Quote(src));
        EXPECT_EQ(next.status, 0) << next.out << next.err;
        EXPECT_NE(next.out.find("Up to date : a.rpx2"), std::string::npos) << next.out;
        EXPECT_TRUE(fs::exists(out / "a.rpx2"));
        EXPECT_TRUE(fs::exists(out / "a_rpx.map"));
        std::optional<tessary::OutputRecord> record =
            tessary::ReadRecordOf((out / "a.rpx2").string());
        ASSERT_TRUE(record);
        EXPECT_EQ(record->sourcePath, (src / "a.tif").string());
        EXPECT_EQ(record->outputSize, uint64_t(fs::file_size(out / "a.rpx2")));
        // Nothing of the commit is left: no partial file, no note.
        for (const auto& entry : fs::directory_iterator(out)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "a.rpx2" || name == "a_rpx.map" || name == ".tessary.lock" ||
                        tessary::IsRecordFileName(name))
                << name;
        }
    }
}

}  // namespace
