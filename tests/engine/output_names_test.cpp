#include "engine/output_names.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace tessary {
namespace {

namespace fs = std::filesystem;

class OutputNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        src_ = Folder("src");
        out_ = Folder("out");
    }
    std::string Folder(const std::string& relative) {
        fs::create_directories(root_ / relative);
        return (root_ / relative).string() + "/";
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    // The planned paths, relative to the destination, for sources of `src_`.
    std::vector<std::string> Plan(const std::vector<std::string>& sources, const std::string& from) {
        std::vector<OutputRequest> requests;
        for (const std::string& name : sources) requests.push_back({from + name, FolderPath(out_)});
        std::vector<std::string> names;
        for (const PlannedOutput& planned : PlanOutputPaths(requests))
            names.push_back(planned.error ? "error" : planned.path.substr(out_.size()) + planned.numberSuffix);
        return names;
    }

    test::TempFolder temp_{"tessary_names"};
    fs::path root_ = temp_.Path();
    std::string src_, out_;
};

TEST_F(OutputNamesTest, LaterImagesOfARunTakeNumberedNamesInListOrder) {
    // Files an earlier run left do not count; a second run plans the same.
    Touch(out_ + "big_1.rpx2");
    Touch(out_ + "big.rpx2");
    const std::vector<std::string> expected{"big.rpx2", "big_1.rpx2_1", "big_2.rpx2_2", "small.rpx2"};
    EXPECT_EQ(Plan({"big.bmp", "big.png", "big.jpg", "small.tif"}, src_), expected);
    EXPECT_EQ(Plan({"big.bmp", "big.png", "big.jpg", "small.tif"}, src_), expected);
    // Names that differ in case only would be one file on a FAT stick.
    EXPECT_EQ(Plan({"Big.bmp", "big.png"}, src_), (std::vector<std::string>{"Big.rpx2", "big_1.rpx2_1"}));
    // Different destinations do not collide.
    PlannedOutput elsewhere =
        PlanOutputPaths({{src_ + "big.bmp", FolderPath(out_)}, {src_ + "big.png", FolderPath(Folder("other"))}})[1];
    EXPECT_EQ(elsewhere.path, Folder("other") + "big.rpx2");
}

TEST_F(OutputNamesTest, SourcesAreNeverWrittenOver) {
    // An RPX2 source in the destination keeps the older rule: the first
    // numbered name without a file. Another image of the run whose output
    // would be that source takes a numbered name instead of destroying it.
    Touch(out_ + "map.rpx2");
    Touch(out_ + "map_1.rpx2");
    EXPECT_EQ(Plan({"map.rpx2"}, out_), (std::vector<std::string>{"map_2.rpx2"}));
    EXPECT_EQ(Plan({"map.rpx2", "map.tif"}, out_), (std::vector<std::string>{"map_2.rpx2", "map_1.rpx2_1"}));
    std::vector<OutputRequest> requests{{src_ + "map.tif", FolderPath(out_)}, {out_ + "map.rpx2", FolderPath(out_)}};
    std::vector<PlannedOutput> plan = PlanOutputPaths(requests);
    EXPECT_EQ(plan[0].path, out_ + "map_1.rpx2");
    EXPECT_EQ(plan[1].path, out_ + "map_2.rpx2");
}

TEST_F(OutputNamesTest, ANameTheFileSystemCannotCheckFailsOnlyItsEntry) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows limits whole paths (MAX_PATH), not each name";
#endif
    const std::string stem(250, 'n');
    Touch(out_ + stem + ".rpx2");
    std::vector<PlannedOutput> plan = PlanOutputPaths({{out_ + stem + ".rpx2", FolderPath(out_)}, {src_ + "a.tif", FolderPath(out_)}});
    EXPECT_EQ(plan[0].error, std::error_code(ENAMETOOLONG, std::generic_category()));
    EXPECT_EQ(plan[0].path, "");
    EXPECT_EQ(plan[1].path, out_ + "a.rpx2");
}

TEST_F(OutputNamesTest, LinkToTheSourceNumbersInTheDestination) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    Touch(src_ + "chart.rpx2");
    fs::create_symlink(src_ + "chart.rpx2", out_ + "chart.rpx2");
    EXPECT_EQ(PlanOutputPaths({{src_ + "chart.rpx2", FolderPath(out_)}})[0].path, out_ + "chart_1.rpx2");
}

}  // namespace
}  // namespace tessary
