// Faults during a conversion run: a destination or temporary folder that
// fills up, a destination made read-only while the run is going, a source
// deleted after it was listed. Each must give the input/output error line,
// keep an earlier output of the same name, leave no partial output and no
// scratch raster, and let the run go on with the next image.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/file.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"
#include "rpx/rpx_reader.h"
#include "support/image_writers.h"
#include "support/recording_observer.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

// An 8-bit palette TIFF with some structure, so that every level has work.
void WriteTiff(const std::string& path, int width, int height) {
    Palette palette{};
    for (int i = 0; i < 256; ++i)
        palette[size_t(i)] = {uint8_t((i * 53 + 7) % 256), uint8_t((i * 91 + 40) % 256), uint8_t((i * 37) % 256), 0};
    test::WriteTiff(path, test::DrawnImage(width, height, palette, [](int x, int y) {
                        return uint8_t((x / 13 * 7 + y / 17 * 11 + ((x ^ y) & 3)) % 256);
                    }));
}

std::string IoErrorLine(int code) {
    return "x\tError : " + std::string(std::strerror(code)) + " - Failed to create the Rpx2 file";
}

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::SetRunFolders(job_, temp_);
        src_ = job_.sourceFolder.Text();
        out_ = job_.destinationFolder.Text();
        tmp_ = job_.tempFolder.Text();
        job_.copyMapFile = false;
        WriteTiff(src_ + "a.tif", 340, 310);
        WriteTiff(src_ + "b.tif", 310, 330);
        Earlier("a.rpx2");
    }
    void TearDown() override {
        SimulateFullDiskForTests("", 0);
        if (mounted_) umount2(out_.c_str(), MNT_DETACH);
        fs::permissions(out_, fs::perms::owner_all, fs::perm_options::add);
    }
    // An earlier output of the name the run is going to write.
    void Earlier(const std::string& name) { std::ofstream(out_ + name, std::ios::binary) << kEarlier; }
    void Run(std::initializer_list<const char*> names) {
        job_.entries.clear();
        for (const char* name : names) job_.entries.push_back({name, true});
        observer_.outcomes.clear();
        RunConversion(job_, observer_, log_, &observer_);
    }
    std::vector<std::string> Lines() const { return log_.Lines(); }
    // The files of a folder whose names end with `suffix`.
    static std::vector<std::string> FilesEndingWith(const std::string& folder, const std::string& suffix) {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().ends_with(suffix)) found.push_back(entry.path().filename());
        return found;
    }
    // What every failed image must leave behind: its line, the earlier file
    // untouched, no partial output and no scratch raster.
    void ExpectCleanFailureOfA(int code) {
        ASSERT_GE(Lines().size(), 2u);
        EXPECT_EQ(Lines()[0], "i\tProcessing - a.tif");
        EXPECT_EQ(Lines()[1], IoErrorLine(code));
        EXPECT_EQ(ReadWholeFile(out_ + "a.rpx2"), kEarlier);
        EXPECT_EQ(FilesEndingWith(out_, ".part"), std::vector<std::string>{});
        EXPECT_EQ(FilesEndingWith(tmp_, ".rpx0"), std::vector<std::string>{});
    }
    // The next image was converted into a complete, readable file.
    void ExpectBConverted() {
        EXPECT_EQ(observer_.outcomes, (std::vector<std::string>{"a.tif:failed", "b.tif:converted"}));
        ASSERT_TRUE(fs::exists(out_ + "b.rpx2"));
        RpxHandle written(out_ + "b.rpx2");
        EXPECT_EQ(written.Width(), 310);
        EXPECT_EQ(written.Height(), 330);
        EXPECT_GE(written.LevelCount(), 2);
    }

    static constexpr const char* kEarlier = "the earlier output, which a failed run must keep";
    test::TempFolder temp_{"tessary_faults"};
    std::string src_, out_, tmp_;
    bool mounted_ = false;
    ConversionJob job_;
    test::RecordingObserver observer_;
    ConversionLog log_;
};

// The disk fills at many points of an image: in the partial file's header,
// inside its tiles and near its end (destination), and in each scratch
// raster (temporary folder). Every point gives the same clean failure.
TEST_F(FaultInjectionTest, FolderThatFillsUpAtAnyPoint) {
    const std::string out = out_, tmp = tmp_;
    for (uint64_t bytes : {uint64_t(0), uint64_t(10), uint64_t(2000), uint64_t(9000), uint64_t(30000)})
        for (const std::string& folder : {out, tmp}) {
            SCOPED_TRACE((folder == out ? "destination full after " : "temporary folder full after ") +
                         std::to_string(bytes) + " bytes");
            fs::remove(out_ + "b.rpx2");
            SimulateFullDiskForTests(folder, bytes);
            // The disk has room again once the first image has failed.
            observer_.onFinished = [](const std::string&) { SimulateFullDiskForTests("", 0); };
            Run({"a.tif", "b.tif"});
            ExpectCleanFailureOfA(ENOSPC);
            ExpectBConverted();
        }
}

TEST_F(FaultInjectionTest, DiskRoomEnoughForTheImageConvertsIt) {
    // The seam itself: a limit above what the image needs changes nothing.
    SimulateFullDiskForTests(out_, 50u << 20);
    Run({"a.tif"});
    EXPECT_EQ(observer_.outcomes, std::vector<std::string>{"a.tif:converted"});
    EXPECT_NE(ReadWholeFile(out_ + "a.rpx2"), kEarlier);
}

// Makes the destination read-only and writable again: permissions for an
// ordinary user; for root (whom permissions do not stop) a tmpfs mounted
// on the folder and remounted read-only.
class ReadOnlyDestination {
public:
    explicit ReadOnlyDestination(const std::string& folder, bool& mounted)
        : folder_(folder), mounted_(mounted) {}
    // False when this system offers no way to do it.
    bool Prepare() {
        if (geteuid() != 0) return true;
        if (mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=16m") != 0) return false;
        mounted_ = true;
        return true;
    }
    void Set(bool readOnly) {
        if (mounted_) {
            unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
            ASSERT_EQ(mount("tmpfs", folder_.c_str(), "tmpfs", flags, "size=16m"), 0) << std::strerror(errno);
        } else {
            ASSERT_EQ(chmod(folder_.c_str(), readOnly ? 0555 : 0755), 0);
        }
    }
    int ErrorCode() const { return mounted_ ? EROFS : EACCES; }

private:
    std::string folder_;
    bool& mounted_;
};

TEST_F(FaultInjectionTest, DestinationMadeReadOnlyBeforeTheFileIsCreated) {
    ReadOnlyDestination destination(out_, mounted_);
    if (!destination.Prepare()) GTEST_SKIP() << "cannot make a folder read-only for root here";
    Earlier("a.rpx2");
    // Read-only while the zoom levels are built, before the partial file.
    observer_.onStatus = [&](int slot, const std::string& text) {
        if (slot == 1 && text.starts_with("Creating") && observer_.outcomes.empty()) destination.Set(true);
    };
    observer_.onFinished = [&](const std::string&) { destination.Set(false); };
    Run({"a.tif", "b.tif"});
    ExpectCleanFailureOfA(destination.ErrorCode());
    ExpectBConverted();
}

TEST_F(FaultInjectionTest, DestinationMadeReadOnlyBeforeTheFileTakesItsName) {
    ReadOnlyDestination destination(out_, mounted_);
    if (!destination.Prepare()) GTEST_SKIP() << "cannot make a folder read-only for root here";
    Earlier("a.rpx2");
    // The partial file is complete and closed (its overview is on show): the
    // folder turns read-only before the file takes the output's name.
    observer_.onPicture = [&] {
        if (observer_.outcomes.empty()) destination.Set(true);
    };
    std::vector<std::string> partialWhileReadOnly;
    observer_.onFinished = [&](const std::string& name) {
        if (name == "a.tif") partialWhileReadOnly = FilesEndingWith(out_, ".part");
        destination.Set(false);
    };
    Run({"a.tif", "b.tif"});
    ASSERT_GE(Lines().size(), 2u);
    EXPECT_EQ(Lines()[1], IoErrorLine(destination.ErrorCode()));
    EXPECT_EQ(ReadWholeFile(out_ + "a.rpx2"), kEarlier);
    EXPECT_EQ(FilesEndingWith(tmp_, ".rpx0"), std::vector<std::string>{});
    ExpectBConverted();
    // Nothing can be deleted in a read-only folder: the hidden partial file
    // of the failed image stays there, under its short hidden name only.
    ASSERT_EQ(partialWhileReadOnly.size(), 1u);
    EXPECT_TRUE(partialWhileReadOnly[0].starts_with(".tessary-")) << partialWhileReadOnly[0];
    EXPECT_EQ(partialWhileReadOnly[0].size(),
              std::string(".tessary-01234567-01234567-01234567-01234567.part").size());
}

TEST_F(FaultInjectionTest, SourceDeletedAfterListing) {
    WriteTiff(src_ + "c.tif", 320, 300);
    observer_.onFinished = [&](const std::string& name) {
        if (name == "a.tif") fs::remove(src_ + "b.tif");
    };
    fs::remove(out_ + "a.rpx2");
    Earlier("b.rpx2");
    Run({"a.tif", "b.tif", "c.tif"});
    EXPECT_EQ(observer_.outcomes,
              (std::vector<std::string>{"a.tif:converted", "b.tif:failed", "c.tif:converted"}));
    const std::vector<std::string> lines = Lines();
    auto b = std::find(lines.begin(), lines.end(), "i\tProcessing - b.tif");
    ASSERT_NE(b, lines.end());
    ASSERT_NE(b + 1, lines.end());
    EXPECT_EQ(*(b + 1), "e\tImage file not found");
    EXPECT_EQ(ReadWholeFile(out_ + "b.rpx2"), kEarlier);
    EXPECT_EQ(FilesEndingWith(tmp_, ".rpx0"), std::vector<std::string>{});
}

int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// Valid, damaged and vanishing sources and a full disk in one run: every
// file the run opened is closed at its end.
TEST_F(FaultInjectionTest, NoDescriptorLeftOpenAfterFaults) {
    if (!fs::exists("/proc/self/fd")) GTEST_SKIP() << "no /proc/self/fd";
    {
        std::ofstream(src_ + "empty.tif");
        std::string bytes = ReadWholeFile(src_ + "b.tif");
        std::ofstream(src_ + "cut.tif", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
        std::ofstream(src_ + "junk.png", std::ios::binary) << std::string(5000, '\x89');
    }
    const int before = OpenDescriptors();
    SimulateFullDiskForTests(out_, 3000);
    observer_.onFinished = [](const std::string& name) {
        if (name == "a.tif") SimulateFullDiskForTests("", 0);
    };
    Run({"a.tif", "empty.tif", "cut.tif", "junk.png", "gone.tif", "b.tif"});
    EXPECT_EQ(observer_.outcomes.front(), "a.tif:failed");
    EXPECT_EQ(observer_.outcomes.back(), "b.tif:converted");
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace tessary
