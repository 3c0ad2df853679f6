// Runs the built tessary-cli program and collects what it prints; writes
// the small real images the program tests convert.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/image_writers.h"

namespace tessary::testing_cli {

struct RunResult {
    int status = -1;  // the exit status, -1 when the program did not exit
    std::string out;
};

// Runs tessary-cli with a shell command line; stderr joins stdout when asked,
// else it is dropped.
inline RunResult RunCliProgram(const std::string& arguments, bool withStderr) {
    std::string command =
        std::string(TESSARY_BIN_DIR) + "/tessary-cli " + arguments + (withStderr ? " 2>&1" : " 2>/dev/null");
    RunResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
    int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

// As RunCliProgram, with stderr joined to stdout unless asked otherwise.
inline RunResult RunCli(const std::string& arguments, bool withStderr = true) {
    return RunCliProgram(arguments, withStderr);
}

struct SplitResult {
    int status = -1;  // the exit status, -1 when the program did not exit
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs tessary-cli with a shell command line, keeping standard output and
// standard error apart. `prefix` goes before the program (a "cd FOLDER && ",
// a setpriv that drops root's rights).
inline SplitResult RunCliSplit(const std::string& arguments, const std::string& prefix = "") {
    char errName[] = "/tmp/tessary-cli-stderr-XXXXXX";
    SplitResult result;
    const int errFd = mkstemp(errName);
    if (errFd < 0) return result;
    close(errFd);
    const std::string command =
        prefix + std::string(TESSARY_BIN_DIR) + "/tessary-cli " + arguments + " 2>" + errName;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
        const int raw = pclose(pipe);
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    std::ifstream err(errName, std::ios::binary);
    result.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    unlink(errName);
    return result;
}

// The prefix that runs the program without root's rights (as "nobody"),
// so that a folder without permissions is unreadable to it; empty when the
// tests do not run as root. The files it must reach need rights for all.
inline std::string UnprivilegedPrefix() {
    return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

// A path in single quotes for the shell command lines above.
inline std::string Quote(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

// A 24-bit RGB TIFF with some structure; `seed` varies the picture.
inline void WriteRgbTiff(const std::string& path, int width, int height, int seed = 0) {
    test::WriteTiff(path, test::DrawnImage(width, height, [seed](int x, int y) {
                        const uint8_t red = uint8_t((x * 3 + y + seed) % 256);
                        const uint8_t green = uint8_t((y * 2 + seed * 7) % 256);
                        const uint8_t blue = (x % 50 < 2) ? 20 : uint8_t((x ^ y) & 0xFF);
                        return std::array<uint8_t, 3>{blue, green, red};
                    }));
}

}  // namespace tessary::testing_cli
