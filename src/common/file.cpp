#include "common/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "common/errors.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>

#include "common/platform.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tessary {

void ThrowIoError(int code) {
    if (code == 0) code = EIO;
    throw IoError(std::strerror(code), code);
}

static const char* ModeString(CheckedFile::Mode mode) {
    switch (mode) {
        case CheckedFile::Mode::Read: return "rb";
        case CheckedFile::Mode::Create: return "wb";
        case CheckedFile::Mode::ReadWrite: return "r+b";
    }
    return "rb";
}

CheckedFile::CheckedFile(const std::string& path, Mode mode) : path_(path) {
    errno = 0;
    file_ = std::fopen(path.c_str(), ModeString(mode));
    if (!file_) ThrowIoError(errno);
}

bool CheckedFile::TryOpen(const std::string& path, Mode mode, CheckedFile& out) {
    std::FILE* f = std::fopen(path.c_str(), ModeString(mode));
    if (!f) return false;
    out = CheckedFile();
    out.file_ = f;
    out.path_ = path;
    return true;
}

CheckedFile CheckedFile::FromDescriptor(int fd, const std::string& path, Mode mode) {
    CheckedFile out;
    errno = 0;
#ifdef _WIN32
    out.file_ = ::_fdopen(fd, ModeString(mode));
#else
    out.file_ = ::fdopen(fd, ModeString(mode));
#endif
    if (!out.file_) {
        int code = errno;
#ifdef _WIN32
        ::_close(fd);
#else
        ::close(fd);
#endif
        ThrowIoError(code);
    }
    out.path_ = path;
    return out;
}

namespace {

// What a file that is not a regular file is, for the reason of a refusal.
const char* KindOfNonRegular(unsigned mode) {
#ifndef _WIN32
    if (S_ISDIR(mode)) return "Is a folder, not a file";
    if (S_ISFIFO(mode)) return "Is a FIFO (named pipe), not a file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "Is a device, not a file";
    if (S_ISSOCK(mode)) return "Is a socket, not a file";
    if (S_ISLNK(mode)) return "Is a symbolic link, not a file";
#else
    (void)mode;
#endif
    return "Not a regular file";
}

}  // namespace

CheckedFile CheckedFile::OpenRegular(const std::string& path, bool followLinks) {
#ifndef _WIN32
    // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!followLinks) flags |= O_NOFOLLOW;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) {
        int code = errno;
        struct stat st;
        if (code == ELOOP && !followLinks && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            throw IoError(KindOfNonRegular(st.st_mode), ELOOP);
        ThrowIoError(code);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int code = errno;
        ::close(fd);
        ThrowIoError(code);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw IoError(KindOfNonRegular(st.st_mode), EINVAL);
    }
    // Reads of a regular file never block: the flag may stay.
    return FromDescriptor(fd, path, Mode::Read);
#else
    (void)followLinks;
    return CheckedFile(path, Mode::Read);
#endif
}

CheckedFile::~CheckedFile() {
    if (file_) std::fclose(file_);
}

CheckedFile::CheckedFile(CheckedFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), path_(std::move(other.path_)) {}

CheckedFile& CheckedFile::operator=(CheckedFile&& other) noexcept {
    if (this != &other) {
        if (file_) std::fclose(file_);
        file_ = std::exchange(other.file_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

void CheckedFile::ReadExact(void* buffer, size_t n) {
    if (ReadSome(buffer, n) != n) ThrowIoError(EIO);
}

size_t CheckedFile::ReadSome(void* buffer, size_t n) {
    if (!file_) ThrowIoError(EBADF);
    if (n == 0) return 0;
    errno = 0;
    size_t got = std::fread(buffer, 1, n, file_);
    if (got < n && std::ferror(file_)) ThrowIoError(errno);
    return got;
}

namespace {

// The simulated full disk of SimulateFullDiskForTests; inactive unless a
// test sets a folder.
struct FullDiskSimulation {
    std::mutex mutex;
    std::string folder;
    uint64_t bytesLeft = 0;
};

FullDiskSimulation& FullDisk() {
    static FullDiskSimulation simulation;
    return simulation;
}

// How many of n bytes the simulated disk takes for `path` (n when inactive).
size_t SimulatedRoom(const std::string& path, size_t n) {
    FullDiskSimulation& disk = FullDisk();
    std::lock_guard<std::mutex> lock(disk.mutex);
    if (disk.folder.empty() || path.compare(0, disk.folder.size(), disk.folder) != 0) return n;
    size_t room = size_t(std::min<uint64_t>(n, disk.bytesLeft));
    disk.bytesLeft -= room;
    return room;
}

}  // namespace

void SimulateFullDiskForTests(const std::string& folder, uint64_t bytes) {
    FullDiskSimulation& disk = FullDisk();
    std::lock_guard<std::mutex> lock(disk.mutex);
    disk.folder = folder;
    disk.bytesLeft = bytes;
}

void CheckedFile::Write(const void* data, size_t n) {
    if (!file_) ThrowIoError(EBADF);
    if (n == 0) return;
    errno = 0;
    if (size_t room = SimulatedRoom(path_, n); room < n) {
        if (room > 0) std::fwrite(data, 1, room, file_);
        ThrowIoError(ENOSPC);
    }
    if (std::fwrite(data, 1, n, file_) != n) ThrowIoError(errno);
}

void CheckedFile::Seek(uint64_t offset) {
    if (!file_) ThrowIoError(EBADF);
    errno = 0;
#ifdef _WIN32
    if (_fseeki64(file_, int64_t(offset), SEEK_SET) != 0) ThrowIoError(errno);
#else
    if (fseeko(file_, off_t(offset), SEEK_SET) != 0) ThrowIoError(errno);
#endif
}

uint64_t CheckedFile::Tell() {
    if (!file_) ThrowIoError(EBADF);
#ifdef _WIN32
    int64_t pos = _ftelli64(file_);
#else
    int64_t pos = ftello(file_);
#endif
    if (pos < 0) ThrowIoError(errno);
    return uint64_t(pos);
}

uint64_t CheckedFile::Size() {
    if (!file_) ThrowIoError(EBADF);
    std::error_code ec;
    auto size = std::filesystem::file_size(path_, ec);
    if (ec) ThrowIoError(ec.value());
    return size;
}

void CheckedFile::Close() {
    if (!file_) return;
    std::FILE* f = std::exchange(file_, nullptr);
    errno = 0;
    bool flushed = std::fflush(f) == 0;
    int flushErrno = errno;
    errno = 0;
    bool closed = std::fclose(f) == 0;
    if (!flushed) ThrowIoError(flushErrno);
    if (!closed) ThrowIoError(errno);
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

bool DirectoryExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

int64_t FileSizeOf(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : int64_t(size);
}

std::string ReadWholeFile(const std::string& path) {
    CheckedFile f(path, CheckedFile::Mode::Read);
    std::string out;
    char buffer[65536];
    for (;;) {
        size_t got = f.ReadSome(buffer, sizeof buffer);
        out.append(buffer, got);
        if (got < sizeof buffer) break;
    }
    return out;
}

std::string ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLinks) {
    CheckedFile f = CheckedFile::OpenRegular(path, followLinks);
    std::string out;
    char buffer[65536];
    for (;;) {
        size_t got = f.ReadSome(buffer, sizeof buffer);
        out.append(buffer, got);
        // The size is checked as the file is read: a file that grows while
        // it is read is cut off at the cap all the same.
        if (out.size() > maxBytes) ThrowIoError(EFBIG);
        if (got < sizeof buffer) break;
    }
    return out;
}

void SyncFileData(const std::string& path) {
#ifndef _WIN32
    // Any descriptor of the file will do: the data to flush belong to the
    // file, not to the descriptor that wrote them.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowIoError(errno);
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    int code = errno;
    ::close(fd);
    if (result != 0) ThrowIoError(code);
#else
    // Paths are UTF-8 and so is the active code page: the ANSI calls take them.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) ThrowIoError(platform::ErrnoFromSystemError(GetLastError()));
    const bool flushed = FlushFileBuffers(file) != 0;
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!flushed) ThrowIoError(platform::ErrnoFromSystemError(code));
#endif
}

bool SyncFolder(const std::string& folder) {
#ifndef _WIN32
    int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int result;
    do {
        result = ::fsync(fd);
    } while (result != 0 && errno == EINTR);
    ::close(fd);
    return result == 0;
#else
    // Folders are not flushed here: renames are written through instead
    // (CommitFile). A folder that is not there has nothing on disk.
    return DirectoryExists(folder.empty() ? std::string(".") : folder);
#endif
}

void CommitFile(const std::string& from, const std::string& to) {
    SyncFileData(from);
#ifdef _WIN32
    // The rename itself is written through before the call returns. A target
    // another program holds open cannot be replaced: that is an error, and
    // the target stays as it was.
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowIoError(platform::ErrnoFromSystemError(GetLastError()));
#else
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) ThrowIoError(ec.value());
    const std::filesystem::path parent = std::filesystem::path(to).parent_path();
    SyncFolder(parent.empty() ? std::string(".") : parent.string());
#endif
}

}  // namespace tessary
