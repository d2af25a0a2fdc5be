#include "winebridgeclient.h"

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace {

SOCKET asSocket(unsigned long long value) { return static_cast<SOCKET>(value); }

void startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) throw std::runtime_error("Winsock does not start");
}

// Waits up to `waitMs` (0: not at all) until `socket` can be read.
bool readable(SOCKET socket, int waitMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval limit{waitMs / 1000, (waitMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &limit) > 0;
}

}  // namespace

std::string WindowsPathOf(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

WineBridge::WineBridge(const std::vector<std::string>& args)
{
    startWinsock();
    const char* port = std::getenv("WINEBRIDGE_PORT");
    if (port == nullptr)
        throw std::runtime_error("no winebridge: run the test through wine/run of its build");
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    const int bufferSize = 32 * 1024;  // see winebridge.cpp
    if (socket != INVALID_SOCKET) {
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize),
                   sizeof bufferSize);
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bufferSize),
                   sizeof bufferSize);
    }
    if (socket == INVALID_SOCKET ||
        connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = WSAGetLastError();
        if (socket != INVALID_SOCKET) closesocket(socket);
        throw std::runtime_error("cannot reach winebridge: error " + std::to_string(error));
    }
    m_socket = socket;
    std::string request;
    for (const std::string& arg : args) request += (request.empty() ? "" : "\t") + arg;
    Send(request + "\n");
    m_firstLine = readLine(10000);
    if (m_firstLine.empty()) throw std::runtime_error("winebridge gave no line for: " + request);
}

WineBridge::~WineBridge() { Finish(); }

void WineBridge::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const int n = m_socket == kNone
                          ? -1
                          : send(asSocket(m_socket), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (n <= 0) throw std::runtime_error("the bridge takes no more bytes");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string WineBridge::Receive(std::size_t atLeast, int waitMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::string received = std::move(m_pending);
    m_pending.clear();
    while (m_socket != kNone) {
        int wait = 0;
        if (received.size() < atLeast) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = std::max<int>(0, static_cast<int>(left.count()));
        }
        if (!readable(asSocket(m_socket), wait)) break;
        char buffer[4096];
        const int n = recv(asSocket(m_socket), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

std::string WineBridge::readLine(int waitMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const std::size_t end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (m_socket == kNone || left.count() <= 0 ||
            !readable(asSocket(m_socket), static_cast<int>(left.count())))
            return "";
        char buffer[256];
        const int n = recv(asSocket(m_socket), buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string WineBridge::Ask(const std::string& request)
{
    Send(request + "\n");
    return readLine(30000);
}

void WineBridge::Finish()
{
    if (m_socket == kNone) return;
    const SOCKET socket = asSocket(m_socket);
    shutdown(socket, SD_SEND);
    // The bridge closes its end only once the line is down.
    char buffer[4096];
    while (readable(socket, 10000) && recv(socket, buffer, sizeof buffer, 0) > 0) {
    }
    closesocket(socket);
    m_socket = kNone;
}
