#include "engine/leftovers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "support/held_child.h"
#include "support/temp_folder.h"

#ifdef _WIN32
#include <process.h>
#include <windows.h>

#include "common/posix_win.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace tessary {
namespace {

namespace fs = std::filesystem;

// The two lines of a child's argument: where it works, where it tells what
// it made.
std::pair<std::string, std::string> Lines(const std::string& argument) {
    const size_t cut = argument.find('\n');
    return {argument.substr(0, cut), cut == std::string::npos ? std::string() : argument.substr(cut + 1)};
}

void MakePartialFile(const std::string& argument) {
    const auto [folder, note] = Lines(argument);
    static PartialFile partial;  // held until the child dies
    partial = PartialFile::Create(FolderPath(folder));
    std::ofstream(note) << partial.Path();
}

void MakeUnclaimedFolder(const std::string& argument) {
    const auto [base, note] = Lines(argument);
    std::string pattern = PrivateFolderPattern(FolderPath(base));
    if (mkdtemp(pattern.data())) std::ofstream(note) << pattern;
}

void Claim(const std::string& folder) {
    ClaimFolder(FolderPath(folder));
}

void HoldName(const std::string& argument) {
    const auto [folder, name] = Lines(argument);
    static NameLocks locks;  // held until the child dies
    locks = NameLocks(FolderPath(folder), {name});
}

#ifndef _WIN32
// Holds the lock of a file as its writer would.
void Lock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    ::flock(fd, LOCK_EX);
}
const bool kLockRegistered = test::RegisterChildWork("lock", Lock);
#endif

const bool kRegistered = test::RegisterChildWork("partial file", MakePartialFile) &&
                         test::RegisterChildWork("unclaimed folder", MakeUnclaimedFolder) &&
                         test::RegisterChildWork("claim", Claim) &&
                         test::RegisterChildWork("name lock", HoldName);

class LeftoversTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = root_.string() + "/";
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    static void Age(const std::string& path, std::chrono::hours hours) {
#ifdef _WIN32
        // A folder's time is set through a handle opened for folders.
        if (fs::is_directory(path)) {
            HANDLE folder = CreateFileW(fs::u8path(path).wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            ASSERT_NE(folder, INVALID_HANDLE_VALUE) << path;
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const uint64_t then = ((uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
                                  uint64_t(hours.count()) * 3600 * 10000000;
            const FILETIME changed{DWORD(then), DWORD(then >> 32)};
            EXPECT_TRUE(SetFileTime(folder, nullptr, nullptr, &changed));
            CloseHandle(folder);
            return;
        }
#endif
        fs::last_write_time(path, fs::file_time_type::clock::now() - hours);
    }
    // Runs `work` in a child that then stays alive; gives the path the
    // child tells.
    std::string PathOfChild(const char* work, std::unique_ptr<test::HeldChild>& child) {
        const std::string note = dir_ + "note-" + std::to_string(++children_);
        child = std::make_unique<test::HeldChild>(work, dir_ + "\n" + note);
        std::string path;
        std::ifstream(note) >> path;
        fs::remove(note);
        return path;
    }

    test::TempFolder temp_{"tessary_leftovers"};
    fs::path root_ = temp_.Path();
    std::string dir_;
    int children_ = 0;
};

TEST_F(LeftoversTest, PartialFilesOfLiveWritersStayAndThoseOfKilledOnesGo) {
    ASSERT_TRUE(kRegistered);
    std::unique_ptr<test::HeldChild> alive, killed;
    const std::string alivePath = PathOfChild("partial file", alive);
    const std::string killedPath = PathOfChild("partial file", killed);
    ASSERT_TRUE(alive->Ready());
    ASSERT_TRUE(killed->Ready());
    ASSERT_TRUE(fs::exists(alivePath));
    ASSERT_TRUE(fs::exists(killedPath));
    PartialFile own = PartialFile::Create(FolderPath(dir_));
    ASSERT_NE(alivePath, killedPath);
    // Files that are not partial files, whatever their age.
    for (const char* name : {"map.rpx2", ".hidden", "x.part", ".tessary-notes.txt"}) {
        Touch(dir_ + name);
        Age(dir_ + name, std::chrono::hours(72));
    }

    killed->Kill();
    EXPECT_EQ(RemoveDeadPartialFiles(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(killedPath));
    EXPECT_TRUE(fs::exists(alivePath)) << "a live writer's file was removed";
    EXPECT_TRUE(fs::exists(own.Path())) << "the run's own file was removed";
    for (const char* name : {"map.rpx2", ".hidden", "x.part", ".tessary-notes.txt"})
        EXPECT_TRUE(fs::exists(dir_ + name)) << name;

    alive->Kill();
    EXPECT_EQ(RemoveDeadPartialFiles(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(alivePath));
    EXPECT_TRUE(fs::exists(own.Path()));

    // A file of this process that no image writes any more (an earlier run
    // of the window could not remove it) goes too.
    const std::string ownPath = own.Path();
    own.Release();
    EXPECT_EQ(RemoveDeadPartialFiles(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(ownPath));
}

// Two runs never write one name at once: the second waits for the first,
// and a run killed while it holds a name lets it go with its life. The lock
// file goes with the last run.
TEST_F(LeftoversTest, ANameAnotherRunHoldsIsWaitedForUntilThatRunEnds) {
    test::HeldChild holder("name lock", dir_ + "\n" + "a.rpx2");
    ASSERT_TRUE(holder.Ready());
    ASSERT_TRUE(fs::exists(dir_ + kNameLockFileName));
    { NameLocks other(FolderPath(dir_), {"b_rpx.map"}); }  // another name is not held up
    std::atomic<bool> taken{false};
    std::thread second([&] {
        NameLocks same(FolderPath(dir_), {dir_ + "A.RPX2"});  // names fold case
        taken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(taken) << "two runs held one name at once";
    holder.Kill();
    second.join();
    EXPECT_TRUE(taken);
    EXPECT_FALSE(fs::exists(dir_ + kNameLockFileName)) << "the lock file was left behind";
}

TEST_F(LeftoversTest, APartialFileWhoseProcessIdWentToAnotherProcessIsDead) {
    // After a reboot or a long time the writer's id may belong to another
    // process: this test's own id, with a start stamp that is not its own.
    PartialFile own = PartialFile::Create(FolderPath(dir_));
    const std::string name = fs::path(own.Path()).filename().string();
    const std::string host = name.substr(9, 8);
    char pid[16];
    std::snprintf(pid, sizeof pid, "%08x", unsigned(getpid()));
    ASSERT_EQ(name.substr(18, 8), pid);
    const std::string life = name.substr(27, 8);
    const std::string otherLife = life == "00000000" ? "00000001" : "00000000";
    const std::string reused = dir_ + ".tessary-" + host + "-" + pid + "-" + otherLife + "-0badf00d.part";
    Touch(reused);
    EXPECT_EQ(RemoveDeadPartialFiles(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(reused));
    EXPECT_TRUE(fs::exists(own.Path()));
}

TEST_F(LeftoversTest, PartialFilesOfOtherHostsAndOlderVersionsGoOnlyAfterADayUnlocked) {
    PartialFile own = PartialFile::Create(FolderPath(dir_));
    const std::string host = fs::path(own.Path()).filename().string().substr(9, 8);
    const std::string otherHost = host == "00000001" ? "00000002" : "00000001";
    const std::string young = dir_ + ".tessary-" + otherHost + "-00000002-00000003-00000004.part";
    const std::string old = dir_ + ".tessary-" + otherHost + "-00000002-00000003-00000005.part";
    const std::string oldLocked = dir_ + ".tessary-" + otherHost + "-00000002-00000003-00000006.part";
    const std::string olderVersionYoung = dir_ + ".tessary-0123456789abcdef.part";
    const std::string olderVersionOld = dir_ + ".tessary-fedcba9876543210.part";
    for (const std::string& path : {young, old, oldLocked, olderVersionYoung, olderVersionOld}) Touch(path);
    Age(young, std::chrono::hours(20));
    Age(olderVersionYoung, std::chrono::hours(20));
    Age(old, std::chrono::hours(25));
    Age(oldLocked, std::chrono::hours(25));
    Age(olderVersionOld, std::chrono::hours(25));
#ifndef _WIN32
    // A writer still at work on it (here: on this host, through the lock).
    ASSERT_TRUE(kLockRegistered);
    test::HeldChild holder("lock", oldLocked);
    ASSERT_TRUE(holder.Ready());
#else
    fs::remove(oldLocked);
#endif

    EXPECT_EQ(RemoveDeadPartialFiles(FolderPath(dir_)), 2);
    EXPECT_TRUE(fs::exists(young));
    EXPECT_TRUE(fs::exists(olderVersionYoung));
#ifndef _WIN32
    EXPECT_TRUE(fs::exists(oldLocked)) << "a locked file was removed";
#endif
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(fs::exists(olderVersionOld));
}

TEST_F(LeftoversTest, PrivateTempFoldersOfDeadOwnersGoWithEverythingInThem) {
    auto make = [&](const std::string& name) {
        fs::create_directories(dir_ + name);
        return dir_ + name + "/";
    };
    const std::string alive = make("tessary-AAAAAA");
    const std::string killed = make("tessary-BBBBBB");
    const std::string own = make("tessary-CCCCCC");
    test::HeldChild aliveOwner("claim", alive);
    test::HeldChild killedOwner("claim", killed);
    ASSERT_TRUE(aliveOwner.Ready());
    ASSERT_TRUE(killedOwner.Ready());
    ASSERT_TRUE(ClaimFolder(FolderPath(own)));
    Touch(killed + "rpx_0.rpx0");
    Touch(killed + "temp.rpx0");

    // Without an owner record: young, or holding files that are not scratch
    // rasters, they stay; old and holding only scratch rasters, they go.
    const std::string young = make("tessary-DDDDDD");
    Touch(young + "rpx_1.rpx0");
    const std::string oldScratch = make("tessary-EEEEEE");
    Touch(oldScratch + "rpx_1.rpx0");
    Age(oldScratch, std::chrono::hours(25));
    const std::string oldOther = make("tessary-FFFFFF");
    Touch(oldOther + "notes.txt");
    Age(oldOther, std::chrono::hours(25));
    // Another host's: trusted dead only after a day.
    const std::string foreignYoung = make("tessary-GGGGGG");
    const std::string foreignOld = make("tessary-HHHHHH");
    for (const std::string& folder : {foreignYoung, foreignOld})
        std::ofstream(folder + "tessary.owner") << "host elsewhere.invalid\npid 4242\nstart 77\nboot b\n";
    Age(foreignYoung + "tessary.owner", std::chrono::hours(20));
    Age(foreignOld + "tessary.owner", std::chrono::hours(25));
    // Other names and links are never touched.
    const std::string otherName = make("tessary-dead");
    Age(otherName, std::chrono::hours(25));
    const std::string target = make("elsewhere");
    Touch(target + "rpx_0.rpx0");
    std::error_code noLinks;  // links need a privilege on Windows
    fs::create_directory_symlink(target, dir_ + "tessary-IIIIII", noLinks);

    killedOwner.Kill();
    EXPECT_EQ(RemoveDeadTempFolders(FolderPath(dir_)), 3);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_FALSE(fs::exists(oldScratch));
    EXPECT_FALSE(fs::exists(foreignOld));
    for (const std::string& kept :
         {alive, own, young, oldOther, foreignYoung, otherName, target + "rpx_0.rpx0"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
    if (!noLinks) {
        EXPECT_TRUE(fs::is_symlink(dir_ + "tessary-IIIIII"));
    }

    aliveOwner.Kill();
    EXPECT_EQ(RemoveDeadTempFolders(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(own));
    ReleaseFolder(FolderPath(own));
}

// A run killed after making its folder and before writing its owner record
// left a folder nobody could attribute; the folder's name now carries its
// maker, so the next run removes it at once, and only once the maker is gone.
TEST_F(LeftoversTest, AFolderKilledBeforeItsOwnerRecordIsAttributedByItsName) {
    std::unique_ptr<test::HeldChild> killedMaker, liveMaker;
    const std::string killed = PathOfChild("unclaimed folder", killedMaker);
    const std::string live = PathOfChild("unclaimed folder", liveMaker);
    ASSERT_FALSE(killed.empty());
    ASSERT_FALSE(live.empty());
    Touch(killed + "/rpx_0.rpx0");
    std::ofstream(live + "/tessary.owner");  // created, its record not yet written

    killedMaker->Kill();
    EXPECT_EQ(RemoveDeadTempFolders(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_TRUE(fs::exists(live));
    liveMaker->Kill();
    EXPECT_EQ(RemoveDeadTempFolders(FolderPath(dir_)), 1);
    EXPECT_FALSE(fs::exists(live));
}

}  // namespace
}  // namespace tessary
