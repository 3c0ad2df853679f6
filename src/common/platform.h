// The platform seam: message boxes, the program's folder, folder listings,
// drive types and runtime-loaded libraries. The desktop program installs a
// Qt message sink, the command line a stderr sink, tests a recording sink.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::platform {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // A modal message with one text (a message box in the window).
    virtual void ShowMessage(std::string_view text) = 0;
};

// Installs the sink that ShowMessage reaches; nullptr restores the default,
// which writes the text to stderr. Returns the sink that was installed.
MessageSink* SetMessageSink(MessageSink* sink);
void ShowMessage(std::string_view text);

// Installs a sink for the lifetime of the object (tests, front ends).
class ScopedMessageSink {
public:
    explicit ScopedMessageSink(MessageSink* sink) : previous_(SetMessageSink(sink)) {}
    ~ScopedMessageSink() { SetMessageSink(previous_); }
    ScopedMessageSink(const ScopedMessageSink&) = delete;
    ScopedMessageSink& operator=(const ScopedMessageSink&) = delete;

private:
    MessageSink* previous_;
};

// A sink that keeps every message, for tests.
class RecordingMessageSink : public MessageSink {
public:
    void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
    std::vector<std::string> messages;
};

// The folder of the running program, without a trailing separator. Taken
// from /proc/self/exe unless a front end or a test set it.
std::string ProgramFolder();
void SetProgramFolder(const std::string& folder);

struct FolderEntry {
    std::string name;      // file name part only
    bool isDirectory = false;
    bool isHidden = false;  // dot-files here
    bool isSymlink = false;
    uint64_t size = 0;
};

// The entries of a folder in the order the file system gives them, hidden
// ones included, "." and ".." left out. An unreadable folder gives none.
std::vector<FolderEntry> ListFolder(const std::string& folder);

// Whether this process may write the file `path`, or make files in the
// folder `path`; false when it does not exist. Windows keeps no right to
// write in a folder's attributes (a folder under Program Files reads as
// writable), so there a folder is asked by making a file in it (deleted at
// once) and a file by opening it for writing (its bytes untouched).
bool CanWrite(const std::string& path);

// The folder a Windows installer registered for the program `exeName`
// ("Name.exe"): the value "Path" of its entry under App Paths in the
// machine's registry (its 64-bit view, then its 32-bit one), empty when the
// entry has none. Nothing when there is
// no entry, and always nothing where there is no registry.
std::optional<std::string> RegisteredProgramFolder(const std::string& exeName);

// Drive types do not exist here: never a CD-ROM.
bool IsCdRomDrive(const std::string& path);

// The physical memory the process may use, in bytes (the machine's memory,
// or a smaller limit set for the process's control group); 0 when unknown.
uint64_t PhysicalMemoryBytes();

// Runtime-loaded libraries. LoadLibraryFile gives nullptr when the library
// cannot be loaded; FindSymbol gives nullptr when the name is missing.
// A loaded library stays in the process until it ends: FreeLibraryFile drops
// the reference only. The plugins bring GDAL and its tree of libraries, which
// keep thread-local data and exit handlers that unloading would leave dangling.
void* LoadLibraryFile(const std::string& path);
void* FindSymbol(void* library, const char* name);
void FreeLibraryFile(void* library);

#ifdef _WIN32
// A window program has no console: when started from one (cmd, PowerShell)
// and its output goes nowhere else, its stdout and stderr go to that one.
void UseParentConsole();

// The errno value closest to a Windows system error code (GetLastError()),
// so that failures read as they do elsewhere; EIO when none fits.
int ErrnoFromSystemError(unsigned long code);

// Files that runs lock and sweep (partial files, owner records, the name
// lock file), as C runtime descriptors over Windows handles (closed with
// _close). They are opened with sharing that lets other runs read, write,
// rename and delete them while they are held, and never through a link.
// Opens an existing file, makes a new one (EEXIST when the name is taken),
// or either; `forDelete` adds the right to delete it (DeleteOpenFile). A
// link, a folder or a device is refused (EINVAL). -1 with errno set when it
// cannot.
enum class SharedOpen { kExisting, kNew, kEither };
int OpenSharedFile(const std::string& path, SharedOpen how, bool forWriting, bool forDelete);
// Windows byte locks are mandatory: the bytes locked lie beyond any data
// written. One byte at `offset`, exclusive, held by the descriptor (another
// descriptor of the same process is kept out too); `wait` waits for it,
// else false at once when another holds it.
bool LockByte(int fd, uint64_t offset, bool wait);
void UnlockByte(int fd, uint64_t offset);
// Every byte of the file (0 to the largest offset) at once, without waiting:
// false while any other descriptor holds a byte of it. Held until
// UnlockWholeFile or the descriptor closes.
bool LockWholeFile(int fd);
void UnlockWholeFile(int fd);
// Whether the descriptor's file is still the file named `path`: not
// deleted meanwhile, nor replaced by another under that name.
bool StillNamed(int fd, const std::string& path);
// Whether two descriptors hold the same file.
bool SameOpenFile(int a, int b);
// Deletes the descriptor's file (opened `forDelete`); the name goes when its
// last descriptor closes.
bool DeleteOpenFile(int fd);
// Reads up to `size` bytes at `offset`; how many, -1 on an error.
long ReadAt(int fd, char* buffer, unsigned long size, uint64_t offset);
// Writes all of `size` bytes at `offset`.
bool WriteAt(int fd, const char* data, unsigned long size, uint64_t offset);
// Seconds since the file or folder last changed; -1 when unknown.
int64_t SecondsSinceChange(const std::string& path);

// When the process `pid` started, in 100 ns steps since 1601 (decimal);
// empty when there is no such process or it cannot be asked.
std::string ProcessStartTime(long pid);
// Whether the process `pid` has certainly ended (no such process, or one
// that has exited); a process that cannot be asked about has not.
bool ProcessEnded(long pid);
#endif

}  // namespace tessary::platform
