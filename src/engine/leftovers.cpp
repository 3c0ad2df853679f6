#include "engine/leftovers.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "common/errors.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/text.h"

#ifdef _WIN32
#include <io.h>
#include <process.h>

#include "common/posix_win.h"
#else
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
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) return name;
    return "localhost";
}

std::string BootId() {
#ifdef _WIN32
    // A process's start time is a date there, not a count since the boot:
    // it tells processes of different boots apart by itself.
    return std::string();
#endif
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
#ifdef _WIN32
    std::string start = platform::ProcessStartTime(pid);
    if (start.empty()) return std::nullopt;
    return start;
#endif
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
    // One per process, worked out again in a forked child (the kill test's
    // runs), which is not its parent. Not thread_local: a thread's copy,
    // strings and all, was destroyed at the thread's exit, and under
    // MinGW-w64's threads that ran after the thread's storage was freed (a
    // worker of a --jobs run died under Wine in string's destructor).
    static Self self;
    static std::atomic<long> filledFor{0};
    static std::mutex filling;
    const long pid = long(getpid());
    if (filledFor.load(std::memory_order_acquire) != pid) {
        std::lock_guard lock(filling);
        if (filledFor.load(std::memory_order_relaxed) != pid) {
            self.host = HostName();
            self.hostStamp = Fnv1a(self.host);
            self.pid = pid;
            self.startTicks = StartTicks(pid).value_or("0");
            self.lifeStamp = LifeStamp(pid).value_or(0);
            filledFor.store(pid, std::memory_order_release);
        }
    }
    return self;
}

// Whether the process `pid` that started at `stamp` is still at work on this
// host. A process that cannot be asked about counts as alive.
bool ProcessAlive(long pid, std::optional<uint32_t> stamp, const std::string& startTicks = std::string()) {
    if (pid <= 0) return true;
#ifdef _WIN32
    if (platform::ProcessEnded(pid)) return false;
#else
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return false;
#endif
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

#ifdef _WIN32

// The byte of a partial file or an owner file that its writer holds locked
// while it works: Windows locks keep others from the bytes they cover, and
// no file of ours grows that far.
constexpr uint64_t kHeldByte = uint64_t(1) << 62;

// Takes the lock of a file without waiting: the file's writer is no longer
// holding it. Gives the open descriptor (with the right to delete the file
// when asked), or -1.
int TakeLock(const std::string& path, bool forDelete) {
    int fd = platform::OpenSharedFile(path, platform::SharedOpen::kExisting, false, forDelete);
    if (fd < 0) return -1;
    if (!platform::LockByte(fd, kHeldByte, false)) {
        ::_close(fd);
        return -1;
    }
    return fd;
}

bool StillNamed(int fd, const std::string& path) {
    return platform::StillNamed(fd, path);
}

// A new file for a partial file's lock, made only when the name is free;
// -1 (errno set) when it cannot.
int CreateNewFile(const std::string& path) {
    return platform::OpenSharedFile(path, platform::SharedOpen::kNew, false, false);
}

// Takes the lock of a file this process made, waiting for a cleaner that
// may hold it for a moment.
bool HoldLock(int fd) {
    if (platform::LockByte(fd, kHeldByte, true)) return true;
    errno = EACCES;
    return false;
}

// Gives up a lock taken here (or none) and closes its file.
void ReleaseLock(int fd) {
    platform::UnlockByte(fd, kHeldByte);
    ::_close(fd);
}

int64_t SecondsSinceChange(const std::string& path) {
    return platform::SecondsSinceChange(path);
}

// Seconds since a file changed. Links and anything but a file are refused
// when they are opened (TakeLock).
std::optional<int64_t> AgeOfRegularFile(const std::string& path) {
    return SecondsSinceChange(path);
}

// Removes the file that `fd` (TakeLock) holds, if it still has its name.
bool RemoveLockedFile(int fd, const std::string& path) {
    return StillNamed(fd, path) && platform::DeleteOpenFile(fd);
}

#else

int64_t SecondsSinceChange(const struct stat& st) {
    return int64_t(std::time(nullptr)) - int64_t(st.st_mtime);
}

void ReleaseLock(int fd) {
    ::close(fd);
}

// Read-only: the lock needs no more, and the file system sees no writer in
// it once the file is closed.
int CreateNewFile(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

bool HoldLock(int fd) {
    return ::flock(fd, LOCK_EX) == 0;
}

// Takes the lock of a file without waiting: the file's writer is no longer
// holding it. Gives the open descriptor, or -1.
int TakeLock(const std::string& path, bool /*forDelete: a name is removed, not the file*/) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
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

// Seconds since a regular file changed; nothing for a link or anything else.
std::optional<int64_t> AgeOfRegularFile(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return SecondsSinceChange(st);
}

// Removes the file that `fd` (TakeLock) holds, if it still has its name.
bool RemoveLockedFile(int fd, const std::string& path) {
    return StillNamed(fd, path) && ::unlink(path.c_str()) == 0;
}

#endif

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

std::optional<PartialWriter> WriterOf(const std::string& name, const std::string& suffix = ".part") {
    const std::string prefix = ".tessary-";
    if (name.size() != prefix.size() + 4 * 9 - 1 + suffix.size()) return std::nullopt;
    if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return std::nullopt;
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

// The hidden name of a new file of this process in `folder`, ending in
// `suffix`: ".tessary-HOST-PID-LIFE-RANDOM<suffix>".
std::string NewHiddenName(const std::string& folder, const char* suffix) {
    static thread_local std::mt19937 random{std::random_device{}()};
    const Self& me = Me();
    char name[64];
    std::snprintf(name, sizeof name, ".tessary-%08x-%08x-%08x-%08x%s", unsigned(me.hostStamp), unsigned(me.pid),
                  unsigned(me.lifeStamp), unsigned(random()), suffix);
    return folder + name;
}

// Whether the writer named in a hidden file's name (`age`: seconds since the
// file changed) is gone: on this host its process has ended; on another host
// (whose locks may not reach here) the file has not changed for a day.
bool WriterGone(const std::optional<PartialWriter>& writer, int64_t age) {
    const Self& me = Me();
    if (writer && writer->host == me.hostStamp) {
        // This process's own files (an earlier run of the desktop program
        // that could not remove one) are judged by the lock alone: a file
        // being written holds it.
        const bool mine = writer->pid == uint32_t(me.pid) && writer->life == me.lifeStamp;
        return mine || !ProcessAlive(long(writer->pid), writer->life);
    }
    return age >= kForeignLeftoverSeconds;
}

// One move of a commit note: a partial file (its inode as created) and the
// final name it takes.
struct NotedMove {
    std::string from, to;
    uint64_t device = 0, inode = 0;
};

// A note: "tessary-pair 1", one line per move ("DEV INO LEN:FROMLEN:TO", the
// names with their lengths, so that any byte may stand in them), "end".
std::string NoteText(const std::vector<NotedMove>& moves) {
    std::string text = "tessary-pair 1\n";
    for (const NotedMove& move : moves)
        text += std::to_string(move.device) + " " + std::to_string(move.inode) + " " +
                std::to_string(move.from.size()) + ":" + move.from + std::to_string(move.to.size()) + ":" +
                move.to + "\n";
    return text + "end\n";
}

// The moves of a note written whole; nothing for a note cut short. What
// follows its "end" line is the closing file's text (CommitFiles); `length`,
// when asked, gets the note's own length.
std::optional<std::vector<NotedMove>> ParseNote(const std::string& text, size_t* length = nullptr) {
    const std::string head = "tessary-pair 1\n";
    if (text.compare(0, head.size(), head) != 0) return std::nullopt;
    std::vector<NotedMove> moves;
    size_t pos = head.size();
    auto number = [&](uint64_t& value, char end) {
        size_t stop = text.find(end, pos);
        if (stop == std::string::npos || stop == pos) return false;
        value = 0;
        for (size_t i = pos; i < stop; ++i) {
            if (text[i] < '0' || text[i] > '9') return false;
            value = value * 10 + uint64_t(text[i] - '0');
        }
        pos = stop + 1;
        return true;
    };
    auto name = [&](std::string& value) {
        uint64_t length = 0;
        if (!number(length, ':') || length > text.size() - pos) return false;
        value = text.substr(pos, size_t(length));
        pos += size_t(length);
        return true;
    };
    while (pos < text.size()) {
        if (text.compare(pos, 4, "end\n") == 0) {
            if (length) *length = pos + 4;
            return moves;
        }
        NotedMove move;
        if (!number(move.device, ' ') || !number(move.inode, ' ') || !name(move.from) || !name(move.to))
            return std::nullopt;
        if (pos >= text.size() || text[pos] != '\n') return std::nullopt;
        ++pos;
        moves.push_back(std::move(move));
    }
    return std::nullopt;
}

// The partial files that the notes in `folder` name (of runs at work, or of
// runs on hosts whose notes are not finished here), which no cleaner may
// remove.
std::set<std::string> NotedPartialFiles(const std::string& folder) {
    std::set<std::string> named;
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || entry.isSymlink || !WriterOf(entry.name, ".pair")) continue;
        try {
            if (auto moves = ParseNote(ReadRegularFile(folder + entry.name, 1 << 20, false)))
                for (const NotedMove& move : *moves) named.insert(move.from);
        } catch (const std::exception&) {
        }
    }
    return named;
}

#ifndef _WIN32

// A file name of the folder: no separator in it, not "." or "..".
bool PlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Finishes (or abandons) the commit of a dead run's note, holding its lock
// (`fd`). The final names are locked while it works.
void FinishNote(const FolderPath& folderIn, const std::string& notePath, int fd) {
    const std::string& folder = folderIn.Text();
    std::string text;
    try {
        text = ReadRegularFile(notePath, 1 << 20, false);
    } catch (const std::exception&) {
        return;
    }
    std::optional<std::vector<NotedMove>> moves = ParseNote(text);
    if (moves) {
        std::vector<std::string> names;
        for (const NotedMove& move : *moves) {
            // The last move may be the note's own, to the closing file's name.
            const bool own = move.from == FileNamePart(notePath);
            if (!PlainName(move.from) || !PlainName(move.to) || !(own || IsPartialFileName(move.from))) {
                moves.reset();
                break;
            }
            names.push_back(move.to);
        }
        if (moves) {
            NameLocks locks(folderIn, names);
            // A move is pending (its partial file is still there), done (the
            // final name holds the file it noted), or overtaken (another run
            // has written the final name since): then none is finished.
            bool overtaken = false;
            std::vector<const NotedMove*> pending;
            for (const NotedMove& move : *moves) {
                struct stat st;
                if (::lstat((folder + move.from).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    uint64_t(st.st_dev) == move.device && uint64_t(st.st_ino) == move.inode) {
                    pending.push_back(&move);
                    continue;
                }
                if (::lstat((folder + move.to).c_str(), &st) == 0 && uint64_t(st.st_dev) == move.device &&
                    uint64_t(st.st_ino) == move.inode)
                    continue;
                overtaken = true;
            }
            for (const NotedMove* move : pending) {
                const std::string from = folder + move->from;
                if (overtaken || ::rename(from.c_str(), (folder + move->to).c_str()) != 0)
                    ::unlink(from.c_str());
            }
            SyncFolder(folder);
        }
    }
    if (StillNamed(fd, notePath)) ::unlink(notePath.c_str());
}

// Finishes the notes of dead runs in `folder`; gives the partial files that
// notes still there (of runs at work) name, which no cleaner may remove.
std::set<std::string> FinishDeadNotes(const FolderPath& folderIn) {
    const std::string& folder = folderIn.Text();
    bool any = false;
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || entry.isSymlink) continue;
        std::optional<PartialWriter> writer = WriterOf(entry.name, ".pair");
        if (!writer) continue;
        any = true;
        const std::string path = folder + entry.name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!WriterGone(writer, SecondsSinceChange(st))) continue;
        int fd = TakeLock(path, true);
        if (fd < 0) continue;
        if (StillNamed(fd, path)) FinishNote(folderIn, path, fd);
        ::close(fd);
    }
    if (!any) return {};
    return NotedPartialFiles(folder);
}

// Waits for and takes one byte lock of the lock file.
bool LockByte(int fd, off_t offset) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
#ifdef F_OFD_SETLKW
    // Open-file-description locks belong to this descriptor, not to the
    // process: two images of one run (threads) exclude each other too.
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLKW, &lock) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EINVAL) return false;
        break;
    }
#endif
    for (;;) {
        if (::fcntl(fd, F_SETLKW, &lock) == 0) return true;
        if (errno != EINTR) return false;
    }
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

PartialFile PartialFile::Create(const FolderPath& folderIn) {
    const std::string& folder = folderIn.Text();
    PartialFile file;
    for (int attempt = 0;; ++attempt) {
        const std::string path = NewHiddenName(folder, ".part");
        int fd = CreateNewFile(path);
        if (fd < 0) {
            if (errno == EEXIST && attempt < 100) continue;
            ThrowIoError(errno);
        }
        // The lock is taken before anything is written; a cleaner that came
        // between the creation and the lock removed the name, and the file
        // is made again under a new one.
        if (!HoldLock(fd) || !StillNamed(fd, path)) {
            int code = errno;
            ReleaseLock(fd);
            if (attempt < 100) continue;
            ThrowIoError(code);
        }
        file.lock_ = fd;
        file.path_ = path;
        return file;
    }
}

PartialFile::~PartialFile() {
    Release();
}

CheckedFile PartialFile::OpenForWriting() const {
#ifndef _WIN32
    int fd = ::open(path_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) ThrowIoError(errno);
    struct stat mine, opened;
    if (lock_ < 0 || ::fstat(lock_, &mine) != 0 || ::fstat(fd, &opened) != 0 || mine.st_dev != opened.st_dev ||
        mine.st_ino != opened.st_ino || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        throw IoError("The partial file " + path_ + " was replaced while it was written", EEXIST);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (::ftruncate(fd, 0) != 0) {
        int code = errno;
        ::close(fd);
        ThrowIoError(code);
    }
    return CheckedFile::FromDescriptor(fd, path_, CheckedFile::Mode::Create);
#else
    int fd = platform::OpenSharedFile(path_, platform::SharedOpen::kExisting, true, false);
    if (fd < 0) ThrowIoError(errno);
    if (lock_ < 0 || !platform::SameOpenFile(fd, lock_)) {
        ::_close(fd);
        throw IoError("The partial file " + path_ + " was replaced while it was written", EEXIST);
    }
    if (const int code = ::_chsize_s(fd, 0); code != 0) {
        ::_close(fd);
        ThrowIoError(code);
    }
    return CheckedFile::FromDescriptor(fd, path_, CheckedFile::Mode::Create);
#endif
}

NameLocks::NameLocks(const FolderPath& folderIn, const std::vector<std::string>& names) {
#ifndef _WIN32
    const std::string& folder = folderIn.Text();
    path_ = folder + kNameLockFileName;
    // One byte per name, taken in ascending order so that two runs locking
    // overlapping names never wait for each other in a circle.
    std::set<off_t> offsets;
    for (const std::string& name : names) offsets.insert(off_t(Fnv1a(UpperAscii(FileNamePart(name))) >> 1));
    for (int attempt = 0;; ++attempt) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd_ < 0) {
            int code = errno;
            if (code == ELOOP) throw IoError("The lock file " + path_ + " is a link; it is not followed", code);
            ThrowIoError(code);
        }
        struct stat st;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            throw IoError("The lock file " + path_ + " is not a regular file", EINVAL);
        }
        for (off_t offset : offsets) {
            if (!LockByte(fd_, offset)) {
                int code = errno;
                ::close(fd_);
                fd_ = -1;
                ThrowIoError(code);
            }
        }
        // The last run to let go of the lock file removes it (see the
        // destructor): locks taken on a file that lost its name while they
        // were waited for are worth nothing, and are taken again on the new
        // file.
        if (StillNamed(fd_, path_) || attempt >= 1000) break;
        ::close(fd_);
        fd_ = -1;
    }
#else
    const std::string& folder = folderIn.Text();
    path_ = folder + kNameLockFileName;
    std::set<uint64_t> offsets;
    for (const std::string& name : names) offsets.insert(Fnv1a(UpperAscii(FileNamePart(name))) >> 1);
    for (int attempt = 0;; ++attempt) {
        fd_ = platform::OpenSharedFile(path_, platform::SharedOpen::kEither, false, true);
        if (fd_ < 0) {
            const int code = errno;
            if (code == EINVAL) throw IoError("The lock file " + path_ + " is not a regular file", code);
            // A lock file its last holder has just deleted keeps its name
            // until every run that opened it lets go, and cannot be opened.
            if (code == EACCES && attempt < 1000) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            ThrowIoError(code);
        }
        held_.clear();
        for (uint64_t offset : offsets) {
            if (!platform::LockByte(fd_, offset, true)) {
                ::_close(fd_);
                fd_ = -1;
                ThrowIoError(EACCES);
            }
            held_.push_back(offset);
        }
        // As above: locks on a file that lost its name are taken again.
        if (StillNamed(fd_, path_) || attempt >= 1000) break;
        for (uint64_t offset : held_) platform::UnlockByte(fd_, offset);
        ::_close(fd_);
        fd_ = -1;
    }
#endif
}

NameLocks::~NameLocks() {
#ifndef _WIN32
    if (fd_ < 0) return;
    // When no other run holds or waits for a byte of the lock file, it goes,
    // so that a destination keeps no file of ours once the runs are done.
    // Runs that opened it meanwhile find it unnamed and lock a new one.
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;
#ifdef F_OFD_SETLK
    const bool alone = ::fcntl(fd_, F_OFD_SETLK, &whole) == 0;
#else
    const bool alone = ::fcntl(fd_, F_SETLK, &whole) == 0;
#endif
    if (alone && StillNamed(fd_, path_)) ::unlink(path_.c_str());
    ::close(fd_);  // releases every byte lock of the descriptor
#else
    if (fd_ < 0) return;
    // As above. The file is deleted while every byte of it is held, so that
    // a run that locks a byte of it afterwards finds it deleted.
    for (uint64_t offset : held_) platform::UnlockByte(fd_, offset);
    if (platform::LockWholeFile(fd_)) {
        if (StillNamed(fd_, path_)) platform::DeleteOpenFile(fd_);
        platform::UnlockWholeFile(fd_);
    }
    ::_close(fd_);
#endif
}

NameLocks::NameLocks(NameLocks&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), held_(std::move(other.held_)) {}

NameLocks& NameLocks::operator=(NameLocks&& other) noexcept {
    if (this != &other) {
        this->~NameLocks();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        held_ = std::move(other.held_);
    }
    return *this;
}

size_t NoteLength(const std::string& text) {
    size_t length = 0;
    return ParseNote(text, &length) ? length : 0;
}

void CommitFiles(const FolderPath& folderIn, const std::vector<std::pair<std::string, std::string>>& moves,
                 const ClosingFile* closing) {
    const std::string& folder = folderIn.Text();
    if (moves.size() == 1 && !closing) {
        CommitFile(moves[0].first, moves[0].second);
        return;
    }
#ifndef _WIN32
    std::vector<NotedMove> noted;
    for (const auto& [from, to] : moves) {
        SyncFileData(from);
        struct stat st;
        if (::lstat(from.c_str(), &st) != 0) ThrowIoError(errno);
        noted.push_back({FileNamePart(from), FileNamePart(to), uint64_t(st.st_dev), uint64_t(st.st_ino)});
    }
    // The note is made and flushed before the first rename: a run killed
    // after it leaves the note for the next run to finish.
    std::string notePath;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        notePath = NewHiddenName(folder, ".pair");
        fd = ::open(notePath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) ThrowIoError(errno);
    }
    bool noteRenamed = false;
    auto dropNote = [&] {
        if (!noteRenamed) ::unlink(notePath.c_str());
        ::close(fd);
    };
    std::string text;
    struct stat noteStat;
    if (closing) {
        // The note itself becomes the closing file, its last move: one flush
        // serves both, and the file starts with the note's lines.
        if (::fstat(fd, &noteStat) != 0) {
            int code = errno;
            dropNote();
            ThrowIoError(code);
        }
        noted.push_back({FileNamePart(notePath), FileNamePart(closing->path), uint64_t(noteStat.st_dev),
                         uint64_t(noteStat.st_ino)});
        text = NoteText(noted) + closing->text;
    } else {
        text = NoteText(noted);
    }
    if (::flock(fd, LOCK_EX) != 0 || ::write(fd, text.data(), text.size()) != ssize_t(text.size()) ||
        ::fdatasync(fd) != 0) {
        int code = errno;
        dropNote();
        ThrowIoError(code);
    }
    SyncFolder(folder);
    auto renamed = [&](const std::string& from, const std::string& to) {
        if (::rename(from.c_str(), to.c_str()) == 0) return;
        int code = errno;
        SyncFolder(folder);
        dropNote();
        ThrowIoError(code);
    };
    for (const auto& [from, to] : moves) renamed(from, to);
    if (closing) {
        renamed(notePath, closing->path);
        noteRenamed = true;
    }
    SyncFolder(folder);
    dropNote();
#else
    for (const auto& [from, to] : moves) CommitFile(from, to);
    if (closing) {
        PartialFile partial = PartialFile::Create(folderIn);
        CheckedFile out = partial.OpenForWriting();
        out.Write(closing->text.data(), closing->text.size());
        out.Close();
        CommitFile(partial.Path(), closing->path);
        partial.Release();
    }
#endif
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
    if (lock_ >= 0) ReleaseLock(lock_);
    lock_ = -1;
}

bool IsPartialFileName(const std::string& name) {
    const std::string prefix = ".tessary-";
    const std::string suffix = ".part";
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int RemoveDeadPartialFiles(const FolderPath& folderIn) {
    int removed = 0;
    const std::string& folder = folderIn.Text();
#ifdef _WIN32
    // Only runs on other systems note their commits: the partial files their
    // notes name are left to them.
    const std::set<std::string> noted = NotedPartialFiles(folder);
#else
    // A commit a dead run left half done is finished before its partial
    // files could be taken for leftovers.
    const std::set<std::string> noted = FinishDeadNotes(folderIn);
#endif
    for (const platform::FolderEntry& entry : platform::ListFolder(folder)) {
        if (entry.isDirectory || entry.isSymlink || !IsPartialFileName(entry.name)) continue;
        if (noted.count(entry.name)) continue;
        const std::string path = folder + entry.name;
        const std::optional<int64_t> age = AgeOfRegularFile(path);
        // Another host's (or an older version's, which named no host) is
        // judged by its age alone: its lock may not reach here.
        if (!age || !WriterGone(WriterOf(entry.name), *age)) continue;
        int fd = TakeLock(path, true);
        if (fd < 0) continue;
        if (RemoveLockedFile(fd, path)) ++removed;
        ReleaseLock(fd);
    }
    if (removed > 0) SyncFolder(folder);
    return removed;
}

bool ClaimFolder(const FolderPath& folderIn) {
    const std::string& folder = folderIn.Text();
    const std::string path = folder + kOwnerFileName;
    // The record is made before the file: a run killed between creating the
    // file and writing it leaves a folder no cleaner can attribute (kept for
    // a day), so that window is kept to the few system calls below.
    const Self& me = Me();
    const std::string record = "host " + me.host + "\npid " + std::to_string(me.pid) + "\nstart " +
                               me.startTicks + "\nboot " + BootId() + "\n";
#ifdef _WIN32
    int fd = platform::OpenSharedFile(path, platform::SharedOpen::kNew, true, false);
    if (fd < 0) return false;
    if (!platform::LockByte(fd, kHeldByte, true)) {
        ::_close(fd);
        return false;
    }
    // As below.
    if (!platform::WriteAt(fd, record.data(), (unsigned long)record.size(), 0)) {
        ReleaseLock(fd);
        return false;
    }
#else
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
#endif
    Claims& claims = ClaimTable();
    std::lock_guard<std::mutex> guard(claims.mutex);
    auto [it, inserted] = claims.locks.emplace(folder, fd);
    if (!inserted) {
        ReleaseLock(it->second);
        it->second = fd;
    }
    return true;
}

void ReleaseFolder(const FolderPath& folderIn) {
    const std::string& folder = folderIn.Text();
    Claims& claims = ClaimTable();
    std::lock_guard<std::mutex> guard(claims.mutex);
    auto it = claims.locks.find(folder);
    if (it == claims.locks.end()) return;
    ReleaseLock(it->second);
    claims.locks.erase(it);
}

namespace {

struct OwnerRecord {
    std::string host;
    long pid = 0;
    std::string start;
    std::string boot;
};

std::optional<OwnerRecord> ReadOwner(int fd) {
    char buffer[1024];
#ifdef _WIN32
    long got = platform::ReadAt(fd, buffer, sizeof buffer - 1, 0);
#else
    ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
#endif
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

bool IsMkdtempTail(const std::string& text) {
    if (text.size() != 6) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    return true;
}

// The writer named by a private folder of this version,
// "tessary-HOST-PID-LIFE-XXXXXX" (three fields of eight hex digits, then
// mkdtemp's six characters); nothing for the older "tessary-XXXXXX".
std::optional<PartialWriter> WriterOfFolder(const std::string& name) {
    const std::string prefix = "tessary-";
    if (name.size() != prefix.size() + 3 * 9 + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    PartialWriter writer;
    uint32_t* fields[3] = {&writer.host, &writer.pid, &writer.life};
    size_t pos = prefix.size();
    for (uint32_t* field : fields) {
        if (!ParseHex(name.substr(pos, 8), *field) || name[pos + 8] != '-') return std::nullopt;
        pos += 9;
    }
    if (!IsMkdtempTail(name.substr(pos))) return std::nullopt;
    return writer;
}

// "tessary-" and six characters of mkdtemp (earlier versions), or the name
// that carries its writer.
bool IsPrivateFolderName(const std::string& name) {
    if (name.size() == 14 && name.compare(0, 8, "tessary-") == 0) return IsMkdtempTail(name.substr(8));
    return WriterOfFolder(name).has_value();
}

// Whether the process a folder's name carries is gone: only for a writer of
// this host that is not this process. Settles the folders whose owner record
// a kill kept from being written.
bool NamedWriterGone(const std::string& name) {
    const std::optional<PartialWriter> writer = WriterOfFolder(name);
    const Self& me = Me();
    if (!writer || writer->host != me.hostStamp) return false;
    if (writer->pid == uint32_t(me.pid) && writer->life == me.lifeStamp) return false;
    return !ProcessAlive(long(writer->pid), writer->life);
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

std::string PrivateFolderPattern(const FolderPath& base) {
    const Self& me = Me();
    char name[48];
    std::snprintf(name, sizeof name, "tessary-%08x-%08x-%08x-XXXXXX", unsigned(me.hostStamp), unsigned(me.pid),
                  unsigned(me.lifeStamp));
    return base.Join(name);
}

int RemoveDeadTempFolders(const FolderPath& baseIn) {
    int removed = 0;
    const std::string& base = baseIn.Text();
    const Self& me = Me();
    for (const platform::FolderEntry& entry : platform::ListFolder(base)) {
        if (!entry.isDirectory || entry.isSymlink || !IsPrivateFolderName(entry.name)) continue;
        const std::string folder = base + entry.name + "/";
#ifdef _WIN32
        // The temporary folder (%TEMP%) is the user's own there.
        const int64_t folderAge = SecondsSinceChange(base + entry.name);
#else
        struct stat st;
        if (::lstat((base + entry.name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
            continue;
        const int64_t folderAge = SecondsSinceChange(st);
#endif
        {
            Claims& claims = ClaimTable();
            std::lock_guard<std::mutex> guard(claims.mutex);
            if (claims.locks.count(folder)) continue;  // this process's own
        }
        const std::string ownerPath = folder + kOwnerFileName;
#ifdef _WIN32
        std::error_code ownerError;
        const bool hasOwner = fs::exists(fs::symlink_status(ownerPath, ownerError));
#else
        struct stat ownerName;
        const bool hasOwner = ::lstat(ownerPath.c_str(), &ownerName) == 0;
#endif
        int fd = hasOwner ? TakeLock(ownerPath, false) : -1;
        bool dead = false;
        if (fd >= 0) {
            std::optional<OwnerRecord> owner = ReadOwner(fd);
            if (owner && owner->host == me.host) {
                dead = owner->boot != BootId() || !ProcessAlive(owner->pid, std::nullopt, owner->start);
            } else if (owner) {
#ifdef _WIN32
                dead = SecondsSinceChange(ownerPath) >= kForeignLeftoverSeconds;
#else
                struct stat ownerStat;
                dead =
                    ::fstat(fd, &ownerStat) == 0 && SecondsSinceChange(ownerStat) >= kForeignLeftoverSeconds;
#endif
            } else {
                dead = NamedWriterGone(entry.name) ||
                       (folderAge >= kForeignLeftoverSeconds && OnlyScratch(folder));
            }
        } else if (!hasOwner) {
            dead =
                NamedWriterGone(entry.name) || (folderAge >= kForeignLeftoverSeconds && OnlyScratch(folder));
        }
#ifdef _WIN32
        // A file held open keeps its folder from going: the dead owner's
        // file is let go first.
        if (fd >= 0) ReleaseLock(std::exchange(fd, -1));
#endif
        if (dead) {
            std::error_code ec;
            fs::remove_all(folder, ec);
            if (!ec) ++removed;
        }
        if (fd >= 0) ReleaseLock(fd);
    }
    return removed;
}

}  // namespace tessary
