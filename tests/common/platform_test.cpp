#include "common/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/temp_folder.h"
#include "support/unprivileged.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempFolder;

// The desktop program keeps its settings beside itself only where it may
// write: a folder is asked without leaving anything in it, a file without
// touching its bytes, and what the system refuses reads as unwritable.
TEST(PlatformCanWrite, AnswersForFilesAndFoldersAndLeavesThemAsTheyWere) {
    TempFolder folder;
    const std::string file = folder.Write("tessary.ini", "[System]\r\nReSize=50\r\n");
    EXPECT_TRUE(platform::CanWrite(folder.Str()));
    EXPECT_TRUE(platform::CanWrite(folder.Folder()));
    EXPECT_TRUE(platform::CanWrite(file));
    EXPECT_EQ(ReadFile(file), "[System]\r\nReSize=50\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);

    EXPECT_FALSE(platform::CanWrite(folder.File("missing.ini")));
    EXPECT_FALSE(platform::CanWrite(folder.File("missing") + "/inner"));

    // What the system refuses: a read-only file (its attribute on Windows,
    // its mode elsewhere) and, where modes apply, a folder without the right
    // to write.
    const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(file, write, fs::perm_options::remove);
#ifndef _WIN32
    fs::permissions(folder.Path(), write, fs::perm_options::remove);
#endif
    bool permissionsApply = true, fileWritable = true, folderWritable = true;
    {
        test::ScopedUnprivileged unprivileged;
#ifdef _WIN32
        // Wine run by root lets a read-only file be written.
        permissionsApply = !std::ofstream(file, std::ios::app);
#else
        permissionsApply = unprivileged.PermissionsApply();
#endif
        fileWritable = platform::CanWrite(file);
        folderWritable = platform::CanWrite(folder.Str());
    }
    fs::permissions(folder.Path(), fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    if (!permissionsApply) GTEST_SKIP() << "read-only files do not stop this user";
    EXPECT_FALSE(fileWritable);
#ifndef _WIN32
    EXPECT_FALSE(folderWritable);
#else
    EXPECT_TRUE(folderWritable);
#endif
}

#ifdef _WIN32
// The map viewer's folder comes from its installer's App Paths entry: a
// missing entry, an entry without a folder and a folder named outside the
// ANSI code page.
TEST(PlatformRegisteredProgramFolder, ReadsTheInstallersEntry) {
    const std::string name = "tessary-test-" + std::to_string(GetCurrentProcessId()) + ".exe";
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" +
                             std::wstring(name.begin(), name.end());
    EXPECT_FALSE(platform::RegisteredProgramFolder(name).has_value());
    HKEY entry;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &entry, nullptr) !=
        ERROR_SUCCESS)
        GTEST_SKIP() << "the machine's registry cannot be written here";
    EXPECT_EQ(platform::RegisteredProgramFolder(name), std::string());
    const std::wstring folder = L"C:\\Maps \u039a\u03b1";
    RegSetValueExW(entry, L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   DWORD((folder.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(entry);
    EXPECT_EQ(platform::RegisteredProgramFolder(name), std::string("C:\\Maps \xCE\x9A\xCE\xB1"));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}
#endif

}  // namespace
}  // namespace tessary
