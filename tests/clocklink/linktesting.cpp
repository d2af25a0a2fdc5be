#include "linktesting.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "fakewindow.h"

std::string Hex(std::string_view spaced)
{
    std::string bytes;
    std::string digits;
    for (char c : spaced) {
        if (c == ' ') continue;
        digits.push_back(c);
        if (digits.size() == 2) {
            bytes.push_back(static_cast<char>(std::stoi(digits, nullptr, 16)));
            digits.clear();
        }
    }
    if (!digits.empty()) throw std::invalid_argument("odd hex literal");
    return bytes;
}

std::string ToHex(std::string_view bytes)
{
    std::string text;
    char buffer[4];
    for (char c : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", static_cast<unsigned char>(c));
        if (!text.empty()) text.push_back(' ');
        text += buffer;
    }
    return text;
}

FakeLinkClock::FakeLinkClock(std::uint32_t start, std::uint64_t limitMs) : now(start), m_limitMs(limitMs)
{
    SetLinkClock(this);
}

FakeLinkClock::~FakeLinkClock() { SetLinkClock(nullptr); }

void FakeLinkClock::advance(std::uint32_t milliseconds)
{
    now += milliseconds;
    advanced += milliseconds;
    if (advanced > m_limitMs) throw std::runtime_error("fake clock ran past its limit");
}

void FakeLinkClock::Sleep(std::uint32_t milliseconds)
{
    sleeps.push_back(milliseconds);
    advance(milliseconds);
    if (onSleep) onSleep();
}

void FakeLinkClock::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    ++pauses;
    advance(milliseconds);
    if (onPause) onPause(port);
}

PtyPeer::PtyPeer()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    m_slavePath = ptsname(m_master);
}

PtyPeer::~PtyPeer() { Close(); }

void PtyPeer::Write(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_master, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("write to the pty master failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string PtyPeer::Read(std::size_t atLeast, int waitMs)
{
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int timeout = received.size() >= atLeast ? 0 : std::max<int>(0, static_cast<int>(left.count()));
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, timeout) <= 0 || !(p.revents & POLLIN)) break;
        char buffer[256];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

void PtyPeer::Close()
{
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

void WaitForBytes(TComPort& port, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (port.InputCount() < count) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("bytes did not arrive");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

TComPort& OpenSharedPortOn(const PtyPeer& peer, const std::string& baudRate)
{
    FakeWindow window;
    window.portName = peer.SlavePath();
    window.baudRate = baudRate;
    TComPort& port = SetUpPortFromWindow(window);
    port.Open();
    return port;
}
