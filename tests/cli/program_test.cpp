// Runs the built tessary-cli program and checks what it prints and returns.
#include <gtest/gtest.h>

#include "run_cli.h"
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

using tessary::testing_cli::RunResult;

RunResult RunCli(const std::string& arguments, bool withStderr = false) {
    return tessary::testing_cli::RunCliProgram(arguments, withStderr);
}

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("tessary_cli_test_" + std::to_string(getpid()) + "_" +
                                               std::to_string(std::random_device{}()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

TEST_F(CliProgram, HelpForEveryCommand) {
    for (const char* command : {"", "convert ", "list ", "info ", "extract "}) {
        RunResult r = RunCli(std::string(command) + "--help");
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find("Usage: tessary-cli " + std::string(command)), std::string::npos) << r.out;
    }
}

TEST_F(CliProgram, UsageErrorsNameTheProblemAndExitWithTwo) {
    RunResult r = RunCli("convert --resize 5 x", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("--resize needs a whole percentage from 10 to 100, not \"5\""), std::string::npos)
        << r.out;
    r = RunCli("bogus", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unknown command \"bogus\""), std::string::npos);
    r = RunCli("list '" + (folder_ / "missing").string() + "'", true);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("missing\" is not a folder"), std::string::npos) << r.out;
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
    EXPECT_EQ(r.out.find("d.jpeg"), std::string::npos);
    EXPECT_EQ(r.out.find("e.txt"), std::string::npos);

    r = RunCli("list --filter TIF '" + folder_.string() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("b.tiff"), std::string::npos);
}

}  // namespace
