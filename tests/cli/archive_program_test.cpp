// tessary-cli convert on archives as people keep them: paths from several
// folders, trees, a destination that does not exist yet, resumed runs and
// the JSON report.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_cli.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

using tessary::test::ReadFile;
using tessary::testing_cli::RunCli;
using tessary::testing_cli::RunResult;
using tessary::testing_cli::WriteRgbTiff;

using tessary::testing_cli::Quote;

// A calibration file that names its image on the third line, as the
// converter looks for it.
void WriteMapFile(const fs::path& path, const std::string& imageName) {
    std::ofstream(path, std::ios::binary)
        << "Map calibration\r\nSheet\r\n"
        << imageName << "\r\n1 ,Map Code,\r\nWGS 84,WGS 84,\r\nReserved\r\n";
}

std::string LineOf(const std::string& text, int number) {
    std::istringstream in(text);
    std::string line;
    for (int n = 1; n <= number && std::getline(in, line); ++n) {
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The files below `folder` (relative paths) that are not hidden.
std::map<std::string, std::string> VisibleFiles(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
        files[fs::relative(entry.path(), folder).string()] = ReadFile(entry.path());
    }
    return files;
}

struct Stamp {
    ino_t inode;
    fs::file_time_type time;
    bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const fs::path& path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return {info.st_ino, fs::last_write_time(path)};
}

class ArchiveProgram : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "tmp");
    }
    std::string Temp() const { return "--temp " + Quote(root_ / "tmp") + " "; }

    tessary::test::TempFolder temp_{"tessary_archive_cli"};
    fs::path root_ = temp_.Path();
};

TEST_F(ArchiveProgram, PathsFromTwoFoldersGoToANewDestination) {
    fs::create_directories(root_ / "a");
    fs::create_directories(root_ / "b");
    WriteRgbTiff((root_ / "a/x.tif").string(), 320, 300, 1);
    WriteRgbTiff((root_ / "a/y.tif").string(), 330, 300, 2);
    WriteRgbTiff((root_ / "a/skip.tif").string(), 330, 300, 3);
    WriteRgbTiff((root_ / "b/z.tif").string(), 340, 310, 4);
    // z's calibration file lies beside z only: each image's search starts in
    // its own folder.
    WriteMapFile(root_ / "b/sheet z.map", "z.tif");
    const fs::path out = root_ / "NEW/out";

    // As a shell gives a glob's list: paths, in the order typed.
    RunResult r = RunCli("convert " + Temp() + "--dest " + Quote(out) + " " + Quote(root_ / "a/y.tif") + " " +
                         Quote(root_ / "a/x.tif") + " " + Quote(root_ / "b/z.tif"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_LT(r.out.find("Processing - y.tif"), r.out.find("Processing - x.tif"));
    EXPECT_TRUE(r.out.ends_with("\n3 of 3 images converted\n")) << r.out;
    for (const char* name : {"x.rpx2", "y.rpx2", "z.rpx2"}) EXPECT_TRUE(fs::exists(out / name)) << name;
    EXPECT_FALSE(fs::exists(out / "skip.rpx2"));
    // The map copy goes beside the output and names it.
    ASSERT_TRUE(fs::exists(out / "sheet z_rpx.map")) << r.out;
    EXPECT_EQ(LineOf(ReadFile(out / "sheet z_rpx.map"), 3), (out / "z.rpx2").string());
    EXPECT_NE(r.out.find("New map file created - ( " + (out / "sheet z_rpx.map").string() + " )"),
              std::string::npos)
        << r.out;

    // A folder and a file of another folder in one run, one log, one summary;
    // the same file named twice is converted once.
    const fs::path mixed = root_ / "mixed";
    r = RunCli("convert " + Temp() + "--dest " + Quote(mixed) + " " + Quote(root_ / "a") + " " +
               Quote(root_ / "b/z.tif") + " " + Quote(root_ / "a/x.tif"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n4 Image File(s) Processed\n4 of 4 images converted\n")) << r.out;
    for (const char* name : {"skip.rpx2", "x.rpx2", "y.rpx2", "z.rpx2"})
        EXPECT_TRUE(fs::exists(mixed / name));
    EXPECT_EQ(ReadFile(mixed / "z.rpx2"), ReadFile(out / "z.rpx2"));

    // Without --dest every output goes beside its source.
    r = RunCli("convert " + Temp() + Quote(root_ / "a/x.tif") + " " + Quote(root_ / "b/z.tif"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(root_ / "a/x.rpx2"), ReadFile(out / "x.rpx2"));
    EXPECT_TRUE(fs::exists(root_ / "b/z.rpx2"));
    EXPECT_EQ(LineOf(ReadFile(root_ / "b/sheet z_rpx.map"), 3), (root_ / "b/z.rpx2").string());
}

TEST_F(ArchiveProgram, RecursiveMirrorsTheTreeUnderTheDestination) {
    const fs::path tree = root_ / "charts";
    fs::create_directories(tree / "north/coast/bays");
    fs::create_directories(tree / ".cache");
    fs::create_directories(root_ / "elsewhere");
    WriteRgbTiff((tree / "index.tif").string(), 320, 300, 1);
    WriteRgbTiff((tree / "north/n1.tif").string(), 320, 300, 2);
    WriteRgbTiff((tree / "north/coast/c1.tif").string(), 320, 300, 3);
    WriteRgbTiff((tree / "north/coast/bays/b1.tif").string(), 320, 300, 4);
    WriteMapFile(tree / "north/coast/bays/b1.map", "b1.tif");
    WriteRgbTiff((tree / ".cache/hidden.tif").string(), 320, 300, 5);
    WriteRgbTiff((root_ / "elsewhere/linked.tif").string(), 320, 300, 6);
    fs::create_directory_symlink(root_ / "elsewhere", tree / "north/link");
    const fs::path out = root_ / "out";

    RunResult r = RunCli("convert " + Temp() + "--recursive --dest " + Quote(out) + " " + Quote(tree));
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::string> files = VisibleFiles(out);
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"index.rpx2", "north/coast/bays/b1.rpx2",
                                               "north/coast/bays/b1_rpx.map", "north/coast/c1.rpx2",
                                               "north/n1.rpx2"}));
    EXPECT_EQ(LineOf(files["north/coast/bays/b1_rpx.map"], 3), (out / "north/coast/bays/b1.rpx2").string());
    // A folder's own files come before its subfolders.
    EXPECT_LT(r.out.find("Processing - index.tif"), r.out.find("Processing - n1.tif"));
    EXPECT_LT(r.out.find("Processing - n1.tif"), r.out.find("Processing - c1.tif"));

    // Without --dest the outputs stay beside their sources, and a second
    // walk with --update takes them as outputs, not as new sources.
    r = RunCli("convert " + Temp() + "-r " + Quote(tree));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(tree / "north/coast/bays/b1.rpx2"), files["north/coast/bays/b1.rpx2"]);
    r = RunCli("convert " + Temp() + "-r --update " + Quote(tree));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n0 of 4 images converted, 4 up to date\n")) << r.out;
    EXPECT_NE(r.out.find("4 RPX2 file(s) left out"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(tree / "index_1.rpx2"));
}

TEST_F(ArchiveProgram, RefusalsNameThePathAndTheReasonBeforeAnyImage) {
    fs::create_directories(root_ / "src");
    WriteRgbTiff((root_ / "src/a.tif").string(), 320, 300);
    std::ofstream(root_ / "plain.txt") << "a file, not a folder";

    RunResult r =
        RunCli("convert " + Temp() + "--dest " + Quote(root_ / "plain.txt/out") + " " + Quote(root_ / "src"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("tessary-cli: convert: cannot create \"" + (root_ / "plain.txt/out").string() +
                         "\": Not a directory"),
              std::string::npos)
        << r.out;
    r = RunCli("convert " + Temp() + "--dest " + Quote(root_ / "plain.txt") + " " + Quote(root_ / "src"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("\"" + (root_ / "plain.txt").string() + "\""), std::string::npos) << r.out;
    r = RunCli("convert --temp " + Quote(root_ / "plain.txt") + " " + Quote(root_ / "src"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("tessary-cli: convert: cannot write to \"" + (root_ / "plain.txt").string() +
                         "\": Not a directory"),
              std::string::npos)
        << r.out;
    r = RunCli("convert " + Temp() + "--report " + Quote(root_ / "nowhere/report.jsonl") + " " +
               Quote(root_ / "src"));
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("cannot write report \"" + (root_ / "nowhere/report.jsonl").string() +
                         "\": No such file or directory"),
              std::string::npos)
        << r.out;
    // A folder that cannot be written: a locked folder for a user without
    // root's rights; /sys takes no new files even from root.
    fs::path locked = "/sys";
    if (geteuid() != 0) {
        locked = root_ / "locked";
        fs::create_directories(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    }
    if (fs::is_directory(locked)) {
        r = RunCli("convert " + Temp() + "--dest " + Quote(locked) + " " + Quote(root_ / "src"));
        EXPECT_EQ(r.status, 2) << r.out;
        // The reason is the system's own: "Permission denied" for the locked
        // folder; whatever the kernel says for /sys.
        const std::string refusal = "tessary-cli: convert: cannot write to \"" + locked.string() + "\": ";
        EXPECT_NE(r.out.find(geteuid() != 0 ? refusal + "Permission denied" : refusal), std::string::npos)
            << r.out;
    }
    if (geteuid() != 0) fs::permissions(locked, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(root_ / "src/a.rpx2"));
    EXPECT_EQ(VisibleFiles(root_ / "src").size(), 1u);
}

TEST_F(ArchiveProgram, UpdateRewritesNothingUntilASourceChanges) {
    fs::create_directories(root_ / "src");
    WriteRgbTiff((root_ / "src/a.tif").string(), 320, 300, 1);
    WriteRgbTiff((root_ / "src/b.tif").string(), 340, 300, 2);
    WriteMapFile(root_ / "src/b.map", "b.tif");
    const fs::path out = root_ / "out";
    const fs::path report = root_ / "run.jsonl";
    const std::string command = "convert " + Temp() + "--update --report " + Quote(report) + " --dest " +
                                Quote(out) + " " + Quote(root_ / "src");
    // The image rows of the report's last run, by source file name.
    auto lastRun = [&] {
        std::map<std::string, nlohmann::json> rows;
        std::istringstream lines(ReadFile(report));
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json object = nlohmann::json::parse(line);
            if (object.contains("run")) rows.clear();
            if (object.contains("source"))
                rows[fs::path(object["source"].get<std::string>()).filename().string()] = object;
        }
        return rows;
    };
    RunResult r = RunCli(command);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n2 of 2 images converted\n")) << r.out;
    const Stamp a = StampOf(out / "a.rpx2"), b = StampOf(out / "b.rpx2"), map = StampOf(out / "b_rpx.map");

    r = RunCli(command);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Processing - a.tif\n   Up to date : a.rpx2\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n0 of 2 images converted, 2 up to date\n")) << r.out;
    EXPECT_EQ(StampOf(out / "a.rpx2"), a);
    EXPECT_EQ(StampOf(out / "b.rpx2"), b);
    EXPECT_EQ(StampOf(out / "b_rpx.map"), map);
    // Up-to-date rows still say what the outputs hold and what they came from.
    std::map<std::string, nlohmann::json> rows = lastRun();
    EXPECT_EQ(rows["a.tif"]["outcome"], "up-to-date");
    EXPECT_EQ(rows["a.tif"]["width"], 320);
    EXPECT_EQ(rows["a.tif"]["height"], 300);
    EXPECT_GE(rows["a.tif"]["levels"].get<int>(), 3);
    EXPECT_FALSE(rows["a.tif"].contains("calibration"));
    EXPECT_EQ(rows["b.tif"]["calibration"], (root_ / "src/b.map").string());

    // A touched source converts again; so does an image whose map copy is gone.
    fs::last_write_time(root_ / "src/a.tif", fs::last_write_time(out / "a.rpx2") + std::chrono::seconds(2));
    fs::remove(out / "b_rpx.map");
    r = RunCli(command);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n2 of 2 images converted\n")) << r.out;
    EXPECT_NE(StampOf(out / "a.rpx2"), a);
    EXPECT_TRUE(fs::exists(out / "b_rpx.map"));
    rows = lastRun();
    EXPECT_EQ(rows["a.tif"]["update_reason"], "source changed");
    EXPECT_EQ(rows["b.tif"]["update_reason"], "calibration copy missing");
    EXPECT_EQ(rows["b.tif"]["calibration"], (root_ / "src/b.map").string());
    EXPECT_EQ(rows["b.tif"]["map_copy"], (out / "b_rpx.map").string());

    // In place: the outputs beside their sources are never taken as sources.
    fs::last_write_time(root_ / "src/a.tif", fs::file_time_type::clock::now() - std::chrono::hours(1));
    r = RunCli("convert " + Temp() + Quote(root_ / "src"));
    ASSERT_EQ(r.status, 0) << r.out;
    r = RunCli("convert " + Temp() + "--update " + Quote(root_ / "src"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n0 of 2 images converted, 2 up to date\n")) << r.out;
    EXPECT_FALSE(fs::exists(root_ / "src/a_1.rpx2"));
}

TEST_F(ArchiveProgram, ARunKilledInTheMiddleResumesToTheSameFiles) {
    fs::create_directories(root_ / "src");
    WriteRgbTiff((root_ / "src/a.tif").string(), 400, 320, 1);
    WriteRgbTiff((root_ / "src/b.tif").string(), 2600, 2400, 2);
    WriteRgbTiff((root_ / "src/c.tif").string(), 420, 330, 3);
    WriteMapFile(root_ / "src/c.map", "c.tif");
    const std::string options = "--no-image-path " + Temp();
    RunResult r =
        RunCli("convert " + options + "--dest " + Quote(root_ / "reference") + " " + Quote(root_ / "src"));
    ASSERT_EQ(r.status, 0) << r.out;

    const fs::path out = root_ / "out";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::string cli = std::string(TESSARY_BIN_DIR) + "/tessary-cli";
        const std::string temp = (root_ / "tmp").string(), dest = out.string(),
                          src = (root_ / "src").string();
        execl(cli.c_str(), cli.c_str(), "convert", "--no-image-path", "--temp", temp.c_str(), "--dest",
              dest.c_str(), src.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Kill it (no chance to tidy up) while it works on b: a is written, b's
    // scratch rasters exist.
    // b's hidden partial file appears when its levels are being written, and
    // b takes far longer to write than one poll: waiting for it instead of
    // for a fixed time keeps a fast machine from finishing b first.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto writingB = [&] {
        if (!fs::exists(out / "a.rpx2")) return false;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(out, ec))
            if (entry.path().extension() == ".part") return true;
        return false;
    };
    bool inB = false;
    while (!inB && std::chrono::steady_clock::now() < deadline) {
        inB = writingB();
        if (!inB) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(child, SIGKILL);
    int raw = 0;
    waitpid(child, &raw, 0);
    ASSERT_TRUE(inB);
    EXPECT_FALSE(fs::exists(out / "b.rpx2"));  // no half-written file carries the name

    std::string report = (root_ / "report.jsonl").string();
    r = RunCli("convert " + options + "--update --report " + Quote(report) + " --dest " + Quote(out) + " " +
               Quote(root_ / "src"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n2 of 3 images converted, 1 up to date\n")) << r.out;
    EXPECT_EQ(VisibleFiles(out), VisibleFiles(root_ / "reference"));

    // The run's line, one JSON object per image as it finished, then the
    // totals.
    std::istringstream lines(ReadFile(report));
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(objects.size(), 5u);
    EXPECT_EQ(objects[0]["run"]["command_line"][1], "convert");
    objects.erase(objects.begin());
    EXPECT_EQ(objects[0]["source"], (root_ / "src/a.tif").string());
    EXPECT_EQ(objects[0]["outcome"], "up-to-date");
    EXPECT_EQ(objects[1]["outcome"], "converted");
    EXPECT_EQ(objects[1]["output"], (out / "b.rpx2").string());
    EXPECT_EQ(objects[1]["width"], 2600);
    EXPECT_EQ(objects[1]["height"], 2400);
    EXPECT_EQ(objects[1]["output_bytes"], fs::file_size(out / "b.rpx2"));
    EXPECT_GT(objects[1]["seconds"].get<double>(), 0.0);
    EXPECT_EQ(objects[3]["totals"]["images"], 3);
    EXPECT_EQ(objects[3]["totals"]["converted"], 2);
    EXPECT_EQ(objects[3]["totals"]["up_to_date"], 1);
    EXPECT_EQ(objects[3]["totals"]["failed"], 0);
}

TEST_F(ArchiveProgram, ReportOnStandardOutputIsJsonLinesOnly) {
    fs::create_directories(root_ / "src");
    WriteRgbTiff((root_ / "src/good.tif").string(), 320, 300);
    WriteRgbTiff((root_ / "src/tiny.tif").string(), 100, 100);
    std::ofstream(root_ / "src/bad \"quoted\".tif") << "not a picture";
    RunResult r =
        RunCli("convert " + Temp() + "--report - --dest " + Quote(root_ / "out") + " " + Quote(root_ / "src"),
               false);
    EXPECT_EQ(r.status, 1) << r.out;
    std::istringstream lines(r.out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_NO_THROW(objects.push_back(nlohmann::json::parse(line))) << line;
    }
    ASSERT_EQ(objects.size(), 5u) << r.out;
    EXPECT_TRUE(objects[0].contains("run"));
    objects.erase(objects.begin());
    EXPECT_EQ(objects[0]["source"], (root_ / "src/bad \"quoted\".tif").string());
    EXPECT_EQ(objects[0]["outcome"], "failed");
    EXPECT_TRUE(objects[0]["output"].is_null());
    EXPECT_EQ(objects[1]["outcome"], "converted");
    EXPECT_EQ(objects[2]["outcome"], "too-small");
    EXPECT_EQ(objects[2]["width"], 100);
    const nlohmann::json& totals = objects[3]["totals"];
    EXPECT_EQ(totals["images"], 3);
    EXPECT_EQ(totals["converted"], 1);
    EXPECT_EQ(totals["too_small"], 1);
    EXPECT_EQ(totals["failed"], 1);
    EXPECT_EQ(totals["run_aborted"], false);
    // The log and the summary went to standard error, the summary last.
    const fs::path out = root_ / "stdout.txt", err = root_ / "stderr.txt";
    const std::string command = std::string(TESSARY_BIN_DIR) + "/tessary-cli convert " + Temp() +
                                "--report - --dest " + Quote(root_ / "out2") + " " + Quote(root_ / "src") +
                                " >" + Quote(out) + " 2>" + Quote(err);
    ASSERT_NE(std::system(command.c_str()), -1);
    EXPECT_EQ(ReadFile(out).find("Processing"), std::string::npos);
    const std::string log = ReadFile(err);
    EXPECT_NE(log.find("Processing - good.tif"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\n1 of 3 images converted, 1 too small, 1 failed\n")) << log;
}

}  // namespace
