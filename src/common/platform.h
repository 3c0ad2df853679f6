// The platform seam: message boxes, the program's folder, folder listings,
// drive types and runtime-loaded libraries. The desktop program installs a
// Qt message sink, the command line a stderr sink, tests a recording sink.
#pragma once

#include <cstdint>
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
// The errno value closest to a Windows system error code (GetLastError()),
// so that failures read as they do elsewhere; EIO when none fits.
int ErrnoFromSystemError(unsigned long code);
#endif

}  // namespace tessary::platform
