// What a run leaves behind when it is killed (SIGKILL, a crash, a power cut)
// and how the next run tells a dead run's files from a live one's.
//
// Two kinds of file outlive a killed run: the hidden partial file an image
// is written under in its destination folder, and the command line's private
// scratch folder "tessary-XXXXXX" in the temporary folder. Each carries its
// writer: a partial file in its name (host, process id and a stamp of the
// process's start), a scratch folder in an owner file inside it; and the
// writer holds an exclusive lock (flock) on the partial file or the owner
// file for as long as it works. A file is removed only when its lock can be
// taken and, for a writer on this host, that writer's process is gone. A
// writer on another host (a destination shared over NFS, where a lock may not
// reach across machines) is only trusted to be dead after a day without a
// change to its file.
#pragma once

#include <cstdint>
#include <string>

namespace tessary {

// The hidden file one image is written under until it is complete, created
// new and locked for the life of the object, so that no other run removes it.
class PartialFile {
public:
    // A new, empty partial file in `folder` (ending in a separator). Raises
    // IoError when the folder takes no new file.
    static PartialFile Create(const std::string& folder);

    PartialFile() = default;
    ~PartialFile();
    PartialFile(PartialFile&& other) noexcept;
    PartialFile& operator=(PartialFile&& other) noexcept;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::string& Path() const { return path_; }
    bool Empty() const { return path_.empty(); }
    // Gives the lock up; the file stays where it is.
    void Release();

private:
    int lock_ = -1;
    std::string path_;
};

// True for the names of partial files, of this version and of earlier ones.
bool IsPartialFileName(const std::string& name);

// Removes the partial files in `folder` whose writer is gone; gives how many
// were removed. Nothing else in the folder is touched.
int RemoveDeadPartialFiles(const std::string& folder);

// Marks `folder` (a private scratch folder just made) as this process's: an
// owner file inside it names the process and stays locked until
// ReleaseFolder. False when the owner file cannot be made.
bool ClaimFolder(const std::string& folder);
// Gives up the claim before the folder is removed.
void ReleaseFolder(const std::string& folder);

// Removes the private scratch folders "tessary-XXXXXX" in `base` whose owner
// is gone, with everything in them; gives how many were removed. Folders of
// other users, links and folders of any other name are never touched.
int RemoveDeadTempFolders(const std::string& base);

// Age after which a file of a writer on another host counts as abandoned.
inline constexpr int64_t kForeignLeftoverSeconds = 24 * 60 * 60;

}  // namespace tessary
