// UUCP lock files on POSIX systems; see comlock.h for the rules.
#include "serial/comlock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <vector>

#include "serial/comport.h"

namespace {

std::mutex g_lockDirectoryMutex;
std::string g_lockDirectory = "/var/lock";

// The lock files this process wrote and still holds, for a program that
// must end at once without closing its ports (RemoveHeldComLockFiles).
std::mutex g_heldLocksMutex;
std::vector<std::string> g_heldLocks;

// What an entry in the lock directory says about the device.
enum class LockState { None, Ours, Live, Stale, Unknown, Failed };

struct LockLook {
    LockState state = LockState::None;
    int error = 0;  // for Failed
    dev_t device = 0;
    ino_t inode = 0;
};

LockLook lookAt(const std::string& path) {
    LockLook look;
    // O_NOFOLLOW and O_NONBLOCK: a link or a FIFO planted in a shared lock
    // directory must neither redirect us nor block the open.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        struct stat info {};
        if (error == ENOENT || error == ENOTDIR) {
            look.state = LockState::None;
        } else if (error == EACCES || error == EPERM) {
            // A directory we may not search shows us no locks at all; a lock
            // we may not read is there all the same.
            look.state = lstat(path.c_str(), &info) == 0 ? LockState::Unknown : LockState::None;
        } else if (error == ELOOP || error == ENXIO) {
            look.state = LockState::Unknown;
        } else {
            look.state = LockState::Failed;
            look.error = error;
        }
        return look;
    }
    struct stat info {};
    std::string content;
    bool plainFile = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (plainFile) {
        char buffer[64];
        ssize_t length;
        do {
            length = read(fd, buffer, sizeof buffer);
        } while (length < 0 && errno == EINTR);
        if (length > 0) {
            content.assign(buffer, static_cast<std::size_t>(length));
        }
        look.device = info.st_dev;
        look.inode = info.st_ino;
    }
    close(fd);

    long pid = plainFile ? comLockPid(content) : 0;
    if (pid <= 0) {
        look.state = LockState::Unknown;
    } else if (pid == static_cast<long>(getpid())) {
        look.state = LockState::Ours;
    } else if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) {
        look.state = LockState::Live;  // EPERM: alive, just not ours to signal
    } else {
        look.state = LockState::Stale;
    }
    return look;
}

// Removes a stale lock unless it was replaced since it was looked at (by a
// program that cleared it first and took the device). Returns 0, ENOENT when
// it is gone already, or the error that kept it.
int removeStale(const std::string& path, const LockLook& look) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return errno;
    }
    if (info.st_dev != look.device || info.st_ino != look.inode) {
        return ENOENT;  // a new lock stands there now; look at it again
    }
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace

void SetComLockDirectory(const std::string& directory) {
    std::lock_guard lock(g_lockDirectoryMutex);
    g_lockDirectory = directory;
}

std::string ComLockDirectory() {
    std::lock_guard lock(g_lockDirectoryMutex);
    return g_lockDirectory;
}

std::string comLockName(const std::string& resolvedPath) {
    std::string name;
    if (resolvedPath.compare(0, 5, "/dev/") == 0) {
        name = resolvedPath.substr(5);
        std::replace(name.begin(), name.end(), '/', '_');
    } else {
        // The whole path, so that devices of one name in two folders never
        // share a lock. '_' and '%' are escaped, so no two paths give one
        // name, and the leading '/' (written '_') keeps these names apart
        // from those of devices below /dev.
        for (char c : resolvedPath) {
            if (c == '/') {
                name += '_';
            } else if (c == '_') {
                name += "%5F";
            } else if (c == '%') {
                name += "%25";
            } else {
                name += c;
            }
        }
    }
    name.insert(0, "LCK..");
    if (name.size() > NAME_MAX) {
        // Too long for a file name: the path's hash (FNV-1a) stands in for
        // its beginning.
        std::uint64_t hash = 14695981039346656037ull;
        for (char c : resolvedPath) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        name = "LCK.." + std::string(hex) + "-" + name.substr(name.size() - (NAME_MAX - 22));
    }
    return name;
}

long comLockPid(std::string_view content) {
    std::size_t at = 0;
    while (at < content.size() && content[at] == ' ') {
        ++at;
    }
    std::size_t digitsFrom = at;
    long pid = 0;
    while (at < content.size() && content[at] >= '0' && content[at] <= '9') {
        if (pid > 99'999'999) {
            return 0;  // no PID has this many digits
        }
        pid = pid * 10 + (content[at] - '0');
        ++at;
    }
    bool digits = at > digitsFrom;
    while (at < content.size() && (content[at] == '\n' || content[at] == ' ' || content[at] == '\r')) {
        ++at;
    }
    if (digits && at == content.size()) {
        return pid;
    }
    // The old binary form: the PID as a native 4-byte integer.
    if (content.size() == 4) {
        std::int32_t binary = 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        constexpr std::int32_t kLargestPid = 4194304;  // above any kernel's pid_max
        return binary > 0 && binary <= kLargestPid ? binary : 0;
    }
    return 0;
}

std::string comLockContent(long pid) {
    char text[32];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

int comLockTake(const std::string& resolvedPath, ComLock& lock) {
    lock = {};
    std::string directory = ComLockDirectory();
    if (directory.empty()) {
        return 0;
    }
    std::string path = directory + "/" + comLockName(resolvedPath);
    // Each pass either decides or has seen the lock change under it (another
    // program took or cleared it meanwhile); a lock that keeps changing is
    // being fought over, which is as good as busy.
    for (int pass = 0; pass < 4; ++pass) {
        LockLook look = lookAt(path);
        switch (look.state) {
        case LockState::Failed: return look.error;
        case LockState::Live:
        case LockState::Unknown: return EBUSY;
        case LockState::Ours: lock.path = path; return 0;
        case LockState::Stale: {
            int error = removeStale(path, look);
            if (error != 0 && error != ENOENT) {
                return 0;  // its holder is gone; we just may not clear it
            }
            continue;
        }
        case LockState::None: break;
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return 0;  // a missing or read-only lock directory: no lock file
        }
        // Readable by every program that checks locks, whatever our umask.
        fchmod(fd, 0644);
        std::string content = comLockContent(static_cast<long>(getpid()));
        ssize_t written;
        do {
            written = write(fd, content.data(), content.size());
        } while (written < 0 && errno == EINTR);
        close(fd);
        if (written != static_cast<ssize_t>(content.size())) {
            unlink(path.c_str());  // a lock naming nobody would block everyone
            return 0;
        }
        lock.path = path;
        lock.created = true;
        std::lock_guard held(g_heldLocksMutex);
        g_heldLocks.push_back(path);
        return 0;
    }
    return EBUSY;
}

void comLockRelease(const ComLock& lock) {
    if (lock.path.empty()) {
        return;
    }
    if (lookAt(lock.path).state == LockState::Ours) {
        unlink(lock.path.c_str());
    }
    std::lock_guard held(g_heldLocksMutex);
    auto at = std::find(g_heldLocks.begin(), g_heldLocks.end(), lock.path);
    if (at != g_heldLocks.end()) {
        g_heldLocks.erase(at);
    }
}

void RemoveHeldComLockFiles() {
    std::lock_guard held(g_heldLocksMutex);
    for (const std::string& path : g_heldLocks) {
        if (lookAt(path).state == LockState::Ours) {
            unlink(path.c_str());
        }
    }
    g_heldLocks.clear();
}
