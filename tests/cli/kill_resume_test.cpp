// A run killed with SIGKILL at random moments, again and again, and resumed
// with --update each time: what it finally leaves must be exactly what one
// uninterrupted run leaves, with no partial file or scratch folder behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
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
using tessary::testing_cli::WriteRgbTiff;

// Every file below `folder`, hidden ones included, by relative path, with
// its size and a hash of its bytes (short enough to read in a failure).
std::map<std::string, std::string> AllFiles(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        const std::string bytes = ReadFile(entry.path());
        files[fs::relative(entry.path(), folder).string()] =
            std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
    }
    return files;
}

int CountPartialFiles(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".tessary-") && name.ends_with(".part")) ++count;
    }
    return count;
}

// Commit notes: a run killed between the renames of an output and its
// calibration copy leaves one for the next run to finish.
int CountCommitNotes(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".tessary-") && name.ends_with(".pair")) ++count;
    }
    return count;
}

// Outputs without their record, and records without their output.
int UnpairedRecords(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".rpx2") && !fs::exists(tessary::RecordPathFor(entry.path().string()))) ++count;
        if (tessary::IsRecordFileName(name)) {
            std::optional<tessary::OutputRecord> record = tessary::ParseRecord(ReadFile(entry.path()));
            if (!record || !fs::exists(folder / record->outputName)) ++count;
        }
    }
    return count;
}

// Outputs of images with a calibration file whose copy is not beside them.
int OutputsWithoutCopy(const fs::path& folder) {
    int count = 0;
    for (int i = 0; i < 12; i += 2) {
        char name[16];
        std::snprintf(name, sizeof name, "sheet%02d", i);
        if (fs::exists(folder / (std::string(name) + ".rpx2")) && !fs::exists(folder / (std::string(name) + "_rpx.map")))
            ++count;
    }
    return count;
}

int CountEntries(const fs::path& folder) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

// Starts tessary-cli convert with `arguments`; its output goes nowhere.
pid_t StartCli(const std::vector<std::string>& arguments) {
    const std::string program = std::string(TESSARY_BIN_DIR) + "/tessary-cli";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

// Waits for the run; true when it ended by itself with status 0.
bool Finished(pid_t child) {
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) && WEXITSTATUS(raw) == 0;
}

class KillResume : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* folder : {"src", "tmp", "reference", "out"}) fs::create_directories(root_ / folder);
    }

    std::vector<std::string> Arguments(const fs::path& destination, const fs::path& report) const {
        return {"convert",
                "--update",
                "--no-image-path",
                "--temp",
                (root_ / "tmp").string(),
                "--report",
                report.string(),
                "--dest",
                destination.string(),
                (root_ / "src").string()};
    }

    tessary::test::TempFolder temp_{"tessary_kill"};
    fs::path root_ = temp_.Path();
};

TEST_F(KillResume, TwentyKillsAtRandomMomentsLoseNothingAndLeaveNothingBehind) {
    unsigned seed = std::random_device{}();
    if (const char* fixed = std::getenv("TESSARY_KILL_SEED"))
        seed = unsigned(std::strtoul(fixed, nullptr, 10));
    std::cout << "kill test seed " << seed << " (TESSARY_KILL_SEED repeats it)" << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);

    // A dozen images of some tens of milliseconds each; half with a
    // calibration file, so that map copies are committed too.
    for (int i = 0; i < 12; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "sheet%02d", i);
        WriteRgbTiff((root_ / "src" / (std::string(name) + ".tif")).string(), 640 + 16 * i, 480, i);
        if (i % 2 == 0)
            std::ofstream(root_ / "src" / (std::string(name) + ".map"), std::ios::binary)
                << "Map calibration\r\nSheet\r\n"
                << name << ".tif\r\n1 ,Map Code,\r\nWGS 84,WGS 84,\r\nReserved\r\n";
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Finished(StartCli(Arguments(root_ / "reference", root_ / "reference.jsonl"))));
    const double referenceMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const std::map<std::string, std::string> reference = AllFiles(root_ / "reference");
    ASSERT_EQ(reference.size(), 30u);  // 12 images, 6 map copies, 12 records

    const fs::path out = root_ / "out";
    int killedAtWork = 0, partialsSeen = 0, foldersSeen = 0;
    for (int round = 0; round < 20; ++round) {
        const fs::path report = root_ / ("report" + std::to_string(round) + ".jsonl");
        const pid_t child = StartCli(Arguments(out, report));
        ASSERT_GT(child, 0);
        std::uniform_real_distribution<double> moment(0.0, referenceMs * 0.4);
        const auto killAt =
            std::chrono::steady_clock::now() + std::chrono::microseconds(int64_t(moment(random) * 1000));
        if (round % 5 == 4) {
            // Every fifth kill waits for an image being written, so that a
            // partial file is surely left for the next run to deal with.
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::microseconds(int64_t(referenceMs * 2000));
            while (CountPartialFiles(out) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            std::this_thread::sleep_until(killAt);
        }
        kill(child, SIGKILL);
        if (!Finished(child)) ++killedAtWork;
        partialsSeen += CountPartialFiles(out) > 0;
        foldersSeen += CountEntries(root_ / "tmp") > 0;
        // At most the dead run's own leftovers (the partial files of an
        // output, its copy and its record, or the note of their commit): the
        // earlier ones are gone.
        EXPECT_LE(CountPartialFiles(out), 3) << "round " << round;
        EXPECT_LE(CountCommitNotes(out), 1) << "round " << round;
        // An output stands without its copy only while the note of its
        // commit waits for the next run.
        if (CountCommitNotes(out) == 0) {
            EXPECT_EQ(OutputsWithoutCopy(out), 0) << "round " << round;
            EXPECT_EQ(UnpairedRecords(out), 0) << "round " << round;
        }
        EXPECT_LE(CountEntries(root_ / "tmp"), 1) << "round " << round;

        // Every image the report calls converted is there, whole.
        std::istringstream lines(ReadFile(report));
        for (std::string line; std::getline(lines, line);) {
            if (lines.eof()) break;  // cut off by the kill
            const nlohmann::json object = nlohmann::json::parse(line);
            if (!object.contains("outcome") || object["outcome"] != "converted") continue;
            const fs::path output = object["output"].get<std::string>();
            const std::string name = output.filename().string();
            ASSERT_TRUE(reference.count(name)) << name;
            EXPECT_TRUE(ReadFile(output) == ReadFile(root_ / "reference" / name))
                << "round " << round << ": " << name << " is not whole";
        }
        // Once all is done, touched sources give the next rounds work again.
        if (AllFiles(out).size() >= reference.size() && CountPartialFiles(out) == 0) {
            for (const auto& entry : fs::directory_iterator(root_ / "src"))
                if (entry.path().extension() == ".tif" && random() % 2 == 0)
                    fs::last_write_time(entry.path(), fs::file_time_type::clock::now());
        }
    }
    std::cout << killedAtWork << " of 20 runs killed at work; partial files left by " << partialsSeen
              << ", scratch folders by " << foldersSeen << std::endl;
    EXPECT_GE(killedAtWork, 10);
    EXPECT_GE(partialsSeen, 1);
    EXPECT_GE(foldersSeen, 1);

    ASSERT_TRUE(Finished(StartCli(Arguments(out, root_ / "last.jsonl"))));
    // The records name the sources' times, which the rounds touch: they are
    // checked for their pairing, the other files byte for byte.
    auto withoutRecords = [](std::map<std::string, std::string> files) {
        std::erase_if(files, [](const auto& file) { return tessary::IsRecordFileName(file.first); });
        return files;
    };
    EXPECT_EQ(withoutRecords(AllFiles(out)), withoutRecords(reference))
        << "outputs differ from an uninterrupted run's, or leftovers remain";
    EXPECT_EQ(AllFiles(out).size(), reference.size());
    EXPECT_EQ(CountPartialFiles(out), 0);
    EXPECT_EQ(CountCommitNotes(out), 0);
    EXPECT_EQ(OutputsWithoutCopy(out), 0);
    EXPECT_EQ(UnpairedRecords(out), 0);
    EXPECT_EQ(CountEntries(root_ / "tmp"), 0) << "a private scratch folder was left";
}

}  // namespace
