// The checked file layer: every failed open, read, write, seek or close
// raises an IoError carrying the operating system's text. Files close when
// their object goes, on every path out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tessary {

class CheckedFile {
public:
    enum class Mode {
        Read,       // existing file, read only
        Create,     // create or truncate, write only
        ReadWrite,  // existing file, read and write
    };

    CheckedFile() = default;
    CheckedFile(const std::string& path, Mode mode);
    ~CheckedFile();
    CheckedFile(CheckedFile&& other) noexcept;
    CheckedFile& operator=(CheckedFile&& other) noexcept;
    CheckedFile(const CheckedFile&) = delete;
    CheckedFile& operator=(const CheckedFile&) = delete;

    // Opens without raising; false when the file cannot be opened.
    static bool TryOpen(const std::string& path, Mode mode, CheckedFile& out);
    // Takes over an open descriptor (the C runtime's on Windows): `mode`
    // must match how it was opened. The descriptor is closed when the object
    // goes, also when this raises.
    static CheckedFile FromDescriptor(int fd, const std::string& path, Mode mode);
    // Opens an existing regular file for reading without ever blocking on
    // it: a FIFO, a device or a folder of that name raises IoError naming
    // what it is. With `followLinks` false a link at `path` raises too.
    static CheckedFile OpenRegular(const std::string& path, bool followLinks);

    bool IsOpen() const { return file_ != nullptr; }
    const std::string& Path() const { return path_; }

    // Reads exactly n bytes or raises (a short read raises too, with the
    // text of EIO when the system gave none).
    void ReadExact(void* buffer, size_t n);
    // Reads up to n bytes; returns how many were read. Errors raise, the end
    // of the file does not.
    size_t ReadSome(void* buffer, size_t n);
    void Write(const void* data, size_t n);
    void Seek(uint64_t offset);
    uint64_t Tell();
    uint64_t Size();
    // Flushes and closes; raises when the flush or the close fails.
    void Close();

private:
    std::FILE* file_ = nullptr;
    std::string path_;
};

// Test seam: files opened for writing under `folder` (a path prefix) take
// `bytes` more bytes in all, then every write fails with ENOSPC, as on a
// full disk. An empty folder lifts the limit. Only tests call this.
void SimulateFullDiskForTests(const std::string& folder, uint64_t bytes);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Size of a file in bytes, or -1 when it cannot be read.
int64_t FileSizeOf(const std::string& path);
// Reads a whole (small) file; raises IoError when it cannot.
std::string ReadWholeFile(const std::string& path);
// Reads a whole regular file of at most `maxBytes` bytes (see
// CheckedFile::OpenRegular); a larger one raises IoError ("File too large").
std::string ReadRegularFile(const std::string& path, uint64_t maxBytes, bool followLinks);

// Puts a finished file in place so that a power cut leaves either the earlier
// file of that name or the whole new one, never a name without its data:
// the data of `from` reach the disk (fdatasync) before the rename, and the
// folder that holds the new name is flushed (fsync) after it. Raises IoError
// when the flush or the rename fails; `from` is then left where it was. A
// folder that cannot be flushed (some network and FUSE file systems refuse
// it) does not fail the commit: the rename has happened and cannot be undone.
void CommitFile(const std::string& from, const std::string& to);
// Flushes a file's data to the disk; raises IoError when it cannot.
void SyncFileData(const std::string& path);
// Flushes a folder's entries (new, renamed and removed names) to the disk.
// False when the folder could not be opened or flushed.
bool SyncFolder(const std::string& folder);

}  // namespace tessary
