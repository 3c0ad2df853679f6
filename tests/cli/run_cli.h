// Runs the built tessary-cli program and collects what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

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

}  // namespace tessary::testing_cli
