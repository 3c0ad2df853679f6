#include "support/held_child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace tessary::test {

namespace {

std::map<std::string, ChildWork>& Works() {
    static std::map<std::string, ChildWork> works;
    return works;
}

void DoWork(const std::string& name, const std::string& argument) {
    auto it = Works().find(name);
    if (it == Works().end()) {
        std::fprintf(stderr, "no child work named %s\n", name.c_str());
        std::exit(3);
    }
    it->second(argument);
}

#ifdef _WIN32

// What a child started afresh is to do, in its environment.
constexpr const wchar_t* kWorkVariable = L"TESSARY_CHILD_WORK";
constexpr const wchar_t* kArgumentVariable = L"TESSARY_CHILD_ARGUMENT";
constexpr const wchar_t* kReadyVariable = L"TESSARY_CHILD_READY";

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

std::string Variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(name, value, 32768);
    if (n == 0 || n >= 32768) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value, int(n), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, int(n), out.data(), bytes, nullptr, nullptr);
    return out;
}

#endif

}  // namespace

bool RegisterChildWork(const char* name, ChildWork work) {
    Works()[name] = work;
    return true;
}

#ifdef _WIN32

// The child's side: the test program started again with this test alone.
TEST(HeldChild, DISABLED_Work) {
    const std::string ready = Variable(kReadyVariable);
    if (ready.empty()) GTEST_SKIP() << "run only as a child of HeldChild";
    DoWork(Variable(kWorkVariable), Variable(kArgumentVariable));
    std::ofstream(std::filesystem::u8path(ready)) << "ready";
    for (;;) Sleep(INFINITE);
}

HeldChild::HeldChild(const std::string& work, const std::string& argument) {
    static int counter = 0;
    const std::filesystem::path ready =
        std::filesystem::temp_directory_path() / ("tessary-child-" + std::to_string(GetCurrentProcessId()) +
                                                  "-" + std::to_string(++counter) + ".ready");
    std::filesystem::remove(ready);
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) +
                           L"\" --gtest_filter=HeldChild.DISABLED_Work --gtest_also_run_disabled_tests";
    // The child inherits the variables, set for the moment it starts.
    SetEnvironmentVariableW(kWorkVariable, Wide(work).c_str());
    SetEnvironmentVariableW(kArgumentVariable, Wide(argument).c_str());
    SetEnvironmentVariableW(kReadyVariable, ready.wstring().c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const bool started = CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                        &startup, &info) != 0;
    for (const wchar_t* name : {kWorkVariable, kArgumentVariable, kReadyVariable})
        SetEnvironmentVariableW(name, nullptr);
    if (!started) return;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(ready)) {
            ready_ = true;
            break;
        }
        if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) break;  // it died
    }
    std::error_code ec;
    std::filesystem::remove(ready, ec);
}

void HeldChild::Kill() {
    if (!process_) return;
    TerminateProcess(process_, 9);
    WaitForSingleObject(process_, INFINITE);
    CloseHandle(process_);
    process_ = nullptr;
    ready_ = false;
}

#else

HeldChild::HeldChild(const std::string& work, const std::string& argument) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        ::close(ready[0]);
        DoWork(work, argument);
        char byte = 1;
        (void)!::write(ready[1], &byte, 1);
        for (;;) pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ready_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
}

void HeldChild::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    ready_ = false;
}

#endif

HeldChild::~HeldChild() {
    Kill();
}

}  // namespace tessary::test
