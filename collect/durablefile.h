// Files that must survive a kill or a power cut, and the lock of a folder.
//
// A file that must never be seen half-written is written under another
// name, flushed to the disk, then renamed to its final name, and then the
// folder itself is flushed so the rename is on the disk too. One file per
// platform implements these (durablefile_posix.cpp, durablefile_win32.cpp).
// Every failure raises EInOutError naming the file and the system's reason.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace collect {

// Writes `content` to `path` (created, or emptied first) and flushes it to
// the disk. A file that could not be written whole is removed again.
void WriteFileDurably(const std::string& path, std::string_view content);

// Puts `content` in place of the file `path` as one step: written beside it
// (`path` + ".part"), flushed, renamed over it, the folder flushed. For the
// program's own notes; published files are never replaced (RenameFile).
void ReplaceFileDurably(const std::string& path, std::string_view content);

// Puts the file `written`, complete and in the same folder, in place of the
// file `path` as one step: flushed, renamed over it, the folder flushed. On
// failure `written` is removed and `path` is left as it was.
void ReplaceFileWith(const std::string& path, const std::string& written);

// Renames `from` to `to`, never replacing a file: an existing `to` raises
// EInOutError and nothing changes. Returns false, changing nothing, when
// there is no `from`. Where the file system cannot rename without replacing,
// `to` is made a link of `from` and `from` is removed; a kill between the two
// leaves both names on one file, and the next rename of the pair ends it by
// removing `from` (returning true).
bool RenameFile(const std::string& from, const std::string& to);

// Flushes the entries of `folder` (files created or renamed in it; "" is
// the current folder) to the disk. On Windows the renames are written
// through, and this does nothing.
void SyncFolder(const std::string& folder);

// The kind of network file system `folder` lies on ("NFS", "SMB/CIFS", ...),
// or nothing for a local one or one that cannot be looked at (a folder that
// does not exist). SQLite's write-ahead log shares memory between the
// processes of one machine, and its locks are not to be trusted over a
// network, so a punch store does not go there.
std::optional<std::string> NetworkFileSystemOf(const std::string& folder);

// This computer's name (UTF-8), the default name of a store's site; empty
// when the system does not say.
std::string HostName();

// This computer's identity, which a punch store keeps to tell a copy made on
// another computer: /etc/machine-id (or D-Bus's copy of it) on Linux, the
// MachineGuid Windows makes when it is installed. Empty when the system
// keeps none (some containers); the store's folder alone tells then.
std::string MachineIdentity();
// Whether the absolute folder names `a` and `b` name one folder: letter for
// letter on Linux, without regard to case on Windows.
bool SameFolderName(const std::string& a, const std::string& b);

// An exclusive lock on a folder, held until the object goes. The system
// drops it with the process, so a run that is killed leaves nothing locked.
// It is taken on the lock file (created, left empty) and on something no one
// can take away while it is held: on Linux the folder itself, on Windows the
// lock file, kept open so that it cannot be deleted or replaced. Deleting the
// lock file therefore never lets a second run in beside the first.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock of the folder of the lock file `path` (creating the
    // file), trying every 100 ms for up to `waitSeconds`, or until `giveUp`
    // says so. Returns false when another holder kept it that long.
    bool Acquire(const std::string& path, double waitSeconds, const std::function<bool()>& giveUp);

private:
    std::intptr_t m_handle = -1;
    std::intptr_t m_folder = -1;  // Linux: the folder's descriptor
};

}  // namespace collect
