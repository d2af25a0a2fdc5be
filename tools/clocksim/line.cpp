#include "tools/clocksim/line.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace clocksim {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int) { g_stop = 1; }

// Lock-free, so the handler may set it and the main loop take it in one step.
std::atomic<int> g_change{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onChangeSignal(int signal)
{
    g_change = static_cast<int>(signal == SIGUSR1 ? ChangeRequest::Replace : ChangeRequest::Clear);
}

// How long to wait before looking again while no slave is open.
constexpr int kNoReaderPollMs = 3;
constexpr int kWriteGiveUpMs = 1000;
constexpr int kSpinForOpenSeconds = 5;

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool stopRequested() { return g_stop != 0; }

void installStopHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking poll or sleep should return at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

ChangeRequest takeChangeRequest() { return static_cast<ChangeRequest>(g_change.exchange(0)); }

void installChangeHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = onChangeSignal;
    sigemptyset(&sa.sa_mask);
    // Restarted calls keep a reply going out whole; the main loop's poll
    // returns at once all the same, as poll is never restarted.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);
}

bool sleepUnlessStopped(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopRequested()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        const auto step =
            std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50));
        std::this_thread::sleep_for(step);
    }
    return false;
}

PtyLine::~PtyLine() { close(); }

std::string PtyLine::open()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) return errorText("posix_openpt");
    if (grantpt(m_master) != 0) return errorText("grantpt");
    if (unlockpt(m_master) != 0) return errorText("unlockpt");
    char name[256];
    if (ptsname_r(m_master, name, sizeof name) != 0) return errorText("ptsname");
    m_slavePath = name;

    // Terminal settings on the master apply to the slave. Raw mode matters
    // before the reader first opens the slave: echo would send every
    // command back to us, and CR-to-NL mapping would change replies.
    termios tio{};
    if (tcgetattr(m_master, &tio) != 0) return errorText("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(m_master, TCSANOW, &tio) != 0) return errorText("tcsetattr");

    const int flags = fcntl(m_master, F_GETFL);
    fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
    return {};
}

std::string PtyLine::claimLink(const std::string& path)
{
    const std::filesystem::path link(path);
    const std::string lockPath =
        (link.parent_path() / ("." + link.filename().string() + ".clocksim")).string();
    // The lock file may be removed by its last holder between our open and
    // our lock; the lock is ours only when the file still stands there.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return errorText("cannot claim link " + path);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) return path + " is served by another clocksim; not replacing it";
            errno = error;
            return errorText("cannot claim link " + path);
        }
        struct stat held {
        }, standing{};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &standing) == 0 &&
            held.st_dev == standing.st_dev && held.st_ino == standing.st_ino) {
            m_linkLock = lockPath;
            m_linkLockFd = fd;
            return {};
        }
        ::close(fd);
    }
    return "cannot claim link " + path + ": its lock file keeps changing";
}

std::string PtyLine::placeLink(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path link(path);
    if (link.has_parent_path()) {
        fs::create_directories(link.parent_path(), ec);
        if (ec) return "cannot create " + link.parent_path().string() + ": " + ec.message();
    }
    if (std::string err = claimLink(path); !err.empty()) return err;
    const fs::file_status st = fs::symlink_status(link, ec);
    if (fs::is_symlink(st)) {
        fs::remove(link, ec);  // a link left behind by an earlier run
    } else if (fs::exists(st)) {
        return path + " exists and is not a link; not replacing it";
    }
    if (::symlink(m_slavePath.c_str(), path.c_str()) != 0) return errorText("cannot place link " + path);
    m_link = path;
    return {};
}

void PtyLine::removeLink()
{
    if (!m_link.empty()) {
        // Remove the link only while it still points at our pty; someone may
        // have placed another one there since.
        char target[512];
        const ssize_t n = ::readlink(m_link.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == m_slavePath)
            ::unlink(m_link.c_str());
        m_link.clear();
    }
    if (m_linkLockFd >= 0) {
        // Removed while still held, so no one takes a lock on a file that
        // is about to go.
        ::unlink(m_linkLock.c_str());
        ::close(m_linkLockFd);
        m_linkLockFd = -1;
        m_linkLock.clear();
    }
}

std::string PtyLine::watchOpen()
{
    // The kernel reports an open of the slave's device node as it happens.
    m_openWatch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_openWatch < 0) return errorText("inotify_init1");
    if (inotify_add_watch(m_openWatch, m_slavePath.c_str(), IN_OPEN) < 0)
        return errorText("inotify_add_watch " + m_slavePath);
    return {};
}

std::optional<std::chrono::steady_clock::time_point> PtyLine::awaitOpen()
{
    if (m_openWatch < 0) return std::nullopt;
    std::optional<std::chrono::steady_clock::time_point> opened;
    alignas(inotify_event) char events[512];
    // A reader that does not come within a few seconds is waited for
    // without burning a processor, at the price of a late look.
    const auto spinUntil = std::chrono::steady_clock::now() + std::chrono::seconds(kSpinForOpenSeconds);
    while (!stopRequested()) {
        if (::read(m_openWatch, events, sizeof events) > 0) {
            opened = std::chrono::steady_clock::now();
            break;
        }
        if (std::chrono::steady_clock::now() > spinUntil) {
            pollfd p{m_openWatch, POLLIN, 0};
            ::poll(&p, 1, 100);
        }
    }
    // Closing an inotify instance can take the kernel many milliseconds:
    // that is left to a thread of its own, so the caller can act at once.
    std::thread([watch = m_openWatch] { ::close(watch); }).detach();
    m_openWatch = -1;
    return opened;
}

std::string PtyLine::read(int timeoutMs)
{
    if (m_master < 0) return {};
    pollfd p{m_master, POLLIN, 0};
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc <= 0) return {};
    if (p.revents & POLLIN) {
        char buf[512];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
    }
    // No slave open (POLLHUP, EIO): the reader is between operations.
    std::this_thread::sleep_for(std::chrono::milliseconds(kNoReaderPollMs));
    return {};
}

bool PtyLine::write(std::string_view bytes, std::chrono::nanoseconds byteTime)
{
    if (m_master < 0) return false;
    const auto start = std::chrono::steady_clock::now();
    const auto giveUp = start + std::chrono::milliseconds(kWriteGiveUpMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (stopRequested()) return false;
        std::size_t chunk = bytes.size() - done;
        if (byteTime.count() > 0) {
            // A byte is on the line for its whole byte time and the reader
            // has it only at the end of it: byte i is handed over at
            // start + (i + 1) * byteTime.
            std::this_thread::sleep_until(start + byteTime * static_cast<long long>(done + 1));
            chunk = 1;
        }
        const ssize_t n = ::write(m_master, bytes.data() + done, chunk);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return false;
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        pollfd p{m_master, POLLOUT, 0};
        if (::poll(&p, 1, 5) <= 0 || (p.revents & POLLHUP))
            std::this_thread::sleep_for(std::chrono::milliseconds(kNoReaderPollMs));
    }
    return true;
}

void PtyLine::close()
{
    removeLink();
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

}  // namespace clocksim
