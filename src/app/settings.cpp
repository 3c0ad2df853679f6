#include "app/settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/ini_file.h"
#include "common/platform.h"
#include "common/text.h"

namespace tessary::app {

namespace fs = std::filesystem;

std::string ChooseSettingsFile(const std::string& programFolder, const std::string& userConfigFolder,
                               const std::function<bool(const std::string&)>& isWritable) {
    const std::string beside = (fs::path(programFolder) / kSettingsFileName).string();
    std::error_code ec;
    const bool besideExists = fs::exists(beside, ec);
    if (besideExists ? isWritable(beside) : isWritable(programFolder)) return beside;
    if (userConfigFolder.empty()) return beside;
    const std::string user = (fs::path(userConfigFolder) / kSettingsFileName).string();
    fs::create_directories(userConfigFolder, ec);
    if (!fs::exists(user, ec) && besideExists) fs::copy_file(beside, user, ec);
    return user;
}

std::string UserConfigFolder() {
#ifdef _WIN32
    // The roaming application data folder, as Windows programs keep theirs.
    const char* appData = std::getenv("APPDATA");
    if (appData && *appData && fs::path(appData).is_absolute()) return (fs::path(appData) / "tessary").string();
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg && fs::path(xdg).is_absolute()) return (fs::path(xdg) / "tessary").string();
    const char* home = std::getenv("HOME");
    if (home && *home) return (fs::path(home) / ".config" / "tessary").string();
#endif
    return std::string();
}

std::string Settings::ReadSetting(const std::string& key, const std::string& fallback) const {
    return ReadIniString(path_, kSettingsSection, key, fallback);
}

void Settings::WriteSetting(const std::string& key, const std::string& value) const {
    writeFailed_ = !WriteIniString(path_, kSettingsSection, key, value);
}

bool ParseInteger(const std::string& textIn, long long& value) {
    std::string text = TrimSpaces(textIn);
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    value = v;
    return true;
}

bool Settings::ReadFlag(const std::string& key, bool fallback) const {
    long long value = 0;
    if (!ParseInteger(ReadSetting(key, fallback ? "1" : "0"), value)) return fallback;
    return value != 0;
}

void Settings::WriteFlag(const std::string& key, bool value) const {
    WriteSetting(key, value ? "1" : "0");
}

double ReadDecimal(const std::string& textIn) {
    std::string text = TrimSpaces(textIn);
    for (char& c : text)
        if (c == ',') c = '.';
    if (text.empty()) return 0;
    // Digits, one point and a leading sign only; the locale plays no part.
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    bool digits = false, point = false;
    double whole = 0, fraction = 0, scale = 1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            if (point) {
                scale /= 10;
                fraction += (c - '0') * scale;
            } else {
                whole = whole * 10 + (c - '0');
            }
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return 0;
        }
    }
    if (!digits) return 0;
    double value = whole + fraction;
    return text[0] == '-' ? -value : value;
}

int Settings::ReadBoundedNumber(const std::string& key, const std::string& fallback, int low,
                                int high) const {
    double value = ReadDecimal(ReadSetting(key, fallback));
    if (!std::isfinite(value)) value = 0;
    if (value < low) return low;
    if (value > high) return high;
    return int(RoundHalfEven(value));
}

int Settings::ReadInteger(const std::string& key, int fallback) const {
    long long value = 0;
    if (!ParseInteger(ReadSetting(key, std::to_string(fallback)), value)) return fallback;
    if (value < -1000000 || value > 1000000) return fallback;
    return int(value);
}

std::string FindViewerFolder() {
    if (const char* registered = std::getenv("KARTOVO_HOME")) return registered;
    if (std::optional<std::string> registered = platform::RegisteredProgramFolder("Kartex.exe")) return *registered;
    std::error_code ec;
#ifdef _WIN32
    for (const char* folder : {"c:\\Kartovo", "c:\\Program Files\\Kartovo"})
#else
    for (const char* folder : {"/opt/kartovo", "/usr/lib/kartovo"})
#endif
        if (fs::is_directory(folder, ec)) return folder;
    return std::string();
}

std::string DefaultMapFolder(const std::string& programFolder) {
    const std::string viewerIni = FindViewerFolder() + "/kartex.ini";
    std::error_code ec;
    if (!fs::exists(viewerIni, ec)) return programFolder;
    return ReadIniString(viewerIni, "SYSTEM", "Map File Path", programFolder);
}

std::string FolderFromFnArgument(const std::string& argument) {
    if (TrimSpaces(argument).empty() || argument.rfind("/fn=", 0) != 0) return std::string();
    std::string path = argument.substr(4, 250);
    // The folder part ends at the last separator; a colon ends it only as the
    // drive of a Windows path ("D:chart.tif"), since it is an ordinary
    // character in names here.
    size_t cut = path.find_last_of("/\\");
    if (cut == std::string::npos && path.size() >= 2 && path[1] == ':') cut = 1;
    std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    folder = TrimSpaces(folder);
    if (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    return folder;
}

bool IsAsAbove(const std::string& destinationText) {
    return UpperAscii(destinationText) == "AS ABOVE";
}

}  // namespace tessary::app
