#include "ptypeer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

PtyPeer::PtyPeer()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        if (m_master >= 0) ::close(m_master);
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    m_slavePath = ptsname(m_master);
}

PtyPeer::~PtyPeer() { HangUp(); }

void PtyPeer::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_master, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the pty master failed");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string PtyPeer::Receive(std::size_t atLeast, int waitMs)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (m_master >= 0) {
        int timeout = 0;
        if (received.size() < atLeast) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeout = std::max<int>(0, static_cast<int>(left.count()));
        }
        pollfd entry{m_master, POLLIN, 0};
        if (poll(&entry, 1, timeout) <= 0 || !(entry.revents & POLLIN)) break;
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

termios PtyPeer::Line() const
{
    termios line{};
    if (tcgetattr(m_master, &line) != 0) throw std::runtime_error("tcgetattr on the pty master failed");
    return line;
}

void PtyPeer::HangUp()
{
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}
