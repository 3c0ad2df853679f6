// How a convert run tells its outcome: what the walk of a tree could not
// read or leaves out, failures on standard error, refused command lines,
// the exit status of signals, folders left behind and the report's history.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/output_record.h"
#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::test::ReadFile;
using tessary::testing_cli::RunCliSplit;
using tessary::testing_cli::SplitResult;
using tessary::testing_cli::UnprivilegedPrefix;
using tessary::testing_cli::WriteRgbTiff;

using tessary::testing_cli::Quote;

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
    return objects;
}

// Every file below `folder`, as paths relative to it, sorted.
// Every file and folder below `folder`, without the outputs' records.
std::vector<std::string> FilesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (!tessary::IsRecordFileName(entry.path().filename().string()))
            files.push_back(fs::relative(entry.path(), folder).string() + (entry.is_directory() ? "/" : ""));
    std::sort(files.begin(), files.end());
    return files;
}

class RunOutcome : public ::testing::Test {
protected:
    void SetUp() override {
        // Rights for all: the unreadable-folder cases run the program as
        // "nobody" when the tests run as root.
        fs::permissions(root_, fs::perms::all);
        fs::create_directories(root_ / "tmp");
        fs::permissions(root_ / "tmp", fs::perms::all);
    }
    std::string Temp() const { return "--temp " + Quote(root_ / "tmp") + " "; }
    fs::path Folder(const std::string& relative) const {
        fs::create_directories(root_ / relative);
        for (fs::path at = root_ / relative; at != root_; at = at.parent_path())
            fs::permissions(at, fs::perms::all);
        return root_ / relative;
    }

    tessary::test::TempFolder temp_{"tessary_run_outcome"};
    fs::path root_ = temp_.Path();
};

TEST_F(RunOutcome, WalkNamesWhatItCannotReadAndLeavesHiddenAndExcludedEntries) {
    const fs::path src = Folder("src");
    WriteRgbTiff((src / "a.tif").string(), 320, 300);
    WriteRgbTiff((Folder("src/sub") / "b.tiff").string(), 320, 300);
    WriteRgbTiff((src / ".hidden.tif").string(), 320, 300);
    std::ofstream(src / "._a.tif") << "resource fork, not a picture";
    WriteRgbTiff((Folder("src/scans") / "c.tif").string(), 320, 300);
    WriteRgbTiff((src / "d.bak.tif").string(), 320, 300);
    WriteRgbTiff((Folder("src/locked") / "e.tif").string(), 320, 300);
    fs::permissions(src / "locked", fs::perms::none);
    const fs::path report = root_ / "report.jsonl";
    const fs::path out = root_ / "out";
    SplitResult r = RunCliSplit("convert -r " + Temp() + "--dest " + Quote(out) + " --exclude scans --exclude " +
                                    "'*.bak.tif' --report " + Quote(report) + " " + Quote(src),
                                UnprivilegedPrefix());
    fs::permissions(src / "locked", fs::perms::all);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("tessary-cli: convert: cannot read folder \"" + (src / "locked").string() +
                         "\": Permission denied\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.out.ends_with("\n2 of 2 images converted, 1 folder unreadable\n")) << r.out;
    // Hidden files, macOS companions and excluded entries are not sources;
    // "tiff" files are taken by the default filter.
    EXPECT_EQ(FilesBelow(out), (std::vector<std::string>{"a.rpx2", "sub/", "sub/b.rpx2"}));

    std::vector<nlohmann::json> objects = JsonLines(ReadFile(report));
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_TRUE(objects[0].contains("run"));
    EXPECT_EQ(objects[1]["source"], (src / "locked").string());
    EXPECT_EQ(objects[1]["outcome"], "unreadable");
    EXPECT_EQ(objects[1]["reason"], "Permission denied");
    EXPECT_EQ(objects[4]["totals"]["unreadable"], 1);

    // Filters: a glob, and "tiff" for both spellings of the extension.
    r = RunCliSplit("convert -r " + Temp() + "--dest " + Quote(root_ / "globbed") + " --filter '*.TIFF' " +
                    Quote(src));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(FilesBelow(root_ / "globbed"), (std::vector<std::string>{"sub/", "sub/b.rpx2"}));
    r = RunCliSplit("convert -r " + Temp() + "--dest " + Quote(root_ / "tiffs") + " --filter tiff " + Quote(src));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\n5 of 5 images converted\n")) << r.out;

    // list -r lists the tree with the same rows.
    r = RunCliSplit("list -r " + Quote(src) + " --filter tiff");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nsub/b.tiff "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nlocked/e.tif "), std::string::npos) << r.out;

    // Every image whose header gives no size reads "Error Opening Image",
    // whether its reader raised or gave 0 x 0.
    const fs::path bad = Folder("bad");
    std::ofstream(bad / "empty.jpg").flush();
    std::ofstream(bad / "junk.tif") << "not a picture";
    std::ofstream(bad / "junk.gif") << "not a picture";
    r = RunCliSplit("list " + Quote(bad));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* name : {"empty.jpg", "junk.gif", "junk.tif"}) {
        const size_t row = r.out.find(std::string("\n") + name);
        ASSERT_NE(row, std::string::npos) << r.out;
        EXPECT_NE(r.out.substr(row, r.out.find('\n', row + 1) - row).find("Error Opening Image"), std::string::npos)
            << r.out;
    }
}

TEST_F(RunOutcome, FailuresGoToStandardErrorAndEmptyFoldersDoNotStay) {
    const fs::path src = Folder("src");
    WriteRgbTiff((src / "good.tif").string(), 320, 300);
    std::ofstream(Folder("src/old") / "broken.tif") << "not a picture";
    const fs::path out = root_ / "new/out";
    SplitResult r = RunCliSplit("convert -r " + Temp() + "--dest " + Quote(out) + " " + Quote(src));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    // The log on standard output may be thrown away: the failure is on
    // standard error with its full path and its reason.
    const std::string line = "tessary-cli: convert: " + (src / "old/broken.tif").string() + ": failed: ";
    const size_t at = r.err.find(line);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_GT(r.err.find('\n', at), at + line.size()) << "a reason follows";
    // The subfolder made for the failed image is gone again.
    EXPECT_EQ(FilesBelow(out), (std::vector<std::string>{"good.rpx2"}));

    // A run that stops before any image leaves none of the folders it made.
    r = RunCliSplit("convert " + Temp() + "--dest " + Quote(root_ / "never/made") + " --report " +
                    Quote(root_ / "no/such/folder/r.jsonl") + " " + Quote(src));
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_FALSE(fs::exists(root_ / "never"));
}

TEST_F(RunOutcome, RepeatedNamesAreLoggedByTheirPathBelowTheNamedFolder) {
    const fs::path src = Folder("archive");
    WriteRgbTiff((src / "bali.tif").string(), 320, 300);
    WriteRgbTiff((Folder("archive/north") / "bali.tif").string(), 330, 300);
    WriteRgbTiff((src / "lone.tif").string(), 320, 310);
    const std::string command = "convert -r " + Temp() + "--dest " + Quote(root_ / "out") + " " + Quote(src);
    SplitResult r = RunCliSplit(command);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Processing - bali.tif\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Processing - north/bali.tif\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Processing - lone.tif\n"), std::string::npos) << r.out;  // a name used once
    r = RunCliSplit(command + " --update");
    EXPECT_NE(r.out.find("Processing - north/bali.tif\n   Up to date : bali.rpx2\n"), std::string::npos) << r.out;
}

TEST_F(RunOutcome, CommandLineThatReadsTwoWaysIsRefused) {
    const fs::path work = Folder("work");
    WriteRgbTiff((Folder("work/maps") / "porsche.tif").string(), 320, 300);
    WriteRgbTiff((Folder("work/maps") / "other.tif").string(), 320, 300);
    WriteRgbTiff((work / "porsche.tif").string(), 330, 300);
    const std::string cd = "cd " + Quote(work) + " && ";
    SplitResult r = RunCliSplit("convert " + Temp() + "--dest o maps porsche.tif", cd);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("ambiguous"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"maps/porsche.tif\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\"maps\" \"./porsche.tif\""), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(work / "o"));

    // Each reading said plainly is taken.
    r = RunCliSplit("convert " + Temp() + "--dest o maps/porsche.tif", cd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\n1 of 1 image converted\n")) << r.out;
    r = RunCliSplit("convert " + Temp() + "--dest o2 maps ./porsche.tif", cd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\n3 of 3 images converted\n")) << r.out;
    // The older form stays when the names are only inside the folder.
    r = RunCliSplit("convert " + Temp() + "--dest o3 maps other.tif", cd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with("\n1 of 1 image converted\n")) << r.out;
}

TEST_F(RunOutcome, SignalsEndTheRunCleanlyWithTheirOwnStatus) {
    const fs::path src = Folder("src");
    WriteRgbTiff((src / "big1.tif").string(), 2600, 2400);
    WriteRgbTiff((src / "big2.tif").string(), 2600, 2400);
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const fs::path out = root_ / ("out" + std::to_string(signal));
        const fs::path log = root_ / "log.txt";
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen(log.c_str(), "w", stdout);
            std::freopen((log.string() + ".err").c_str(), "w", stderr);
            const std::string cli = std::string(TESSARY_BIN_DIR) + "/tessary-cli";
            const std::string tmp = (root_ / "tmp").string();
            execl(cli.c_str(), cli.c_str(), "convert", "--dest", out.c_str(), "--temp", tmp.c_str(),
                  src.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool working = false;
        while (!working && std::chrono::steady_clock::now() < deadline) {
            for (const auto& entry : fs::recursive_directory_iterator(root_ / "tmp"))
                if (entry.path().extension() == ".rpx0") working = true;
            if (!working) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(working);
        kill(child, signal);
        int raw = 0;
        waitpid(child, &raw, 0);
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 128 + signal);
        const std::string printed = ReadFile(log);
        EXPECT_TRUE(printed.ends_with("\n0 of 2 images converted, 1 aborted, run aborted\n")) << printed;
        EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
        // Nothing was written, so the destination the run made is gone.
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(RunOutcome, ReportKeepsEveryRunAndNamesThatAreNotUtf8) {
    const fs::path src = Folder("src");
    const std::string latin1 = "caf\xe9.tif";
    WriteRgbTiff((src / latin1).string(), 320, 300);
    const fs::path report = root_ / "report.jsonl";
    const std::string command =
        "convert " + Temp() + "--dest " + Quote(root_ / "out") + " --report " + Quote(report) + " " + Quote(src);
    ASSERT_EQ(RunCliSplit(command).status, 0);
    ASSERT_EQ(RunCliSplit(command + " -u").status, 0);
    std::vector<nlohmann::json> objects = JsonLines(ReadFile(report));
    ASSERT_EQ(objects.size(), 6u);
    for (size_t run : {0u, 3u}) {
        const nlohmann::json& start = objects[run]["run"];
        EXPECT_EQ(start["command_line"][0], std::string(TESSARY_BIN_DIR) + "/tessary-cli");
        EXPECT_EQ(start["command_line"][1], "convert");
        EXPECT_EQ(start["version"], TESSARY_VERSION);
        EXPECT_FALSE(start["host"].get<std::string>().empty());
        EXPECT_EQ(start["started"].get<std::string>().size(), 20u);  // 2026-12-09T22:15:03Z
    }
    EXPECT_TRUE(objects[5].contains("totals"));
    EXPECT_EQ(objects[1]["outcome"], "converted");
    EXPECT_EQ(objects[4]["outcome"], "up-to-date");
    // The name's bytes come back exactly from source_hex.
    std::string bytes;
    const std::string hex = objects[1]["source_hex"];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    EXPECT_EQ(bytes, (src / latin1).string());
    EXPECT_TRUE(objects[1]["output_hex"].is_string());
    EXPECT_FALSE(objects[4].contains("damaged_rows"));
}

// Every entry below `folder` with its bytes and modification time.
std::map<std::string, std::string> TreeState(const fs::path& folder) {
    std::map<std::string, std::string> state;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const auto time = fs::last_write_time(entry.path()).time_since_epoch().count();
        state[entry.path().string()] =
            std::to_string(time) + (entry.is_regular_file() ? ":" + ReadFile(entry.path()) : "/");
    }
    return state;
}

TEST_F(RunOutcome, DryRunPrintsThePlanAndTouchesNothing) {
    const fs::path src = Folder("tree/src"), out = root_ / "tree/out";
    WriteRgbTiff((src / "a.tif").string(), 320, 300);
    std::ofstream(src / "a.map", std::ios::binary)
        << "Map calibration\r\nSheet\r\na.tif\r\n1 ,Map Code,\r\nWGS 84,WGS 84,\r\n";
    WriteRgbTiff((src / "done.tif").string(), 330, 300);
    WriteRgbTiff((src / "small.tif").string(), 100, 100);
    std::ofstream(src / "empty.tif").flush();
    WriteRgbTiff((src / ".hidden.tif").string(), 320, 300);
    ASSERT_EQ(RunCliSplit("convert " + Temp() + "--dest " + Quote(out) + " " + Quote(src / "done.tif")).status, 0);

    const std::map<std::string, std::string> before = TreeState(root_ / "tree");
    const fs::path report = root_ / "plan.jsonl";
    SplitResult r = RunCliSplit("convert --dry-run -u " + Temp() + "--dest " + Quote(out / "new") + " --report " +
                                Quote(report) + " " + Quote(src) + " " + Quote(src / "done.tif"));
    EXPECT_EQ(r.status, 1) << r.out << r.err;  // an image would be refused
    EXPECT_EQ(TreeState(root_ / "tree"), before);
    EXPECT_FALSE(fs::exists(out / "new"));
    EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
    const std::string s = src.string() + "/", o = (out / "new").string() + "/";
    EXPECT_EQ(r.out, "convert: " + s + "a.tif -> " + o + "a.rpx2; calibration: " + s + "a.map\n" +
                         "convert: " + s + "done.tif -> " + o + "done.rpx2; calibration: none\n" +
                         "refused: " + s + "empty.tif: the file is empty\n" +
                         "too small: " + s + "small.tif: 100 x 100: below 300 pixels in width and in height\n" +
                         "skipped: " + s + ".hidden.tif: hidden file\n" +
                         "Plan for 4 images: 2 to convert, 0 up to date, 1 too small, 1 refused, 1 skipped, "
                         "0 folders unreadable; nothing was written\n");

    // Into the destination that has done.rpx2, under --update: up to date.
    r = RunCliSplit("convert -n -u " + Temp() + "--dest " + Quote(out) + " --report " + Quote(report) + " " +
                    Quote(src / "done.tif"));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "up to date: " + s + "done.tif -> " + out.string() + "/done.rpx2; calibration: none\n" +
                         "Plan for 1 image: 0 to convert, 1 up to date, 0 too small, 0 refused, 0 skipped, "
                         "0 folders unreadable; nothing was written\n");
    EXPECT_EQ(TreeState(root_ / "tree"), before);

    // The report's lines: two runs' plans in the run report's schema.
    std::vector<nlohmann::json> objects = JsonLines(ReadFile(report));
    ASSERT_EQ(objects.size(), 10u);
    EXPECT_EQ(objects[0]["run"]["dry_run"], true);
    EXPECT_EQ(objects[1]["source"], s + "a.tif");
    EXPECT_EQ(objects[1]["output"], o + "a.rpx2");
    EXPECT_EQ(objects[1]["outcome"], "convert");
    EXPECT_EQ(objects[1]["calibration"], s + "a.map");
    EXPECT_EQ(objects[1]["width"], 320);
    EXPECT_EQ(objects[3]["outcome"], "refused");
    EXPECT_TRUE(objects[3]["output"].is_string());
    EXPECT_EQ(objects[4]["outcome"], "too-small");
    EXPECT_EQ(objects[5]["outcome"], "skipped");
    EXPECT_EQ(objects[6]["totals"]["images"], 4);
    EXPECT_EQ(objects[6]["totals"]["refused"], 1);
    EXPECT_EQ(objects[8]["outcome"], "up-to-date");
    EXPECT_TRUE(objects[9].contains("totals"));
}

}  // namespace
