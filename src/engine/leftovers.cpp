#include "engine/leftovers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "common/errors.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tessary {

namespace fs = std::filesystem;

namespace {

constexpr const char* kOwnerFileName = "tessary.owner";

uint32_t Fnv1a(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

std::string HostName() {
#ifndef _WIN32
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) return name;
#endif
    return "localhost";
}

std::string BootId() {
    try {
        return TrimSpaces(ReadWholeFile("/proc/sys/kernel/random/boot_id"));
    } catch (const std::exception&) {
        return std::string();
    }
}

// When the process started, in clock ticks since boot (field 22 of its stat
// line); nothing when there is no such process. Together with the boot's id
// it tells a process from a later one that got the same id.
std::optional<std::string> StartTicks(long pid) {
    std::string stat;
    try {
        stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // The command name in parentheses may hold spaces and parentheses.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    size_t pos = close + 1;
    for (int field = 3; field <= 22; ++field) {
        pos = stat.find_first_not_of(' ', pos);
        if (pos == std::string::npos) return std::nullopt;
        size_t end = stat.find(' ', pos);
        if (field == 22) return stat.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
    }
    return std::nullopt;
}

// A short stamp of a process's life: its start within this boot.
std::optional<uint32_t> LifeStamp(long pid) {
    std::optional<std::string> ticks = StartTicks(pid);
    if (!ticks) return std::nullopt;
    return Fnv1a(BootId() + "/" + *ticks);
}

struct Self {
    std::string host;
    uint32_t hostStamp = 0;
    long pid = 0;
    std::string startTicks;
    uint32_t lifeStamp = 0;
};

const Self& Me() {
    // Worked out per call: a forked child (the kill test's runs) is not its
    // parent.
    static thread_local Self self;
#ifndef _WIN32
    if (self.pid != long(getpid())) {
        self.host = HostName();
        self.hostStamp = Fnv1a(self.host);
        self.pid = long(getpid());
        self.startTicks = StartTicks(self.pid).value_or("0");
        self.lifeStamp = LifeStamp(self.pid).value_or(0);
    }
#endif
    return self;
}

#ifndef _WIN32

// Whether the process `pid` that started at `stamp` is still at work on this
// host. A process that cannot be asked about counts as alive.
bool ProcessAlive(long pid, std::optional<uint32_t> stamp, const std::string& startTicks = std::string()) {
    if (pid <= 0) return true;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return false;
    if (stamp) {
        std::optional<uint32_t> now = LifeStamp(pid);
        if (now && *now != *stamp) return false;  // a later process with the same id
    }
    if (!startTicks.empty()) {
        std::optional<std::string> now = StartTicks(pid);
        if (now && *now != startTicks) return false;
    }
    return true;
}

int64_t SecondsSinceChange(const struct stat& st) {
    return int64_t(std::time(nullptr)) - int64_t(st.st_mtime);
}

// Takes the lock of a file without waiting: the file's writer is no longer
// holding it. Gives the open descriptor, or -1.
int TakeLock(const std::string& path, int openFlags) {
    int fd = ::open(path.c_str(), openFlags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether `fd` is still the file named `path` (a cleaner may have removed
// the name between its creation and its lock).
bool StillNamed(int fd, const std::string& path) {
    struct stat byFd, byName;
    if (::fstat(fd, &byFd) != 0 || ::lstat(path.c_str(), &byName) != 0) return false;
    return byFd.st_dev == byName.st_dev && byFd.st_ino == byName.st_ino;
}

bool ParseHex(const std::string& text, uint32_t& value) {
    if (text.size() != 8) return false;
    value = 0;
    for (char c : text) {
        int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = value * 16 + uint32_t(digit);
    }
    return true;
}

// The writer named by a partial file of this version:
// ".tessary-HOST-PID-LIFE-RANDOM.part", each field eight hex digits.
struct PartialWriter {
    uint32_t host = 0;
    uint32_t pid = 0;
    uint32_t life = 0;
};

std::optional<PartialWriter> WriterOf(const std::string& name) {
    const std::string prefix = ".tessary-";
    const std::string suffix = ".part";
    if (name.size() != prefix.size() + 4 * 9 - 1 + suffix.size()) return std::nullopt;
    if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    PartialWriter writer;
    uint32_t random = 0;
    uint32_t* fields[4] = {&writer.host, &writer.pid, &writer.life, &random};
    size_t pos = prefix.size();
    for (int i = 0; i < 4; ++i) {
        if (!ParseHex(name.substr(pos, 8), *fields[i])) return std::nullopt;
        pos += 8;
        if (i < 3 && name[pos++] != '-') return std::nullopt;
    }
    return writer;
}

#endif  // !_WIN32

// The locked owner files of this process's scratch folders.
struct Claims {
    std::mutex mutex;
    std::map<std::string, int> locks;
};

Claims& ClaimTable() {
    static Claims claims;
    return claims;
}

}  // namespace

PartialFile PartialFile::Create(const std::string& folder) {
    PartialFile file;
#ifndef _WIN32
    static thread_local std::mt19937 random{std::random_device{}()};
    const Self& me = Me();
    for (int attempt = 0;; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, ".tessary-%08x-%08x-%08x-%08x.part", unsigned(me.hostStamp),
                      unsigned(me.pid), unsigned(me.lifeStamp), unsigned(random()));
        const std::string path = folder + name;
        // Read-only: the lock needs no more, and the file system sees no writer
        // in it once the file is closed.
        int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            ThrowIoError(errno);
        }
        // The lock is taken before anything is written; a cleaner that came
        // between the creation and the lock removed the name, and the file
        // is made again under a new one.
        if (::flock(fd, LOCK_EX) != 0 || !StillNamed(fd, path)) {
            int code = errno;
            ::close(fd);
            if (attempt < 100) continue;
            ThrowIoError(code);
        }
        file.lock_ = fd;
        file.path_ = path;
        return file;
    }
#else
    char name[40];
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::snprintf(name, sizeof name, ".tessary-%016llx.part", static_cast<unsigned long long>(random()));
    file.path_ = folder + name;
    return file;
#endif
}

PartialFile::~PartialFile() {
    Release();
}

PartialFile::PartialFile(PartialFile&& other) noexcept
    : lock_(std::exchange(other.lock_, -1)), path_(std::move(other.path_)) {
    other.path_.clear();
}

PartialFile& PartialFile::operator=(PartialFile&& other) noexcept {
    if (this != &other) {
        Release();
        lock_ = std::exchange(other.lock_, -1);
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

void PartialFile::Release() {
#ifndef _WIN32
    if (lock_ >= 0) ::close(lock_);
#endif
    lock_ = -1;
}

bool IsPartialFileName(const std::string& name) {
    const std::string prefix = ".tessary-";
    const std::string suffix = ".part";
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int RemoveDeadPartialFiles(const std::string& folderIn) {
    int removed = 0;
#ifndef _WIN32
    const std::string folder = WithTrailingSeparator(folderIn);
    const Self& me = Me();
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || entry.isSymlink || !IsPartialFileName(entry.name)) continue;
        const std::string path = folder + entry.name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        std::optional<PartialWriter> writer = WriterOf(entry.name);
        const bool here = writer && writer->host == me.hostStamp;
        if (here) {
            // This process's own files (an earlier run of the desktop
            // program that could not remove one) are judged by the lock
            // alone: a file being written holds it.
            const bool mine = writer->pid == uint32_t(me.pid) && writer->life == me.lifeStamp;
            if (!mine && ProcessAlive(long(writer->pid), writer->life)) continue;
        } else if (SecondsSinceChange(st) < kForeignLeftoverSeconds) {
            // Another host's (or an older version's, which named no host):
            // its lock may not reach here, so only its age speaks for it.
            continue;
        }
        int fd = TakeLock(path, O_RDONLY);
        if (fd < 0) continue;
        if (StillNamed(fd, path) && ::unlink(path.c_str()) == 0) ++removed;
        ::close(fd);
    }
    if (removed > 0) SyncFolder(folder);
#else
    (void)folderIn;
#endif
    return removed;
}

bool ClaimFolder(const std::string& folderIn) {
#ifndef _WIN32
    const std::string folder = WithTrailingSeparator(folderIn);
    const std::string path = folder + kOwnerFileName;
    // The record is made before the file: a run killed between creating the
    // file and writing it leaves a folder no cleaner can attribute (kept for
    // a day), so that window is kept to the few system calls below.
    const Self& me = Me();
    const std::string record = "host " + me.host + "\npid " + std::to_string(me.pid) + "\nstart " +
                               me.startTicks + "\nboot " + BootId() + "\n";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return false;
    }
    // The record is written under the lock: a cleaner that finds it whole
    // knows the owner, one that finds it empty leaves the folder alone.
    if (::write(fd, record.data(), record.size()) != ssize_t(record.size())) {
        ::close(fd);
        return false;
    }
    Claims& claims = ClaimTable();
    std::lock_guard<std::mutex> guard(claims.mutex);
    auto [it, inserted] = claims.locks.emplace(folder, fd);
    if (!inserted) {
        ::close(it->second);
        it->second = fd;
    }
    return true;
#else
    (void)folderIn;
    return true;
#endif
}

void ReleaseFolder(const std::string& folderIn) {
#ifndef _WIN32
    const std::string folder = WithTrailingSeparator(folderIn);
    Claims& claims = ClaimTable();
    std::lock_guard<std::mutex> guard(claims.mutex);
    auto it = claims.locks.find(folder);
    if (it == claims.locks.end()) return;
    ::close(it->second);
    claims.locks.erase(it);
#else
    (void)folderIn;
#endif
}

#ifndef _WIN32
namespace {

struct OwnerRecord {
    std::string host;
    long pid = 0;
    std::string start;
    std::string boot;
};

std::optional<OwnerRecord> ReadOwner(int fd) {
    char buffer[1024];
    ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0) return std::nullopt;
    std::string text(buffer, size_t(got));
    OwnerRecord record;
    bool complete = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line cut short: not written whole
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        std::string key = line.substr(0, space), value = line.substr(space + 1);
        if (key == "host") record.host = value;
        if (key == "pid") record.pid = std::strtol(value.c_str(), nullptr, 10);
        if (key == "start") record.start = value;
        if (key == "boot") {
            record.boot = value;
            complete = true;
        }
    }
    if (!complete || record.host.empty() || record.pid <= 0) return std::nullopt;
    return record;
}

// Only "tessary-" and six characters of mkdtemp.
bool IsPrivateFolderName(const std::string& name) {
    if (name.size() != 14 || name.compare(0, 8, "tessary-") != 0) return false;
    for (size_t i = 8; i < name.size(); ++i) {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

// A folder without an owner record: a run killed between making the folder
// and writing the record, or a folder of an earlier version. It is removed
// only when old and holding nothing but scratch rasters.
bool OnlyScratch(const std::string& folder) {
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || entry.isSymlink) return false;
        if (entry.name != kOwnerFileName && UpperAscii(ExtensionOf(entry.name)) != ".RPX0") return false;
    }
    return true;
}

}  // namespace
#endif

int RemoveDeadTempFolders(const std::string& baseIn) {
    int removed = 0;
#ifndef _WIN32
    const std::string base = WithTrailingSeparator(TrimSpaces(baseIn));
    const Self& me = Me();
    for (const platform::FolderEntry& entry : platform::ListFolder(base)) {
        if (!entry.isDirectory || entry.isSymlink || !IsPrivateFolderName(entry.name)) continue;
        const std::string folder = base + entry.name + "/";
        struct stat st;
        if (::lstat((base + entry.name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
            continue;
        {
            Claims& claims = ClaimTable();
            std::lock_guard<std::mutex> guard(claims.mutex);
            if (claims.locks.count(folder)) continue;  // this process's own
        }
        const std::string ownerPath = folder + kOwnerFileName;
        struct stat ownerName;
        const bool hasOwner = ::lstat(ownerPath.c_str(), &ownerName) == 0;
        int fd = hasOwner ? TakeLock(ownerPath, O_RDONLY) : -1;
        bool dead = false;
        if (fd >= 0) {
            std::optional<OwnerRecord> owner = ReadOwner(fd);
            if (owner && owner->host == me.host) {
                dead = owner->boot != BootId() || !ProcessAlive(owner->pid, std::nullopt, owner->start);
            } else if (owner) {
                struct stat ownerStat;
                dead =
                    ::fstat(fd, &ownerStat) == 0 && SecondsSinceChange(ownerStat) >= kForeignLeftoverSeconds;
            } else {
                dead = SecondsSinceChange(st) >= kForeignLeftoverSeconds && OnlyScratch(folder);
            }
        } else if (!hasOwner) {
            dead = SecondsSinceChange(st) >= kForeignLeftoverSeconds && OnlyScratch(folder);
        }
        if (dead) {
            std::error_code ec;
            fs::remove_all(folder, ec);
            if (!ec) ++removed;
        }
        if (fd >= 0) ::close(fd);
    }
#else
    (void)baseIn;
#endif
    return removed;
}

}  // namespace tessary
