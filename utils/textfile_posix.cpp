// TextFile's lock, truncation and flush on POSIX systems: flock(),
// ftruncate() and fsync().
//
// flock() locks belong to the open file, so a second open of the same file,
// in this process or another, is refused while the first is open; the lock
// ends when the file is closed or the process ends, even by SIGKILL.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utils/textfile.h"

namespace {

bool isRegular(int fd)
{
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

namespace textfile_platform {

std::FILE* OpenForAppending(const std::string& path) { return std::fopen(path.c_str(), "ab"); }

int LockExclusively(std::FILE* file)
{
    const int fd = fileno(file);
    if (!isRegular(fd)) return 0;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int Truncate(std::FILE* file, std::uint64_t size)
{
    const int fd = fileno(file);
    if (!isRegular(fd)) return 0;
    int rc;
    do {
        rc = ftruncate(fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int Sync(std::FILE* file)
{
    const int fd = fileno(file);
    if (!isRegular(fd)) return 0;
    int rc;
    do {
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

int RenameReplacing(const std::string& from, const std::string& to)
{
    if (std::rename(from.c_str(), to.c_str()) != 0) return errno;
    // The folder's entries are flushed so the rename outlasts a power cut.
    const std::string::size_type slash = to.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

}  // namespace textfile_platform
