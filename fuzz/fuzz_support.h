// Shared pieces of the fuzz targets: the readers take paths, so each input
// is written to a temporary file of this process (in /dev/shm when it
// exists) under the extension that selects the reader.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tessary::fuzz {

class TempInput {
public:
    TempInput(const uint8_t* data, size_t size, const std::string& extension) {
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(folder) + "/tessary-fuzz-" + std::to_string(getpid()) + extension;
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr) std::abort();
        if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
        if (std::fclose(file) != 0) std::abort();
    }
    ~TempInput() { std::remove(path_.c_str()); }
    TempInput(const TempInput&) = delete;
    TempInput& operator=(const TempInput&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace tessary::fuzz
