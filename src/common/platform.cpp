#include "common/platform.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <fstream>
#endif

namespace tessary::platform {

namespace {
MessageSink* g_sink = nullptr;
std::string g_programFolder;
std::mutex g_mutex;
}  // namespace

MessageSink* SetMessageSink(MessageSink* sink) {
    std::lock_guard lock(g_mutex);
    MessageSink* previous = g_sink;
    g_sink = sink;
    return previous;
}

void ShowMessage(std::string_view text) {
    MessageSink* sink;
    {
        std::lock_guard lock(g_mutex);
        sink = g_sink;
    }
    if (sink) {
        sink->ShowMessage(text);
    } else {
        std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
    }
}

std::string ProgramFolder() {
    std::lock_guard lock(g_mutex);
    if (g_programFolder.empty()) {
        std::error_code ec;
#ifdef _WIN32
        wchar_t buffer[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
        std::filesystem::path exe(std::wstring(buffer, n));
#else
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
#endif
        if (!ec) g_programFolder = exe.parent_path().string();
    }
    return g_programFolder;
}

void SetProgramFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_programFolder = folder;
    while (g_programFolder.size() > 1 && (g_programFolder.back() == '/' || g_programFolder.back() == '\\'))
        g_programFolder.pop_back();
}

std::vector<FolderEntry> ListFolder(const std::string& folder) {
    std::vector<FolderEntry> out;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        FolderEntry e;
        e.name = it->path().filename().string();
        std::error_code ec2;
        e.isSymlink = it->is_symlink(ec2);
        e.isDirectory = it->is_directory(ec2);
        e.isHidden = !e.name.empty() && e.name[0] == '.';
        if (!e.isDirectory) {
            auto size = it->file_size(ec2);
            e.size = ec2 ? 0 : size;
        }
        out.push_back(std::move(e));
    }
    return out;
}

bool IsCdRomDrive(const std::string&) { return false; }

uint64_t PhysicalMemoryBytes() {
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? uint64_t(status.ullTotalPhys) : 0;
#else
    uint64_t total = 0;
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) total = uint64_t(pages) * uint64_t(pageSize);
    // A container's memory limit (cgroup v2) is what the process can really have.
    std::ifstream limitFile("/sys/fs/cgroup/memory.max");
    uint64_t limit = 0;
    if (limitFile >> limit && limit > 0 && (total == 0 || limit < total)) total = limit;
    return total;
#endif
}

void* LoadLibraryFile(const std::string& path) {
#ifdef _WIN32
    HMODULE module = ::LoadLibraryA(path.c_str());
    HMODULE pinned = nullptr;
    if (module) ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, path.c_str(), &pinned);
    return reinterpret_cast<void*>(module);
#else
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
#endif
}

void* FindSymbol(void* library, const char* name) {
    if (!library) return nullptr;
#ifdef _WIN32
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

void FreeLibraryFile(void* library) {
    if (!library) return;
#ifdef _WIN32
    ::FreeLibrary(static_cast<HMODULE>(library));
#else
    dlclose(library);
#endif
}

#ifdef _WIN32
int ErrnoFromSystemError(unsigned long code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}
#endif

}  // namespace tessary::platform
