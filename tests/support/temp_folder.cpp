#include "support/temp_folder.h"

#include "engine/output_record.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace tessary::test {

TempFolder::TempFolder(std::string_view prefix) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (std::string(prefix) + "_" + std::to_string(getpid()) + "_" + std::to_string(std::random_device{}()) +
             "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

std::string TempFolder::Subfolder(const std::string& relative) const {
    std::filesystem::create_directories(path_ / relative);
    return (path_ / relative / "").string();  // with this system's separator
}

std::string TempFolder::Write(const std::string& name, std::string_view bytes) const {
    const std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string TempFolder::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    return Write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    const std::string bytes = ReadFile(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::map<std::string, std::string> FilesByName(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (IsRecordFileName(entry.path().filename().string())) continue;
        files[entry.path().filename().string()] = ReadFile(entry.path());
    }
    return files;
}

}  // namespace tessary::test
