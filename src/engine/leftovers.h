// What a run leaves behind when it is killed (SIGKILL, a crash, a power cut)
// and how the next run tells a dead run's files from a live one's.
//
// Two kinds of file outlive a killed run: the hidden partial file an image
// is written under in its destination folder, and the command line's private
// scratch folder "tessary-..." in the temporary folder. Each carries its
// writer: a partial file in its name (host, process id and a stamp of the
// process's start), a scratch folder in an owner file inside it; and the
// writer holds an exclusive lock (flock; on Windows a LockFileEx byte) on the
// partial file or the owner file for as long as it works. A file is removed only when its lock can be
// taken and, for a writer on this host, that writer's process is gone. A
// writer on another host (a destination shared over NFS, where a lock may not
// reach across machines) is only trusted to be dead after a day without a
// change to its file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/file.h"
#include "common/folder_path.h"

namespace tessary {

// The hidden file one image is written under until it is complete, created
// new and locked for the life of the object, so that no other run removes it.
class PartialFile {
public:
    // A new, empty partial file in `folder`. Raises IoError when the folder
    // takes no new file.
    static PartialFile Create(const FolderPath& folder);

    PartialFile() = default;
    ~PartialFile();
    PartialFile(PartialFile&& other) noexcept;
    PartialFile& operator=(PartialFile&& other) noexcept;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::string& Path() const { return path_; }
    bool Empty() const { return path_.empty(); }
    // The file opened for writing, truncated. Never through a link: when the
    // name no longer holds the file this object created (replaced by a
    // link or another file), this raises IoError and writes nothing.
    CheckedFile OpenForWriting() const;
    // Gives the lock up; the file stays where it is.
    void Release();

private:
    int lock_ = -1;
    std::string path_;
};

// True for the names of partial files, of this version and of earlier ones.
bool IsPartialFileName(const std::string& name);

// Removes the partial files in `folder` whose writer is gone; gives how many
// were removed. Notes of commits that a dead run left unfinished are
// finished first (see CommitFiles). Nothing else in the folder is touched.
int RemoveDeadPartialFiles(const FolderPath& folder);

// Marks `folder` (a private scratch folder just made) as this process's: an
// owner file inside it names the process and stays locked until
// ReleaseFolder. False when the owner file cannot be made.
bool ClaimFolder(const FolderPath& folder);
// Gives up the claim before the folder is removed.
void ReleaseFolder(const FolderPath& folder);

// The mkdtemp pattern of a new private scratch folder in `base`:
// "tessary-HOST-PID-LIFE-XXXXXX", so that the folder names its maker before
// its owner file exists (a run killed in between leaves nothing that cannot
// be attributed).
std::string PrivateFolderPattern(const FolderPath& base);

// Removes the private scratch folders in `base` (named as above, or
// "tessary-XXXXXX" by earlier versions) whose owner is gone, with everything
// in them; gives how many were removed. Folders of other users, links and
// folders of any other name are never touched.
int RemoveDeadTempFolders(const FolderPath& base);

// Locks on final names in one destination folder, so that two runs (on this
// host or on others sharing the folder over NFS) never write the same output
// or calibration copy at once. Each name is one byte of the folder's hidden
// lock file ".tessary.lock", locked with an open-file-description record
// lock (fcntl), which NFS carries to its server, unlike flock on some
// systems (LockFileEx on Windows). The last holder removes the lock file
// when nobody else holds or waits for it; a run that locked a file which
// lost its name meanwhile locks the new one instead, so that two runs never
// hold locks on two different files. Names whose bytes coincide only wait
// for each other. Held until the object goes.
class NameLocks {
public:
    NameLocks() = default;
    // Waits until every name (file names or paths in `folder`) is free,
    // then holds them. Raises IoError when the lock file cannot be made or
    // locked (a link in its place is refused).
    NameLocks(const FolderPath& folder, const std::vector<std::string>& names);
    ~NameLocks();
    NameLocks(NameLocks&& other) noexcept;
    NameLocks& operator=(NameLocks&& other) noexcept;
    NameLocks(const NameLocks&) = delete;
    NameLocks& operator=(const NameLocks&) = delete;

private:
    int fd_ = -1;
    std::string path_;
    std::vector<uint64_t> held_;  // the bytes locked (Windows unlocks each)
};

// The lock file's name in every destination folder.
inline constexpr const char* kNameLockFileName = ".tessary.lock";

// Puts finished files under their final names in one folder (`moves`: from,
// to, file names or paths in `folder`) as one step for a kill or a power cut:
// a hidden, locked note of the moves (".tessary-...pair") is flushed first,
// then every file is flushed and renamed in order, the folder flushed, and
// the note removed. A run killed between two renames leaves the note, and
// the next run's RemoveDeadPartialFiles finishes the moves (or, when another
// run has replaced one of the final names since, undoes none and removes the
// remaining partial files), so that the files are either all new or all as
// they were before. Raises IoError when a rename fails; the moves done before
// it stay done and the note is removed.
//
// A `closing` file (a path in `folder` and its whole text, such as the
// output's record) costs no flush of its own: the note is written with the
// text after its own lines and takes the closing file's name as the last
// move. Such a file starts with the note; NoteLength tells how long it is.
struct ClosingFile {
    std::string path;
    std::string text;
};
void CommitFiles(const FolderPath& folder, const std::vector<std::pair<std::string, std::string>>& moves,
                 const ClosingFile* closing = nullptr);

// The length of the commit note at the start of `text` (a closing file's
// bytes); 0 when it does not start with a whole note.
size_t NoteLength(const std::string& text);

// Age after which a file of a writer on another host counts as abandoned.
inline constexpr int64_t kForeignLeftoverSeconds = 24 * 60 * 60;

}  // namespace tessary
