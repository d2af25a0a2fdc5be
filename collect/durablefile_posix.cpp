#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "durablefile.h"
#include "utils/errors.h"

namespace collect {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    const int error = errno;
    throw EInOutError("Cannot " + what + " " + path + ": " + std::strerror(error));
}

// Closes a descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }
    // Closes now, so a failing close can be reported.
    int close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd);
    }

private:
    int m_fd;
};

}  // namespace

void WriteFileDurably(const std::string& path, std::string_view content)
{
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) Fail("create", path);
    const auto giveUp = [&](const char* what) {
        const int error = errno;
        ::unlink(path.c_str());
        errno = error;
        Fail(what, path);
    };
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) giveUp("write");
        // A write that takes nothing without an error: the disk is full.
        if (n == 0) {
            errno = ENOSPC;
            giveUp("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || fd.close() != 0) giveUp("flush");
}

bool RenameFile(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    Fail("rename " + from + " to", to);
}

void SyncFolder(const std::string& folder)
{
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) Fail("open the folder", folder);
    if (::fsync(fd.get()) != 0) Fail("flush the folder", folder);
}

FolderLock::~FolderLock()
{
    if (m_handle >= 0) ::close(static_cast<int>(m_handle));
}

bool FolderLock::Acquire(const std::string& path, double waitSeconds, const std::function<bool()>& giveUp)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create the lock file", path);
    m_handle = fd;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) Fail("lock", path);
        if (std::chrono::steady_clock::now() >= deadline || (giveUp && giveUp())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace collect
