#include "common/file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/errors.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

std::string TempPath(const std::string& name) {
    return (fs::temp_directory_path() / ("tessary_file_" + name)).string();
}

TEST(CheckedFile, MissingFileRaisesWithTheSystemText) {
    try {
        CheckedFile f(TempPath("does-not-exist"), CheckedFile::Mode::Read);
        FAIL() << "opened a missing file";
    } catch (const IoError& e) {
        EXPECT_STREQ(e.what(), std::strerror(ENOENT));
        EXPECT_EQ(e.code(), ENOENT);
    }
    CheckedFile none;
    EXPECT_FALSE(CheckedFile::TryOpen(TempPath("does-not-exist"), CheckedFile::Mode::Read, none));
    EXPECT_FALSE(none.IsOpen());
    EXPECT_FALSE(FileExists(TempPath("does-not-exist")));
    EXPECT_EQ(FileSizeOf(TempPath("does-not-exist")), -1);
}

TEST(CheckedFile, FailedWriteRaisesNoSpaceLeft) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    CheckedFile f("/dev/full", CheckedFile::Mode::ReadWrite);
    std::vector<uint8_t> block(1 << 16, 1);
    try {
        // The data may sit in the buffer until the close flushes it.
        f.Write(block.data(), block.size());
        f.Close();
        FAIL() << "writing to a full device succeeded";
    } catch (const IoError& e) {
        EXPECT_STREQ(e.what(), "No space left on device");
    }
}

TEST(CheckedFile, WritesReadsSeeksAndRaisesOnShortReads) {
    std::string path = TempPath("rw");
    {
        CheckedFile f(path, CheckedFile::Mode::Create);
        f.Write("abcdefgh", 8);
        EXPECT_EQ(f.Tell(), 8u);
        f.Close();
    }
    EXPECT_EQ(FileSizeOf(path), 8);
    CheckedFile f(path, CheckedFile::Mode::Read);
    EXPECT_EQ(f.Size(), 8u);
    f.Seek(5);
    char buf[8] = {};
    EXPECT_EQ(f.ReadSome(buf, 8), 3u);
    EXPECT_STREQ(buf, "fgh");
    f.Seek(6);
    EXPECT_THROW(f.ReadExact(buf, 4), IoError);
    EXPECT_EQ(ReadWholeFile(path), "abcdefgh");
    f.Close();
    fs::remove(path);
}

TEST(CommitFile, ReplacesTheFileOfThatNameAndFailsWithoutLosingTheNewOne) {
    const fs::path folder = TempPath("commit_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string from = (folder / ".new").string();
    const std::string to = (folder / "kept.rpx2").string();
    {
        CheckedFile f(to, CheckedFile::Mode::Create);
        f.Write("old", 3);
        f.Close();
        CheckedFile g(from, CheckedFile::Mode::Create);
        g.Write("new data", 8);
        g.Close();
    }
    CommitFile(from, to);
    EXPECT_EQ(ReadWholeFile(to), "new data");
    EXPECT_FALSE(fs::exists(from));

    // A rename that cannot happen (the destination's folder is gone) raises
    // with the system's reason and leaves the new file where it was.
    {
        CheckedFile g(from, CheckedFile::Mode::Create);
        g.Write("again", 5);
        g.Close();
    }
    try {
        CommitFile(from, (folder / "missing" / "x.rpx2").string());
        FAIL() << "committed into a missing folder";
    } catch (const IoError& e) {
        EXPECT_EQ(e.code(), ENOENT);
    }
    EXPECT_EQ(ReadWholeFile(from), "again");
    EXPECT_EQ(ReadWholeFile(to), "new data");
    // A file that is not there cannot be flushed either.
    EXPECT_THROW(CommitFile((folder / "absent").string(), to), IoError);
    EXPECT_EQ(ReadWholeFile(to), "new data");
    EXPECT_TRUE(SyncFolder(folder.string()));
    EXPECT_FALSE(SyncFolder((folder / "missing").string()));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tessary
