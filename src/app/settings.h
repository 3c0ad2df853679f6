// Settings of the desktop program in "tessary.ini", section "System", and the
// folder defaults proposed on first start.
#pragma once

#include <functional>
#include <string>

namespace tessary::app {

inline constexpr const char* kSettingsFileName = "tessary.ini";
inline constexpr const char* kSettingsSection = "System";

// Which settings file to use. The file beside the program is used when it
// can be written there. Otherwise the file in the user's configuration
// folder is used; when that one does not exist yet and a file beside the
// program does, it is copied first so that the installed settings are the
// starting point. `isWritable(path)` answers for an existing file or folder.
std::string ChooseSettingsFile(const std::string& programFolder, const std::string& userConfigFolder,
                               const std::function<bool(const std::string&)>& isWritable);

// The user's configuration folder for the program: $XDG_CONFIG_HOME/tessary
// or ~/.config/tessary (%APPDATA%\tessary on Windows).
std::string UserConfigFolder();

// Text and flag access to one settings file.
class Settings {
public:
    explicit Settings(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    std::string ReadSetting(const std::string& key, const std::string& fallback) const;
    void WriteSetting(const std::string& key, const std::string& value) const;
    // Integers, anything but 0 meaning true; a value that is not an integer
    // reads as the fallback. Written as "1" and "0".
    bool ReadFlag(const std::string& key, bool fallback) const;
    void WriteFlag(const std::string& key, bool value) const;
    // A decimal number (spaces trimmed, ',' read as '.', anything else 0),
    // rounded half to even and moved into [low, high].
    int ReadBoundedNumber(const std::string& key, const std::string& fallback, int low, int high) const;
    // A whole number, or the fallback when the text is not one.
    int ReadInteger(const std::string& key, int fallback) const;

    // False after a write that did not reach the disk.
    bool LastWriteFailed() const { return writeFailed_; }

private:
    std::string path_;
    mutable bool writeFailed_ = false;
};

// A decimal number as the settings and the list's numeric columns read it.
double ReadDecimal(const std::string& text);
// A whole number with an optional sign, spaces trimmed; nothing otherwise.
bool ParseInteger(const std::string& text, long long& value);

// The map viewer's install folder, or empty. The environment variable
// KARTOVO_HOME, when set, is the answer (even when empty); then the viewer's
// registration (Windows: the "Path" of Kartex.exe under App Paths); otherwise
// /opt/kartovo and then /usr/lib/kartovo (c:\Kartovo and c:\Program
// Files\Kartovo on Windows) when they exist.
std::string FindViewerFolder();

// The default map file folder: the viewer's "Map File Path" (section
// "SYSTEM" of kartex.ini in the viewer's folder) when that file exists,
// otherwise the program's folder.
std::string DefaultMapFolder(const std::string& programFolder);

// The folder named by a "/fn=" argument: at most 250 characters after the
// prefix, reduced to their folder part, trimmed, without a trailing
// separator. Empty when the argument is blank or has no "/fn=" prefix.
std::string FolderFromFnArgument(const std::string& argument);

// True when the destination edit reads "As Above" in any case.
bool IsAsAbove(const std::string& destinationText);

}  // namespace tessary::app
