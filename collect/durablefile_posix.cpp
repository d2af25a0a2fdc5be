#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "durablefile.h"
#include "utils/errors.h"
#include "utils/utf8path.h"

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

namespace {

// WriteFileDurably, its failures naming the file as `shown`: the file the
// user named, where `path` is the temporary file written beside it.
void WriteDurably(const std::string& path, std::string_view content, const std::string& shown)
{
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) Fail("create", shown);
    const auto giveUp = [&](const char* what) {
        const int error = errno;
        ::unlink(path.c_str());
        errno = error;
        Fail(what, shown);
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

}  // namespace

void WriteFileDurably(const std::string& path, std::string_view content)
{
    WriteDurably(path, content, path);
}

namespace {

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

// rename() that refuses an existing target (EEXIST). The system call is made
// directly, so a C library without the renameat2 wrapper builds too; a kernel
// or file system without it answers ENOSYS or EINVAL.
int RenameNoReplace(const char* from, const char* to)
{
#ifdef SYS_renameat2
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// Whether both names are links of one file.
bool SameFile(const std::string& a, const std::string& b)
{
    struct stat first {
    }, second{};
    return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// `to` exists. When it is `from` under a second name (a link made by the
// fallback below, whose unlink a kill prevented), the rename ends by removing
// `from`; any other file is refused.
bool FinishOrRefuse(const std::string& from, const std::string& to)
{
    if (SameFile(from, to)) {
        if (::unlink(from.c_str()) != 0 && errno != ENOENT) Fail("remove", from);
        return true;
    }
    struct stat ignored {};
    if (::lstat(from.c_str(), &ignored) != 0 && errno == ENOENT) return false;
    throw EInOutError("Cannot rename " + from + " to " + to + ": " + to +
                      " already exists; it is never replaced");
}

}  // namespace

void ReplaceFileDurably(const std::string& path, std::string_view content)
{
    const std::string temporary = path + ".part";
    WriteDurably(temporary, content, path);
    ReplaceFileWith(path, temporary);
}

void ReplaceFileWith(const std::string& path, const std::string& written)
{
    const auto giveUp = [&](const std::string& what, const std::string& name) {
        const int error = errno;
        ::unlink(written.c_str());
        errno = error;
        Fail(what, name);
    };
    {
        Descriptor fd(::open(written.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd.get() < 0 || ::fsync(fd.get()) != 0 || fd.close() != 0) giveUp("write", path);
    }
    if (::rename(written.c_str(), path.c_str()) != 0) giveUp("replace", path);
    SyncFolder(Utf8FromPath(PathFromUtf8(path).parent_path()));
}

bool RenameFile(const std::string& from, const std::string& to)
{
    if (RenameNoReplace(from.c_str(), to.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    if (errno == EEXIST) return FinishOrRefuse(from, to);
    if (errno != EINVAL && errno != ENOSYS) Fail("rename " + from + " to", to);
    // A link is made only where no name is: the rename without replacing,
    // in two steps.
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == ENOENT) return false;
        if (errno == EEXIST) return FinishOrRefuse(from, to);
        Fail("rename " + from + " to", to);
    }
    if (::unlink(from.c_str()) != 0) Fail("remove", from);
    return true;
}

void SyncFolder(const std::string& folder)
{
    // A bare file name lies in the current folder.
    Descriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) Fail("open the folder", folder);
    if (::fsync(fd.get()) != 0) Fail("flush the folder", folder);
}

std::optional<std::string> NetworkFileSystemOf(const std::string& folder)
{
    // The kinds of struct statfs's f_type that name network file systems.
    struct Kind {
        unsigned long type;
        const char* name;
    };
    static constexpr Kind kNetwork[] = {
        {0x6969, "NFS"},          {0x517B, "SMB/CIFS"}, {0xFF534D42, "SMB/CIFS"},
        {0xFE534D42, "SMB/CIFS"}, {0x5346414F, "AFS"},  {0x6B414653, "AFS"},
        {0x73757245, "Coda"},     {0x564C, "NetWare"},  {0x00C36400, "CephFS"},
    };
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0) return std::nullopt;
    // f_type is signed on some systems; the magic numbers are 32-bit patterns.
    const unsigned long type = static_cast<unsigned long>(info.f_type) & 0xFFFFFFFFul;
    for (const Kind& kind : kNetwork)
        if (kind.type == type) return kind.name;
    return std::nullopt;
}

FolderLock::~FolderLock()
{
    if (m_handle >= 0) ::close(static_cast<int>(m_handle));
    if (m_folder >= 0) ::close(static_cast<int>(m_folder));
}

bool FolderLock::Acquire(const std::string& path, double waitSeconds, const std::function<bool()>& giveUp)
{
    // The lock file stays locked too, so a run of an earlier version, which
    // locks only that, is kept out as well.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Fail("create the lock file", path);
    m_handle = fd;
    const std::string folder = Utf8FromPath(PathFromUtf8(path).parent_path());
    const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) Fail("open the folder", folder);
    m_folder = folderFd;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
    const auto take = [&](int descriptor) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) Fail("lock", descriptor == fd ? path : folder);
        return false;
    };
    // The folder first, in every run, so two runs never hold one each.
    bool haveFolder = false;
    for (;;) {
        haveFolder = haveFolder || take(folderFd);
        if (haveFolder && take(fd)) return true;
        if (std::chrono::steady_clock::now() >= deadline || (giveUp && giveUp())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string MachineIdentity()
{
    for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(file);
        std::string identity;
        if (in >> identity && !identity.empty()) return identity;
    }
    return {};
}

bool SameFolderName(const std::string& a, const std::string& b) { return a == b; }

}  // namespace collect
