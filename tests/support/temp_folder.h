// A private temporary folder for one test, removed with everything in it when
// the object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::test {

class TempFolder {
public:
    // The folder is created below the system's temporary folder, named after
    // `prefix`, the process and a counter, so that parallel test processes
    // and several folders of one test never meet.
    explicit TempFolder(std::string_view prefix = "tessary_test");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }
    // The folder with a trailing separator, for joining names by hand.
    std::string Folder() const { return path_.string() + "/"; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // Creates a folder below this one (if needed); gives it with a trailing
    // separator.
    std::string Subfolder(const std::string& relative) const;
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }
    // Writes a file of these bytes into the folder; gives its path.
    std::string Write(const std::string& name, std::string_view bytes) const;
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::filesystem::path path_;
};

// The bytes of a file; empty when it cannot be read (a missing file reads
// as empty, so a test can compare it with what should be there).
std::string ReadFile(const std::filesystem::path& path);
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

// Every file directly in `folder` by name, with its bytes; the outputs'
// records (engine/output_record.h), the run's bookkeeping, are left out.
std::map<std::string, std::string> FilesByName(const std::string& folder);

}  // namespace tessary::test
