#include "engine/leftovers.h"
#include "support/temp_folder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace tessary {
namespace {

namespace fs = std::filesystem;

// Another process that does `work`, tells the test it is ready, and then
// keeps running (holding whatever it made) until it is killed.
class Writer {
public:
    explicit Writer(const std::function<void()>& work) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            work();
            char byte = 1;
            (void)!::write(ready[1], &byte, 1);
            for (;;) pause();
        }
        ::close(ready[1]);
        char byte = 0;
        ok_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~Writer() { Kill(); }
    bool Ready() const { return ok_; }
    // SIGKILL, and the process reaped, so that its id is gone.
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

class LeftoversTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = root_.string() + "/";
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    static void Age(const std::string& path, std::chrono::hours hours) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - hours);
    }
    // Makes the partial file in a child that then stays alive; gives its path
    // through a file the child writes.
    std::string PartialOfChild(Writer*& writer) {
        const std::string note = dir_ + "note-" + std::to_string(++children_);
        const std::string folder = dir_;
        writer = new Writer([folder, note] {
            static PartialFile partial;  // held until the child dies
            partial = PartialFile::Create(folder);
            std::ofstream(note) << partial.Path();
        });
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
    Writer* alive = nullptr;
    Writer* killed = nullptr;
    const std::string alivePath = PartialOfChild(alive);
    const std::string killedPath = PartialOfChild(killed);
    std::unique_ptr<Writer> aliveOwner(alive), killedOwner(killed);
    ASSERT_TRUE(alive->Ready());
    ASSERT_TRUE(killed->Ready());
    ASSERT_TRUE(fs::exists(alivePath));
    ASSERT_TRUE(fs::exists(killedPath));
    PartialFile own = PartialFile::Create(dir_);
    ASSERT_NE(alivePath, killedPath);
    // Files that are not partial files, whatever their age.
    for (const char* name : {"map.rpx2", ".hidden", "x.part", ".tessary-notes.txt"}) {
        Touch(dir_ + name);
        Age(dir_ + name, std::chrono::hours(72));
    }

    killed->Kill();
    EXPECT_EQ(RemoveDeadPartialFiles(dir_), 1);
    EXPECT_FALSE(fs::exists(killedPath));
    EXPECT_TRUE(fs::exists(alivePath)) << "a live writer's file was removed";
    EXPECT_TRUE(fs::exists(own.Path())) << "the run's own file was removed";
    for (const char* name : {"map.rpx2", ".hidden", "x.part", ".tessary-notes.txt"})
        EXPECT_TRUE(fs::exists(dir_ + name)) << name;

    alive->Kill();
    EXPECT_EQ(RemoveDeadPartialFiles(dir_), 1);
    EXPECT_FALSE(fs::exists(alivePath));
    EXPECT_TRUE(fs::exists(own.Path()));

    // A file of this process that no image writes any more (an earlier run
    // of the window could not remove it) goes too.
    const std::string ownPath = own.Path();
    own.Release();
    EXPECT_EQ(RemoveDeadPartialFiles(dir_), 1);
    EXPECT_FALSE(fs::exists(ownPath));
}

TEST_F(LeftoversTest, APartialFileWhoseProcessIdWentToAnotherProcessIsDead) {
    // After a reboot or a long time the writer's id may belong to another
    // process: this test's own id, with a start stamp that is not its own.
    PartialFile own = PartialFile::Create(dir_);
    const std::string name = fs::path(own.Path()).filename().string();
    const std::string host = name.substr(9, 8);
    char pid[16];
    std::snprintf(pid, sizeof pid, "%08x", unsigned(getpid()));
    ASSERT_EQ(name.substr(18, 8), pid);
    const std::string life = name.substr(27, 8);
    const std::string otherLife = life == "00000000" ? "00000001" : "00000000";
    const std::string reused = dir_ + ".tessary-" + host + "-" + pid + "-" + otherLife + "-0badf00d.part";
    Touch(reused);
    EXPECT_EQ(RemoveDeadPartialFiles(dir_), 1);
    EXPECT_FALSE(fs::exists(reused));
    EXPECT_TRUE(fs::exists(own.Path()));
}

TEST_F(LeftoversTest, PartialFilesOfOtherHostsAndOlderVersionsGoOnlyAfterADayUnlocked) {
    PartialFile own = PartialFile::Create(dir_);
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
    // A writer still at work on it (here: on this host, through the lock).
    Writer holder([oldLocked] {
        int fd = ::open(oldLocked.c_str(), O_RDONLY);
        ::flock(fd, LOCK_EX);
    });
    ASSERT_TRUE(holder.Ready());

    EXPECT_EQ(RemoveDeadPartialFiles(dir_), 2);
    EXPECT_TRUE(fs::exists(young));
    EXPECT_TRUE(fs::exists(olderVersionYoung));
    EXPECT_TRUE(fs::exists(oldLocked)) << "a locked file was removed";
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
    Writer aliveOwner([alive] { ClaimFolder(alive); });
    Writer killedOwner([killed] { ClaimFolder(killed); });
    ASSERT_TRUE(aliveOwner.Ready());
    ASSERT_TRUE(killedOwner.Ready());
    ASSERT_TRUE(ClaimFolder(own));
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
    fs::create_directory_symlink(target, dir_ + "tessary-IIIIII");

    killedOwner.Kill();
    EXPECT_EQ(RemoveDeadTempFolders(dir_), 3);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_FALSE(fs::exists(oldScratch));
    EXPECT_FALSE(fs::exists(foreignOld));
    for (const std::string& kept :
         {alive, own, young, oldOther, foreignYoung, otherName, target + "rpx_0.rpx0"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
    EXPECT_TRUE(fs::is_symlink(dir_ + "tessary-IIIIII"));

    aliveOwner.Kill();
    EXPECT_EQ(RemoveDeadTempFolders(dir_), 1);
    EXPECT_FALSE(fs::exists(alive));
    EXPECT_TRUE(fs::exists(own));
    ReleaseFolder(own);
}

// A run killed after making its folder and before writing its owner record
// left a folder nobody could attribute; the folder's name now carries its
// maker, so the next run removes it at once, and only once the maker is gone.
TEST_F(LeftoversTest, AFolderKilledBeforeItsOwnerRecordIsAttributedByItsName) {
    auto makeUnclaimed = [&](Writer*& writer) {
        const std::string note = dir_ + "note-" + std::to_string(++children_);
        const std::string base = dir_;
        writer = new Writer([base, note] {
            std::string pattern = PrivateFolderPattern(base);
            if (mkdtemp(pattern.data())) std::ofstream(note) << pattern;
        });
        std::string path;
        std::ifstream(note) >> path;
        fs::remove(note);
        return path;
    };
    Writer* killedMaker = nullptr;
    Writer* liveMaker = nullptr;
    const std::string killed = makeUnclaimed(killedMaker);
    const std::string live = makeUnclaimed(liveMaker);
    ASSERT_FALSE(killed.empty());
    ASSERT_FALSE(live.empty());
    Touch(killed + "/rpx_0.rpx0");
    std::ofstream(live + "/tessary.owner");  // created, its record not yet written

    killedMaker->Kill();
    EXPECT_EQ(RemoveDeadTempFolders(dir_), 1);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_TRUE(fs::exists(live));
    liveMaker->Kill();
    EXPECT_EQ(RemoveDeadTempFolders(dir_), 1);
    EXPECT_FALSE(fs::exists(live));
    delete killedMaker;
    delete liveMaker;
}

}  // namespace
}  // namespace tessary
