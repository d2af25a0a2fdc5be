// Files that must survive a kill or a power cut, and the lock of a folder.
//
// A file that must never be seen half-written is written beside its final
// name, flushed to the disk, renamed over the final name, and then the
// folder itself is flushed so the rename is on the disk too. One file per
// platform implements these (durablefile_posix.cpp, durablefile_win32.cpp).
// Every failure raises EInOutError naming the file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// Replaces `path` so that it always holds either its old or its new content,
// whole: writes `path` + ".tmp", flushes it, renames it over `path`, flushes
// the folder.
void ReplaceFileDurably(const std::string& path, std::string_view content);

// The whole content of a file, or nothing when there is no such file.
std::optional<std::string> ReadFileText(const std::string& path);

// An exclusive lock on a lock file, held until the object goes. The system
// drops it with the process, so a run that is killed leaves nothing locked;
// the lock file itself stays and is empty.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock of `path` (creating the file), trying every 100 ms for
    // up to `waitSeconds`, or until `giveUp` says so. Returns false when
    // another holder kept it that long.
    bool Acquire(const std::string& path, double waitSeconds, const std::function<bool()>& giveUp);

private:
    std::intptr_t m_handle = -1;
};

}  // namespace cli
