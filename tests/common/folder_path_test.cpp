#include "common/folder_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

// The separator a folder typed without one is closed with.
#ifdef _WIN32
const std::string kClose = "\\";
#else
const std::string kClose = "/";
#endif

// A folder is trimmed and closed once where it is typed; every later use
// joins names to it as it is.
TEST(FolderPath, TypedTextIsTrimmedAndClosedOnce) {
    const FolderPath spaced("  /maps/in  ");
    EXPECT_EQ(spaced.Text(), "/maps/in" + kClose);
    EXPECT_EQ(spaced.Join("a.tif"), "/maps/in" + kClose + "a.tif");
    EXPECT_EQ(spaced.ForCheck(), "/maps/in");
    EXPECT_EQ(spaced, FolderPath("/maps/in" + kClose));

    // A folder already closed, with either separator (settings written on
    // Windows close theirs with "\"), is not closed twice.
    EXPECT_EQ(FolderPath("/maps/in/ ").Text(), "/maps/in/");
    EXPECT_EQ(FolderPath("D:\\maps\\").Text(), "D:\\maps\\");
    // The root keeps its one separator, also where the file system is asked.
    EXPECT_EQ(FolderPath("/").Text(), "/");
    EXPECT_EQ(FolderPath("/").ForCheck(), "/");
    EXPECT_EQ(FolderPath("/").Join("x.png"), "/x.png");
#ifdef _WIN32
    EXPECT_EQ(FolderPath(" C:\\maps ").Text(), "C:\\maps\\");
    EXPECT_EQ(FolderPath("\\\\server\\share").Join("a.tif"), "\\\\server\\share\\a.tif");
#else
    EXPECT_EQ(FolderPath("a\\b").Text(), "a\\b/");  // inside a name, a backslash is part of it
#endif
}

TEST(FolderPath, BlankTextNamesNoFolder) {
    for (const char* text : {"", " ", "    "}) {
        const FolderPath folder(text);
        EXPECT_TRUE(folder.Empty()) << '"' << text << '"';
        EXPECT_EQ(folder.Text(), "");
        EXPECT_EQ(folder.ForCheck(), "");
        EXPECT_EQ(folder, FolderPath());
    }
    EXPECT_FALSE(FolderPath("/").Empty());
    EXPECT_EQ(FolderOf("/maps/in/a.tif"), FolderPath("/maps/in/"));
    EXPECT_TRUE(FolderOf("a.tif").Empty());
}

}  // namespace
}  // namespace tessary
