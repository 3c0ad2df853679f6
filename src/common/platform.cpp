#include "common/platform.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
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

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

constexpr uint64_t kLargestOffset = 0x7FFFFFFFFFFFFFFFull;

}  // namespace

int OpenSharedFile(const std::string& path, SharedOpen how, bool forWriting, bool forDelete) {
    const DWORD access = GENERIC_READ | (forWriting ? GENERIC_WRITE : 0) | (forDelete ? DELETE : 0);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(Wide(path).c_str(), access, share, nullptr,
                              how == SharedOpen::kNew      ? CREATE_NEW
                              : how == SharedOpen::kEither ? OPEN_ALWAYS
                                                           : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = ErrnoFromSystemError(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(file);
        errno = EINVAL;
        return -1;
    }
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(file), (forWriting ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        errno = EMFILE;
    }
    return fd;
}

bool LockByte(int fd, uint64_t offset, bool wait) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return LockFileEx(HandleOf(fd), flags, 0, 1, 0, &at) != 0;
}

void UnlockByte(int fd, uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    UnlockFileEx(HandleOf(fd), 0, 1, 0, &at);
}

bool LockWholeFile(int fd) {
    OVERLAPPED at{};
    return LockFileEx(HandleOf(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                      DWORD(kLargestOffset), DWORD(kLargestOffset >> 32), &at) != 0;
}

void UnlockWholeFile(int fd) {
    OVERLAPPED at{};
    UnlockFileEx(HandleOf(fd), 0, DWORD(kLargestOffset), DWORD(kLargestOffset >> 32), &at);
}

bool StillNamed(int fd, const std::string& path) {
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(HandleOf(fd), FileStandardInfo, &standard, sizeof standard) ||
        standard.DeletePending)
        return false;
    HANDLE named = CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    const bool same = SameFile(named, HandleOf(fd));
    CloseHandle(named);
    return same;
}

bool SameOpenFile(int a, int b) {
    return SameFile(HandleOf(a), HandleOf(b));
}

bool DeleteOpenFile(int fd) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(HandleOf(fd), FileDispositionInfo, &disposition, sizeof disposition) !=
           0;
}

long ReadAt(int fd, char* buffer, unsigned long size, uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(HandleOf(fd), buffer, DWORD(size), &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return long(got);
}

bool WriteAt(int fd, const char* data, unsigned long size, uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD written = 0;
    return WriteFile(HandleOf(fd), data, DWORD(size), &written, &at) && written == size;
}

bool CanWrite(const std::string& path) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A hidden file of a name of this process's own, gone when its
        // handle closes.
        std::wstring folder = wide;
        if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::wstring probe = folder + L"~tessary-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(attempt) + L".tmp";
            HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                      nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        }
        return false;
    }
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

std::optional<std::string> RegisteredProgramFolder(const std::string& exeName) {
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + Wide(exeName);
    // A 32-bit installer writes into the registry's 32-bit view.
    HKEY entry;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &entry) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &entry) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring value(MAX_PATH, L'\0');
    DWORD type = 0, bytes = DWORD(value.size() * sizeof(wchar_t));
    LSTATUS status = RegQueryValueExW(entry, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (status == ERROR_MORE_DATA) {
        value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = DWORD(value.size() * sizeof(wchar_t));
        status = RegQueryValueExW(entry, L"Path", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &bytes);
    }
    RegCloseKey(entry);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    const int n = WideCharToMultiByte(CP_UTF8, 0, value.data(), int(value.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, value.data(), int(value.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void UseParentConsole() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) return;  // redirected: kept
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    (void)!std::freopen("CONOUT$", "w", stdout);
    (void)!std::freopen("CONOUT$", "w", stderr);
}

int64_t SecondsSinceChange(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    auto ticks = [](const FILETIME& time) {
        return int64_t((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    return (ticks(now) - ticks(data.ftLastWriteTime)) / 10000000;
}

std::string ProcessStartTime(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) return std::string();
    FILETIME created, exited, kernel, user;
    const bool known = GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
    CloseHandle(process);
    if (!known) return std::string();
    return std::to_string((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime);
}

bool ProcessEnded(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no process has that id
    // A process that has exited stays until its last handle closes.
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
#else
bool CanWrite(const std::string& path) {
    // The effective user's right, as every later open is checked.
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::optional<std::string> RegisteredProgramFolder(const std::string&) { return std::nullopt; }
#endif

}  // namespace tessary::platform
