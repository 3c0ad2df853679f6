// What a run does to its destination folder beyond the RPX2 file itself:
// links planted at the names it writes are replaced, never written through;
// the calibration copy is committed together with its output (a copy that
// cannot be written fails the image and keeps the earlier pair); copy names
// never collide within a run; two runs writing one folder at once leave
// every output with its own calibration; and a commit cut short by a kill is
// finished by the next run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/file.h"
#include "common/text.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "engine/leftovers.h"
#include "engine/map_file.h"
#include "engine/output_record.h"
#include "support/damaged_source.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

void WriteTiff(const std::string& path, int width, int height, int seed) {
    Palette palette{};
    for (int i = 0; i < 256; ++i)
        palette[size_t(i)] = {uint8_t((i * 53 + seed) % 256), uint8_t((i * 91 + 40) % 256), uint8_t((i * 37) % 256),
                              0};
    test::WriteTiff(path, test::DrawnImage(width, height, palette, [seed](int x, int y) {
                        return uint8_t((x / 13 * 7 + y / (17 + seed) * 11 + ((x ^ y) & 3)) % 256);
                    }));
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string MapText(const std::string& image, const std::string& point = "Point01,0,0,46.5,7.0") {
    return "Calibration data\r\nTest map\r\n" + image + "\r\nDatum,WGS 84\r\nProjection,Mercator\r\nReserved 1\r\n" +
           point + "\r\n";
}

std::string ThirdLine(const std::string& path) {
    std::string text = ReadWholeFile(path);
    size_t a = text.find('\n');
    size_t b = text.find('\n', a + 1);
    size_t c = text.find('\n', b + 1);
    std::string line = text.substr(b + 1, c - b - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Names in a folder that a run must never leave behind.
std::vector<std::string> Leftovers(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".part") || name.ends_with(".pair") || name.ends_with(".$$$")) found.push_back(name);
    }
    return found;
}

class DestinationSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::SetRunFolders(job_, temp_);
        src_ = job_.sourceFolder.Text();
        out_ = job_.destinationFolder.Text();
        job_.copyMapFile = true;
        job_.includeImagePath = false;
    }
    void TearDown() override { SimulateFullDiskForTests("", 0); }
    void Run(std::initializer_list<const char*> names) {
        job_.entries.clear();
        for (const char* name : names) job_.entries.push_back({name, true});
        observer_.outcomes.clear();
        RunConversion(job_, observer_, log_, &observer_);
    }
    bool LogHas(const std::string& line) const {
        for (const std::string& l : log_.Lines())
            if (l == line) return true;
        return false;
    }

    test::TempFolder temp_{"tessary_dest_safety"};
    std::string src_, out_;
    ConversionJob job_;
    test::RecordingObserver observer_;
    ConversionLog log_;
};

TEST_F(DestinationSafetyTest, LinksPlantedAtTheCopyAndOldWorkFileNamesAreReplacedNotFollowed) {
#ifdef _WIN32
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    WriteTiff(src_ + "img00.tif", 340, 310, 7);
    WriteText(src_ + "img00.map", MapText("img00.tif"));
    const std::string victim = temp_.Write("victim.txt", "not yours");
    const std::string victim2 = temp_.Write("victim2.txt", "not yours either");
    fs::create_symlink(victim, out_ + "img00_rpx.map");
    fs::create_symlink(victim2, out_ + "img00_rpx.$$$");
    fs::create_symlink(temp_.File("nowhere"), out_ + "img00.rpx2");

    Run({"img00.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"img00.tif:converted"});
    EXPECT_EQ(ReadWholeFile(victim), "not yours");
    EXPECT_EQ(ReadWholeFile(victim2), "not yours either");
    EXPECT_FALSE(fs::exists(temp_.File("nowhere")));
    EXPECT_FALSE(fs::is_symlink(out_ + "img00_rpx.map"));
    EXPECT_FALSE(fs::is_symlink(out_ + "img00.rpx2"));
    EXPECT_EQ(ThirdLine(out_ + "img00_rpx.map"), "img00.rpx2");
    EXPECT_TRUE(LogHas("o\tNew map file created - ( " + out_ + "img00_rpx.map )"));
    fs::remove(out_ + "img00_rpx.$$$");  // the planted link, left alone
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    // A link at the lock file's name is refused, not followed.
    fs::remove(out_ + kNameLockFileName);
    fs::create_symlink(victim, out_ + kNameLockFileName);
    Run({"img00.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"img00.tif:failed"});
    EXPECT_EQ(ReadWholeFile(victim), "not yours");
}

TEST_F(DestinationSafetyTest, CopyNameTakenByAFolderOrAReadOnlyFileFailsTheImageAndKeepsTheEarlierPair) {
    WriteTiff(src_ + "a.tif", 340, 310, 3);
    WriteText(src_ + "a.map", MapText("a.tif"));
    WriteText(out_ + "a.rpx2", "earlier output");
    fs::create_directory(out_ + "a_rpx.map");

    Run({"a.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:failed"});
    EXPECT_EQ(ReadWholeFile(out_ + "a.rpx2"), "earlier output");
    EXPECT_TRUE(fs::is_empty(out_ + "a_rpx.map"));
    EXPECT_TRUE(LogHas("x\t(.map) file found but could not be copied"));
    EXPECT_FALSE(LogHas("o\t   Rpx2 image created : a.rpx2"));
    EXPECT_NE(observer_.ResultFor("a.tif").reason.find("folder"), std::string::npos);
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});

    fs::remove(out_ + "a_rpx.map");
    WriteText(out_ + "a_rpx.map", "earlier copy");
    fs::permissions(out_ + "a_rpx.map", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    Run({"a.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:failed"});
    EXPECT_EQ(ReadWholeFile(out_ + "a.rpx2"), "earlier output");
    EXPECT_EQ(ReadWholeFile(out_ + "a_rpx.map"), "earlier copy");
}

// The disk fills while the copy is written, at its first byte, inside it and
// at its last: the image fails with the reason, the earlier pair stays, and
// nothing is left behind. Enough room for both gives the new pair.
TEST_F(DestinationSafetyTest, FullDiskDuringTheCopyKeepsTheEarlierPair) {
    WriteTiff(src_ + "a.tif", 340, 310, 5);
    const std::string calibration = MapText("a.tif");
    WriteText(src_ + "a.map", calibration);
    Run({"a.tif"});
    ASSERT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:converted"});
    const uint64_t rpxBytes = uint64_t(fs::file_size(out_ + "a.rpx2"));
    const std::string newCopy = ReadWholeFile(out_ + "a_rpx.map");
    const uint64_t copyBytes = newCopy.size();

    for (uint64_t room : {uint64_t(0), uint64_t(1), copyBytes / 2, copyBytes - 1}) {
        SCOPED_TRACE("room for the copy: " + std::to_string(room));
        WriteText(out_ + "a.rpx2", "earlier output");
        WriteText(out_ + "a_rpx.map", "earlier copy");
        SimulateFullDiskForTests(out_, rpxBytes + room);
        Run({"a.tif"});
        SimulateFullDiskForTests("", 0);
        EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:failed"});
        EXPECT_NE(observer_.ResultFor("a.tif").reason.find(std::strerror(ENOSPC)), std::string::npos);
        EXPECT_TRUE(LogHas("x\t(.map) file found but could not be copied"));
        EXPECT_FALSE(LogHas("o\t   Rpx2 image created : a.rpx2"));
        EXPECT_EQ(ReadWholeFile(out_ + "a.rpx2"), "earlier output");
        EXPECT_EQ(ReadWholeFile(out_ + "a_rpx.map"), "earlier copy");
        EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    }
    // Room for both (and the output's small record).
    SimulateFullDiskForTests(out_, rpxBytes + copyBytes + 4096);
    Run({"a.tif"});
    SimulateFullDiskForTests("", 0);
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:converted"});
    EXPECT_EQ(fs::file_size(out_ + "a.rpx2"), rpxBytes);
    EXPECT_EQ(ReadWholeFile(out_ + "a_rpx.map"), newCopy);
}

TEST_F(DestinationSafetyTest, CopiesOfOneBaseNameAreNumberedAndAnUpdateSettles) {
    WriteTiff(src_ + "img1.tif", 340, 310, 1);
    WriteTiff(src_ + "img2.tif", 310, 330, 2);
    WriteText(src_ + "sheet.1.map", MapText("img1.png", "Point01,1,1,1,1"));
    WriteText(src_ + "sheet.2.map", MapText("img2.tif", "Point01,2,2,2,2"));

    Run({"img1.tif", "img2.tif"});
    ASSERT_EQ(observer_.outcomes, (std::vector<std::string>{"img1.tif:converted", "img2.tif:converted"}));
    // Which calibration file a name finds depends on the folder's order; the
    // copy names follow the run's order of images.
    EXPECT_EQ(ThirdLine(out_ + "sheet_rpx.map"), "img1.rpx2");
    EXPECT_EQ(ThirdLine(out_ + "sheet_1_rpx.map"), "img2.rpx2");
    EXPECT_NE(ReadWholeFile(out_ + "sheet_rpx.map").find("Point01,1,1,1,1"), std::string::npos);
    EXPECT_NE(ReadWholeFile(out_ + "sheet_1_rpx.map").find("Point01,2,2,2,2"), std::string::npos);
    EXPECT_EQ(observer_.ResultFor("img2.tif").mapCopyPath, out_ + "sheet_1_rpx.map");
    EXPECT_EQ(observer_.ResultFor("img2.tif").mapFile, src_ + "sheet.2.map");

    job_.update = true;
    Run({"img1.tif", "img2.tif"});
    EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"img1.tif:up-to-date", "img2.tif:up-to-date"}));
}

// Converting in place: the copies of the first run are not taken for the
// calibration of the next image called bali, in this run or the next.
TEST_F(DestinationSafetyTest, InPlaceImagesOfOneNameEachGetTheirOwnCopy) {
    job_.destinationFolder = FolderPath(src_);
    WriteTiff(src_ + "bali.tif", 340, 310, 4);
    Palette palette{};
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2), 0};
    test::WriteBmp(src_ + "bali.bmp",
                   test::DrawnImage(320, 300, palette, [](int x, int y) { return uint8_t((x * 3 + y) % 256); }),
                   test::BmpRows::BottomUp);
    WriteText(src_ + "bali.map", MapText("C:\\maps\\bali.jpg"));
    for (int run = 0; run < 2; ++run) {
        Run({"bali.tif", "bali.bmp"});
        EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"bali.tif:converted", "bali.bmp:converted"}));
        EXPECT_EQ(ThirdLine(src_ + "bali_rpx.map"), "bali.rpx2");
        EXPECT_EQ(ThirdLine(src_ + "bali_1_rpx.map"), "bali_1.rpx2");
        EXPECT_EQ(observer_.ResultFor("bali.bmp").mapFile, src_ + "bali.map");
        EXPECT_FALSE(fs::exists(src_ + "bali_rpx_1.map"));
        EXPECT_FALSE(fs::exists(src_ + "bali_1_rpx_1.map"));
    }
}

// Two runs at once into one destination, with the same sources and with
// different sources of the same names: every output ends up paired with the
// calibration of the source it was made from, and no run fails.
TEST_F(DestinationSafetyTest, ConcurrentRunsLeaveEveryOutputWithItsOwnCalibration) {
    const std::string srcA = temp_.Subfolder("srcA"), srcB = temp_.Subfolder("srcB");
    for (const auto& [folder, seed] : {std::pair{srcA, 3}, std::pair{srcB, 11}}) {
        for (const char* name : {"p", "q"}) {
            WriteTiff(folder + name + ".tif", 330 + seed, 310, seed);
            WriteText(folder + name + ".map",
                      MapText(std::string(name) + ".tif", "Point01," + std::to_string(seed) + ",0,0,0"));
        }
    }
    auto runInto = [&](const std::string& source, const std::string& dest, test::RecordingObserver& observer,
                       const std::string& scratch) {
        ConversionJob job = job_;
        job.sourceFolder = FolderPath(source);
        job.destinationFolder = FolderPath(dest);
        job.tempFolder = FolderPath(temp_.Subfolder(scratch));
        job.entries = {{"p.tif", true}, {"q.tif", true}};
        ConversionLog log;
        RunConversion(job, observer, log, &observer);
    };
    // The clean pairs of each source.
    std::map<std::string, std::pair<std::string, std::string>> clean;  // source folder + name -> (rpx2, copy)
    for (const std::string& folder : {srcA, srcB}) {
        const std::string dest = temp_.Subfolder("clean" + std::to_string(clean.size()));
        test::RecordingObserver observer;
        runInto(folder, dest, observer, "tmp1");
        for (const char* name : {"p", "q"})
            clean[folder + name] = {ReadWholeFile(dest + name + ".rpx2"), ReadWholeFile(dest + name + "_rpx.map")};
    }
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool sameSources = round % 2 == 0;
        const std::string dest = temp_.Subfolder("shared" + std::to_string(round));
        test::RecordingObserver first, second;
        std::thread a([&] { runInto(srcA, dest, first, "tmp1"); });
        std::thread b([&] { runInto(sameSources ? srcA : srcB, dest, second, "tmp2"); });
        a.join();
        b.join();
        EXPECT_EQ(first.outcomes, (std::vector<std::string>{"p.tif:converted", "q.tif:converted"}));
        EXPECT_EQ(second.outcomes, (std::vector<std::string>{"p.tif:converted", "q.tif:converted"}));
        for (const char* name : {"p", "q"}) {
            const std::string rpx2 = ReadWholeFile(dest + name + ".rpx2");
            const std::string copy = ReadWholeFile(dest + name + "_rpx.map");
            EXPECT_EQ(ThirdLine(dest + name + "_rpx.map"), std::string(name) + ".rpx2");
            const bool fromA = rpx2 == clean[srcA + name].first;
            const bool fromB = rpx2 == clean[srcB + name].first;
            ASSERT_TRUE(fromA || fromB) << name << ".rpx2 matches no clean run";
            EXPECT_EQ(copy, clean[(fromA ? srcA : srcB) + name].second) << name << " is paired with another calibration";
        }
        EXPECT_EQ(Leftovers(dest), std::vector<std::string>{});
    }
}

// --update reads the calibration copies of the output folder: a FIFO, a
// link to a device and an oversized file named .map are passed over, never
// read (the run would hang or fill the memory).
TEST_F(DestinationSafetyTest, UpdateReadsOnlyRegularCalibrationCopies) {
    WriteTiff(src_ + "a.tif", 340, 310, 9);
    WriteText(src_ + "a.map", MapText("a.tif"));
    Run({"a.tif"});
    ASSERT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:converted"});
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no named pipes or devices in the file system";
#else
    ASSERT_EQ(::mkfifo((out_ + "fifo.map").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", out_ + "zero.map");
    fs::create_symlink(out_ + "a_rpx.map", out_ + "link_rpx.map");

    job_.update = true;
    Run({"a.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:up-to-date"});

    auto reason = [](auto&& call) {
        try {
            call();
        } catch (const IoError& e) {
            return std::string(e.what());
        }
        return std::string("read");
    };
    EXPECT_EQ(reason([&] { ReadRegularFile(out_ + "fifo.map", 100, false); }), "Is a FIFO (named pipe), not a file");
    EXPECT_EQ(reason([&] { ReadRegularFile(out_ + "zero.map", 100, false); }), "Is a symbolic link, not a file");
    EXPECT_EQ(reason([&] { ReadRegularFile(out_ + "zero.map", 100, true); }), "Is a device, not a file");
    EXPECT_EQ(reason([&] { ReadRegularFile(out_, 100, true); }), "Is a folder, not a file");
    EXPECT_EQ(reason([&] { ReadRegularFile(out_ + "a_rpx.map", 10, false); }), std::strerror(EFBIG));
    EXPECT_EQ(reason([&] { ReadRegularFile(out_ + "a_rpx.map", 1000, false); }), "read");
#endif
}

// The record kept beside every output makes --update exact: each way an
// output can be stale is converted again with its reason, and an unchanged
// archive is all up to date.
TEST_F(DestinationSafetyTest, UpdateConvertsAgainOnEveryRecordedDifferenceAndSaysWhy) {
    job_.update = true;
    job_.scaleFile = temp_.Write("scales.dat", "");
    WriteTiff(src_ + "a.tif", 340, 310, 1);
    WriteTiff(src_ + "b.tif", 330, 320, 2);
    WriteText(src_ + "a.map", MapText("a.tif"));
    Palette palette{};
    for (int i = 0; i < 256; ++i) palette[size_t(i)] = {uint8_t(i), uint8_t(i / 3), uint8_t(255 - i), 0};
    const test::TestImage pngPicture =
        test::DrawnImage(330, 310, palette, [](int x, int y) { return uint8_t((x ^ y) % 256); });
    test::WritePng(src_ + "bali.png", pngPicture, false);
    WriteTiff(src_ + "bali.tif", 350, 310, 3);
    auto reasons = [&]() {
        std::vector<std::string> out;
        for (const std::string& outcome : observer_.outcomes) {
            const std::string name = outcome.substr(0, outcome.find(':'));
            const ImageResult result = observer_.ResultFor(name);
            out.push_back(outcome + (result.updateReason.empty() ? "" : " (" + result.updateReason + ")"));
        }
        return out;
    };
    const std::vector<std::string> allUpToDate{"a.tif:up-to-date", "b.tif:up-to-date"};

    // bali.png converted alone makes bali.rpx2; in the whole folder bali.tif
    // takes that name and must not be taken as done.
    Run({"bali.png"});
    Run({"bali.tif", "bali.png"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"bali.tif:converted (made from another source)",
                                                   "bali.png:converted"}));
    EXPECT_TRUE(LogHas("i\t   Converting again : made from another source"));

    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted", "b.tif:converted"}));
    ASSERT_TRUE(ReadRecordOf(out_ + "a.rpx2"));
    EXPECT_EQ(ReadRecordOf(out_ + "a.rpx2")->calibrationPath, src_ + "a.map");
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), allUpToDate);

    // A source replaced by an older-dated file (cp -p, rsync -a, a restore).
    const auto before = fs::last_write_time(src_ + "a.tif");
    WriteTiff(src_ + "a.tif", 340, 310, 9);
    fs::last_write_time(src_ + "a.tif", before - std::chrono::hours(24 * 30));
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (source changed)", "b.tif:up-to-date"}));

    // Options that shape the bytes, and the scale file's contents.
    job_.resizeEnabled = true;
    job_.resizeValue = 90;
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (options changed)",
                                                   "b.tif:converted (options changed)"}));
    job_.resizeEnabled = false;
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (options changed)",
                                                   "b.tif:converted (options changed)"}));
    WriteText(job_.scaleFile, "50\n25\n");
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (options changed)",
                                                   "b.tif:converted (options changed)"}));
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), allUpToDate);

    // An edited calibration file; a copy deleted; an output cut short.
    WriteText(src_ + "a.map", MapText("a.tif", "Point01,5,5,5,5"));
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (calibration changed)", "b.tif:up-to-date"}));
    EXPECT_NE(ReadWholeFile(out_ + "a_rpx.map").find("Point01,5,5,5,5"), std::string::npos);
    fs::remove(out_ + "a_rpx.map");
    fs::resize_file(out_ + "b.rpx2", fs::file_size(out_ + "b.rpx2") - 10);
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (calibration copy missing)",
                                                   "b.tif:converted (output changed)"}));
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), allUpToDate);

    // An output written best-effort from a damaged source is never up to date.
    job_.keepDamaged = true;
    job_.openSource = [](const std::string& path) -> SourceOpenResult {
        if (FileNamePart(path) == "b.tif")
            return test::DamagedRowsSource(path, 330, 320, [](int x, int y) {
                return std::array<uint8_t, 3>{uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
            }, {100});
        return OpenSourceImage(path);
    };
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:converted (options changed)",
                                                   "b.tif:failed (options changed)"}));
    Run({"a.tif", "b.tif"});
    EXPECT_EQ(reasons(), (std::vector<std::string>{"a.tif:up-to-date", "b.tif:failed (damaged before)"}));

    // Every output has its record, and every record its output.
    for (const auto& entry : fs::directory_iterator(out_)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".rpx2")) {
            EXPECT_TRUE(fs::exists(RecordPathFor(entry.path().string()))) << name;
        }
        if (IsRecordFileName(name)) {
            std::optional<OutputRecord> record = ParseRecord(ReadWholeFile(out_ + name));
            ASSERT_TRUE(record) << name;
            EXPECT_TRUE(fs::exists(out_ + record->outputName)) << name;
        }
    }
}

#ifndef _WIN32  // commits are not noted on Windows
// A commit note left by a dead run: the next cleaner finishes the moves it
// names, or, when another run has written a final name since, finishes none
// and removes the partial files; a note cut short is dropped.
class CommitNoteTest : public ::testing::Test {
protected:
    // A partial-file or note name of a process that has ended on this host.
    std::string DeadName(const std::string& suffix) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        uint32_t stamp = 2166136261u;
        for (unsigned char c : std::string(host)) {
            stamp ^= c;
            stamp *= 16777619u;
        }
        char name[80];
        std::snprintf(name, sizeof name, ".tessary-%08x-%08x-%08x-%08x%s", stamp, unsigned(deadPid_), 1u,
                      unsigned(++counter_), suffix.c_str());
        return name;
    }
    void SetUp() override {
        pid_t child = ::fork();
        if (child == 0) ::_exit(0);
        ::waitpid(child, nullptr, 0);
        deadPid_ = child;
    }
    uint64_t Inode(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? uint64_t(st.st_ino) : 0;
    }
    uint64_t Device(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? uint64_t(st.st_dev) : 0;
    }
    std::string Move(const std::string& from, const std::string& to) {
        const std::string path = dir_ + from;
        return std::to_string(Device(path)) + " " + std::to_string(Inode(path)) + " " + std::to_string(from.size()) +
               ":" + from + std::to_string(to.size()) + ":" + to + "\n";
    }

    test::TempFolder temp_{"tessary_commit_note"};
    std::string dir_ = temp_.Folder();
    pid_t deadPid_ = 0;
    int counter_ = 0;
};

TEST_F(CommitNoteTest, ADeadRunsHalfDoneCommitIsFinishedOrAbandonedWhole) {
    // Killed after the output's rename, before the copy's.
    const std::string rpx = DeadName(".part"), map = DeadName(".part");
    WriteText(dir_ + rpx, "new output");
    WriteText(dir_ + map, "new copy");
    WriteText(dir_ + "x_rpx.map", "old copy");
    std::string note = "tessary-pair 1\n" + Move(rpx, "x.rpx2") + Move(map, "x_rpx.map") + "end\n";
    fs::rename(dir_ + rpx, dir_ + "x.rpx2");
    WriteText(dir_ + DeadName(".pair"), note);
    RemoveDeadPartialFiles(FolderPath(dir_));
    EXPECT_EQ(ReadWholeFile(dir_ + "x.rpx2"), "new output");
    EXPECT_EQ(ReadWholeFile(dir_ + "x_rpx.map"), "new copy");
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});

    // The same, but another run has written the output since: nothing of the
    // dead run's commit is finished.
    const std::string rpx2 = DeadName(".part"), map2 = DeadName(".part");
    WriteText(dir_ + rpx2, "dead output");
    WriteText(dir_ + map2, "dead copy");
    note = "tessary-pair 1\n" + Move(rpx2, "y.rpx2") + Move(map2, "y_rpx.map") + "end\n";
    fs::rename(dir_ + rpx2, dir_ + "y.rpx2");
    WriteText(dir_ + "y.rpx2.tmp", "later output");
    fs::rename(dir_ + "y.rpx2.tmp", dir_ + "y.rpx2");
    WriteText(dir_ + "y_rpx.map", "later copy");
    WriteText(dir_ + DeadName(".pair"), note);
    RemoveDeadPartialFiles(FolderPath(dir_));
    EXPECT_EQ(ReadWholeFile(dir_ + "y.rpx2"), "later output");
    EXPECT_EQ(ReadWholeFile(dir_ + "y_rpx.map"), "later copy");
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});

    // A note cut short: no rename had begun; the partial files go.
    const std::string rpx3 = DeadName(".part");
    WriteText(dir_ + rpx3, "unfinished");
    WriteText(dir_ + DeadName(".pair"), "tessary-pair 1\n" + Move(rpx3, "z.rpx2"));
    RemoveDeadPartialFiles(FolderPath(dir_));
    EXPECT_FALSE(fs::exists(dir_ + "z.rpx2"));
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>{});
}

#endif  // !_WIN32

}  // namespace
}  // namespace tessary
