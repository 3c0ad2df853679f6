// Runs the built tessary-cli program and checks what it prints and returns.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/image_table.h"
#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunResult;

RunResult RunCli(const std::string& arguments, bool withStderr = false) {
    return tessary::testing_cli::RunCliProgram(arguments, withStderr);
}

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override {
    }
    tessary::test::TempFolder temp_{"tessary_cli_test"};
    fs::path folder_ = temp_.Path();
};

TEST_F(CliProgram, HelpForEveryCommand) {
    for (const char* command : {"", "convert ", "list ", "info ", "extract "}) {
        RunResult r = RunCli(std::string(command) + "--help");
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find("Usage: tessary-cli " + std::string(command)), std::string::npos) << r.out;
    }
}

TEST_F(CliProgram, ListKeepsColumnsStraightWithWideNames) {
    const std::vector<std::string> names = {
        "K\xC3\xBCste Nord.png", "\xE6\x97\xA5\xE6\x9C\xAC \xE5\x9C\xB0\xE5\x9B\xB3.tif", "plain.bmp"};
    for (const std::string& name : names) std::ofstream(folder_ / name) << "not really an image";
    RunResult r = RunCli("list '" + folder_.string() + "'");
    ASSERT_EQ(r.status, 0);
    // The type column starts at the same display column on every line.
    std::istringstream lines(r.out);
    std::vector<size_t> columns;
    for (std::string line; std::getline(lines, line);) {
        for (const char* type : {"  Type", "  png", "  tif", "  bmp"}) {
            size_t at = line.find(type);
            if (at != std::string::npos) {
                columns.push_back(tessary::cli::DisplayWidth(line.substr(0, at)));
                break;
            }
        }
    }
    ASSERT_EQ(columns.size(), 4u) << r.out;
    for (size_t column : columns) EXPECT_EQ(column, columns[0]) << r.out;
}

TEST_F(CliProgram, VersionComesFromTheProject) {
    for (const char* form : {"--version", "version"}) {
        RunResult r = RunCli(form);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("tessary-cli ") + TESSARY_VERSION + "\n");
    }
}

TEST_F(CliProgram, UsageErrorsNameTheProblemAndExitWithTwo) {
    RunResult r = RunCli("convert --resize 5 x", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("--resize needs a whole percentage from 10 to 100, not \"5\""), std::string::npos)
        << r.out;
    // The engine's own readers are in the table before the option is checked.
    for (const char* extension : {"rpx2", "rpx0", "tif"}) {
        r = RunCli(std::string("convert --gdal-ext ") + extension + "=GTiff x", true);
        EXPECT_EQ(r.status, 2) << extension;
        EXPECT_NE(r.out.find("tessary-cli: --gdal-ext: files named ." + std::string(extension) +
                             " are read by their own reader"),
                  std::string::npos)
            << r.out;
    }
    r = RunCli("bogus", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tessary-cli: unknown command \"bogus\""), std::string::npos);
    r = RunCli("list '" + (folder_ / "missing").string() + "'", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tessary-cli: list: \"" + (folder_ / "missing").string() + "\" is not a folder"),
              std::string::npos)
        << r.out;
}

TEST_F(CliProgram, ListShowsTheFilteredFilesInNameOrder) {
    for (const char* name : {"b.tiff", "a.BMP", "c.rpx2", "d.jpeg", "e.txt"})
        std::ofstream(folder_ / name) << "not really an image";
    RunResult r = RunCli("list '" + folder_.string() + "'");
    EXPECT_EQ(r.status, 0);
    ASSERT_NE(r.out.find("Name"), std::string::npos);
    size_t a = r.out.find("a.BMP"), b = r.out.find("b.tiff"), c = r.out.find("c.rpx2");
    EXPECT_TRUE(a != std::string::npos && b != std::string::npos && c != std::string::npos) << r.out;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(r.out.find("d.jpeg"), std::string::npos);  // .jpeg is read like .jpg
    EXPECT_EQ(r.out.find("e.txt"), std::string::npos);
    // As in the window, an unreadable image shows the message in the Disk
    // Size column.
    EXPECT_NE(r.out.find("\nc.rpx2  rpx2  Error Opening Image\n"), std::string::npos) << r.out;

    r = RunCli("list --filter TIF '" + folder_.string() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("b.tiff"), std::string::npos);
}

}  // namespace
