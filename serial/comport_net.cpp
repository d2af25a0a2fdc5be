// The serial port reached over the network: a serial-to-Ethernet converter
// spoken to over TCP, raw ("socket://HOST:PORT", the converter's own line
// settings apply) or with RFC 2217 ("rfc2217://HOST:PORT", Telnet COM Port
// Control, which carries the line settings). POSIX sockets and Winsock.
//
// The contract is the local port's (comdevice.h): reads take what has
// arrived and wait only as the time-outs say, writes wait for room up to the
// write time-out, a connection the converter closes or resets is a read
// failure, reported after the bytes that came before it. Connecting has a
// time-out of its own (SetNetworkConnectTimeout, 5 s by default); so has
// every answer the converter owes to the negotiation and the line settings.
//
// RFC 2217: the Telnet layer (telnet.h) strips commands from the data and
// answers the converter's requests. On open the port negotiates BINARY, SGA
// and COM-PORT-OPTION and waits until the converter accepts COM-PORT-OPTION;
// the line settings go out with SET-BAUDRATE, -DATASIZE, -PARITY and
// -STOPSIZE and count as applied once the converter has confirmed all four
// with the values asked; purging sends PURGE-DATA and drops what arrived
// before the converter confirmed it. Modem-line control (SET-CONTROL) is sent
// but no answer is awaited: ser2net in front of a pseudo-terminal gives none.
//
// One mutex guards the Telnet state and the received data, as the event
// thread may ask for the input count while the owner reads or writes. The
// event thread never reads the socket itself: it looks at what waits in it.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "serial/comdevice.h"
#include "serial/telnet.h"
#include "utils/text.h"
#include "utils/utf8path.h"

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
constexpr int kWouldBlock = WSAEWOULDBLOCK;
constexpr int kInProgress = WSAEWOULDBLOCK;
constexpr int kConnectionReset = WSAECONNRESET;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kInvalid = WSAEINVAL;
constexpr int kHostNotFound = WSAHOST_NOT_FOUND;
constexpr int kNotSupported = WSAEPROTONOSUPPORT;
int socketError() { return WSAGetLastError() != 0 ? WSAGetLastError() : WSAECONNRESET; }
void closeSocket(Socket s) { closesocket(s); }
bool startSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kWouldBlock = EWOULDBLOCK;
constexpr int kInProgress = EINPROGRESS;
constexpr int kConnectionReset = ECONNRESET;
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kInvalid = EINVAL;
constexpr int kHostNotFound = EHOSTUNREACH;
constexpr int kNotSupported = EPROTONOSUPPORT;
int socketError() { return errno != 0 ? errno : ECONNRESET; }
void closeSocket(Socket s) { close(s); }
bool startSockets() { return true; }
#endif

// What the event thread and the owner share; the rest of a connection is the
// owner's alone.
struct NetDevice : ComDevice {
    Socket socket = kNoSocket;
    bool rfc2217 = false;
    std::mutex mutex;                     // guards all below
    telnet::Session session;              // rfc2217 only
    std::string input;                    // data received and not yet read
    std::atomic<std::size_t> waiting{0};  // input.size(), for the event thread
    std::string owed;                     // the rest of a doubled 0xFF a timed-out write cut
    int failure = 0;                      // the connection's end, reported once input is read
};

NetDevice& net(ComDevice& device) { return static_cast<NetDevice&>(device); }

// The most received data kept unread; beyond it the socket is left to fill,
// and TCP holds the converter back.
constexpr std::size_t kInputLimit = 64 * 1024;

std::atomic<std::int32_t> g_connectTimeoutMs{5000};

// Waits up to `timeoutMs` (-1: no limit) until the socket is readable (or
// closed), or writable when `write`; 1 when ready, 0 on time-out, -1 on failure.
int waitSocket(Socket s, bool write, int timeoutMs) {
#ifdef _WIN32
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);  // a failed connect is reported here
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int result = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed,
                        timeoutMs < 0 ? nullptr : &limit);
    return result == SOCKET_ERROR ? -1 : (result > 0 ? 1 : 0);
#else
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd entry{s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    for (;;) {
        int result = poll(&entry, 1, ComDevice::MillisecondsLeft(deadline));
        if (result >= 0) return result > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
#endif
}

bool setNonBlocking(Socket s) {
#ifdef _WIN32
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
#else
    int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

// Bytes the socket holds unread (Telnet commands included); 0 when unknown.
std::size_t socketQueued(Socket s) {
#ifdef _WIN32
    u_long count = 0;
    return ioctlsocket(s, FIONREAD, &count) == 0 ? count : 0;
#else
    int count = 0;
    return ioctl(s, FIONREAD, &count) == 0 && count > 0 ? static_cast<std::size_t>(count) : 0;
#endif
}

// Sends what it can without waiting; returns 0 or the error number.
int sendSome(Socket s, const char* data, std::size_t size, std::size_t& sent) {
    sent = 0;
    while (sent < size) {
#ifdef _WIN32
        int result = send(s, data + sent, static_cast<int>(std::min<std::size_t>(size - sent, INT_MAX)), 0);
        if (result == SOCKET_ERROR) {
            int error = socketError();
            return error == kWouldBlock ? 0 : error;
        }
#else
        ssize_t result = send(s, data + sent, size - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) continue;
            int error = socketError();
            return (error == EAGAIN || error == EWOULDBLOCK) ? 0 : error;
        }
#endif
        sent += static_cast<std::size_t>(result);
    }
    return 0;
}

// Sends all of `bytes` before `deadline` (none: as long as it takes);
// `sent` counts what went out. 0, a send failure, or kTimedOut.
int sendAll(Socket s, std::string_view bytes, std::optional<Clock::time_point> deadline, std::size_t& sent) {
    sent = 0;
    while (sent < bytes.size()) {
        std::size_t now = 0;
        if (int error = sendSome(s, bytes.data() + sent, bytes.size() - sent, now); error != 0) return error;
        sent += now;
        if (sent == bytes.size()) break;
        int ready = waitSocket(s, true, ComDevice::MillisecondsLeft(deadline));
        if (ready < 0) return socketError();
        if (ready == 0) return kTimedOut;
    }
    return 0;
}

// Sends the Telnet answers the session owes, without waiting: a converter
// that reads none of them loses them, never the port its time.
void sendReplies(NetDevice& d) {
    std::string replies = d.session.TakeReplies();
    if (replies.empty() || !d.owed.empty()) return;
    std::size_t sent = 0;
    sendSome(d.socket, replies.data(), replies.size(), sent);
}

// Takes what the socket holds, without waiting, into the received data.
// A closed or reset connection is noted in `failure`. The mutex is held.
void pump(NetDevice& d) {
    char buffer[4096];
    while (d.failure == 0 && d.input.size() < kInputLimit) {
#ifdef _WIN32
        int got = recv(d.socket, buffer, sizeof buffer, 0);
        if (got == SOCKET_ERROR) {
            int error = socketError();
            if (error != kWouldBlock) d.failure = error;
            break;
        }
#else
        ssize_t got = recv(d.socket, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            int error = socketError();
            if (error != EAGAIN && error != EWOULDBLOCK) d.failure = error;
            break;
        }
#endif
        if (got == 0) {
            d.failure = kConnectionReset;  // the converter closed the connection
            break;
        }
#ifdef TCP_QUICKACK
        // Acknowledge at once: a converter that holds small packets until
        // the last is acknowledged (Nagle) would otherwise wait for the
        // delayed acknowledgement, some 40 ms, in the middle of an answer.
        int on = 1;
        setsockopt(d.socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
        std::string_view bytes(buffer, static_cast<std::size_t>(got));
        if (d.rfc2217) {
            d.session.Receive(bytes, d.input);
        } else {
            d.input.append(bytes);
        }
    }
    if (d.rfc2217) sendReplies(d);
    if (d.discardNull) d.input.erase(std::remove(d.input.begin(), d.input.end(), '\0'), d.input.end());
    d.waiting = d.input.size();
}

// Moves up to `size` received bytes to `data`. The mutex is held.
std::int32_t take(NetDevice& d, char* data, std::int32_t size) {
    auto count = std::min<std::size_t>(d.input.size(), static_cast<std::size_t>(std::max(size, 0)));
    std::copy_n(d.input.data(), count, data);
    d.input.erase(0, count);
    d.waiting = d.input.size();
    d.bytesRead += count;
    return static_cast<std::int32_t>(count);
}

// Pumps the socket until `done()` holds, the connection fails, or
// `timeoutMs` passes; true when `done()` held. The mutex is not held.
template <typename Done>
bool awaitAnswer(NetDevice& d, int timeoutMs, Done done) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(d.mutex);
            pump(d);
            if (done()) return true;
            if (d.failure != 0) return false;
        }
        int left = ComDevice::MillisecondsLeft(deadline);
        if (left == 0 || waitSocket(d.socket, false, left) < 0) return false;
    }
}

// A URL's parts; `problem` says why it cannot be used, empty when it can.
struct Address {
    bool rfc2217 = false;
    std::string host, port, problem;
};

Address parseAddress(const std::string& url) {
    Address address;
    const std::size_t colonSlashes = url.find("://");
    if (colonSlashes == std::string::npos) {
        address.problem = "not a network address; write socket://HOST:PORT or rfc2217://HOST:PORT";
        return address;
    }
    std::string scheme = url.substr(0, colonSlashes);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (scheme == "rfc2217") {
        address.rfc2217 = true;
    } else if (scheme != "socket") {
        address.problem =
            "unknown scheme '" + url.substr(0, colonSlashes) + "://'; use socket:// or rfc2217://";
        return address;
    }
    std::string rest = url.substr(colonSlashes + 3);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::size_t portColon;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6 address]:port
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            address.problem = "an IPv6 address in [ ] lacks its ']'";
            return address;
        }
        address.host = rest.substr(1, close - 1);
        portColon = close + 1 < rest.size() && rest[close + 1] == ':' ? close + 1 : std::string::npos;
    } else {
        portColon = rest.rfind(':');
        address.host = rest.substr(0, portColon);
    }
    if (address.host.empty()) {
        address.problem = "no host; write " + scheme + "://HOST:PORT";
        return address;
    }
    if (address.host.find_first_of("/?#@ \t") != std::string::npos) {
        address.problem = "'" + address.host + "' is not a host name";
        return address;
    }
    if (portColon == std::string::npos || portColon + 1 == rest.size()) {
        address.problem = "no port number; write " + scheme + "://HOST:PORT";
        return address;
    }
    address.port = rest.substr(portColon + 1);
    long number = 0;
    for (char c : address.port) {
        number = (c >= '0' && c <= '9' && address.port.size() <= 5) ? number * 10 + (c - '0') : -1;
        if (number < 0) break;
    }
    if (number < 1 || number > 65535)
        address.problem = "port number '" + address.port + "' is not 1 to 65535";
    return address;
}

// The addresses a host name stands for; 0 or the error number.
int resolve(const Address& address, addrinfo*& found, std::string* problem = nullptr) {
    if (!startSockets()) return kNotSupported;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    int result = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (result != 0) {
        if (problem) *problem = "host '" + address.host + "' does not resolve (" + gai_strerror(result) + ")";
        return kHostNotFound;
    }
    return 0;
}

// Connects to one of the addresses before `deadline`; the error number of
// the last attempt when none answers.
int connectTo(addrinfo* candidates, Clock::time_point deadline, Socket& connected) {
    int error = kTimedOut;
    for (addrinfo* a = candidates; a != nullptr; a = a->ai_next) {
        Socket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) {
            error = socketError();
            continue;
        }
#ifndef _WIN32
        fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
        if (!setNonBlocking(s)) {
            error = socketError();
            closeSocket(s);
            continue;
        }
        error = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            error = socketError();
            if (error == kInProgress || error == kWouldBlock) {
                int ready = waitSocket(s, true, ComDevice::MillisecondsLeft(deadline));
                error = ready < 0 ? socketError() : ready == 0 ? kTimedOut : 0;
                if (error == 0) {
                    int status = 0;
                    socklen_t length = sizeof status;
                    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) != 0) {
                        error = socketError();
                    } else {
                        error = status;
                    }
                }
            }
        }
        if (error == 0) {
            // Commands go out byte by byte at the higher rates; none may
            // wait for the next to fill a packet.
            int on = 1;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
            connected = s;
            return 0;
        }
        closeSocket(s);
        if (ComDevice::MillisecondsLeft(deadline) == 0) break;
    }
    return error;
}

telnet::Parity telnetParity(TParityBits bits) {
    switch (bits) {
    case prOdd: return telnet::ParityOdd;
    case prEven: return telnet::ParityEven;
    case prMark: return telnet::ParityMark;
    case prSpace: return telnet::ParitySpace;
    case prNone: break;
    }
    return telnet::ParityNone;
}

telnet::StopSize telnetStopSize(TStopBits bits) {
    switch (bits) {
    case sbTwoStopBits: return telnet::StopTwo;
    case sbOne5StopBits: return telnet::StopOneAndHalf;
    case sbOneStopBit: break;
    }
    return telnet::StopOne;
}

}  // namespace

void SetNetworkConnectTimeout(std::int32_t milliseconds) { g_connectTimeoutMs = std::max(milliseconds, 1); }

namespace {

// The mappings of ports.txt by port name ("COM7"), or why the file cannot
// be used.
struct PortMap {
    std::map<std::string, std::string> urls;
    std::string problem;
};

PortMap readPortMap() {
    PortMap map;
    const std::string fileName = ComPortMapFile();
    std::error_code error;
    if (!std::filesystem::exists(PathFromUtf8(fileName), error)) return map;
    std::ifstream in(PathFromUtf8(fileName), std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    const std::optional<std::string> text = SettingsFileText(bytes);
    if (!in || !text) {
        map.problem = fileName + ": cannot be read (as UTF-8 or as UTF-16 with a byte-order mark)";
        return map;
    }
    std::map<std::string, int> lineOf;
    for (const SettingsLine& entry : SettingsLines(*text)) {
        const int number = entry.number;
        const std::string& line = entry.text;
        const std::vector<std::string>& fields = entry.words;
        const std::string where = fileName + " line " + std::to_string(number) + ": ";
        std::string port = fields[0];
        std::transform(port.begin(), port.end(), port.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        const std::string digits = port.size() > 3 && port.compare(0, 3, "COM") == 0 ? port.substr(3) : "";
        const bool number1To255 =
            !digits.empty() && digits.size() <= 3 && digits[0] != '0' &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            std::stoi(digits) <= 255;
        if (fields.size() != 2) {
            map.problem = where + "'" + line + "' is not \"COMn URL\", such as COM7 rfc2217://10.0.0.5:4001";
        } else if (!number1To255) {
            map.problem = where + "'" + fields[0] + "' is not COM1 to COM255";
        } else if (fields[1].find("://") == std::string::npos) {
            map.problem = where + "'" + fields[1] +
                          "' is not a converter's URL (socket://HOST:PORT or rfc2217://HOST:PORT)";
        } else if (const std::string why = NetworkAddressProblem(fields[1], false); !why.empty()) {
            map.problem = where + "'" + fields[1] + "': " + why;
        } else if (const auto [at, added] = lineOf.emplace(port, number); !added) {
            map.problem = where + port + " is listed twice (also on line " + std::to_string(at->second) + ")";
        } else {
            map.urls[port] = fields[1];
            continue;
        }
        map.urls.clear();
        return map;
    }
    return map;
}

}  // namespace

std::string ComPortMapProblem() { return readPortMap().problem; }

std::string ComPortNetworkAddress(const std::string& portName) {
    if (portName.find("://") != std::string::npos) return portName;
    if (portName.size() <= 3 || portName.compare(0, 3, "COM") != 0 ||
        !std::all_of(portName.begin() + 3, portName.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return "";
    }
    const PortMap map = readPortMap();
    if (!map.problem.empty()) return "(" + map.problem + ")";
    if (const auto mapped = map.urls.find(portName); mapped != map.urls.end()) return mapped->second;
    // A regular file in the ports folder names a converter in its first
    // line; a link to a device is no business of this backend.
    std::error_code error;
    const auto entry = PathFromUtf8(comPortDirectory()) / portName;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(entry, error))) return "";
    std::ifstream file(entry);
    std::string line;
    std::getline(file, line);
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    line.erase(line.begin(), std::find_if_not(line.begin(), line.end(), blank));
    line.erase(std::find_if_not(line.rbegin(), line.rend(), blank).base(), line.end());
    // An empty or unreadable file still names no device: it is reported as
    // a network address that does not read.
    return line.empty() ? "(empty file " + Utf8FromPath(entry) + ")" : line;
}

std::string NetworkAddressProblem(const std::string& url, bool lookUpHost) {
    Address address = parseAddress(url);
    if (!address.problem.empty() || !lookUpHost) return address.problem;
    addrinfo* found = nullptr;
    std::string problem;
    if (resolve(address, found, &problem) == 0) freeaddrinfo(found);
    return problem;
}

std::vector<std::string> NetworkEndpoints(const std::string& url) {
    const Address address = parseAddress(url);
    std::vector<std::string> endpoints;
    addrinfo* found = nullptr;
    if (!address.problem.empty() || resolve(address, found) != 0) return endpoints;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        char host[NI_MAXHOST], service[NI_MAXSERV];
        if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), host, sizeof host, service,
                        sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0)
            endpoints.push_back("[" + std::string(host) + "]:" + service);
    }
    freeaddrinfo(found);
    std::sort(endpoints.begin(), endpoints.end());
    endpoints.erase(std::unique(endpoints.begin(), endpoints.end()), endpoints.end());
    return endpoints;
}

std::string NetworkFailureText(int error) {
    switch (error) {
#ifdef _WIN32
    case WSAECONNREFUSED:
#else
    case ECONNREFUSED:
#endif
        return "the converter refused the connection (is the address's port number right?)";
    case kTimedOut: return "the converter did not answer in time";
#ifndef _WIN32
    case EPIPE:
#endif
    case kConnectionReset: return "the converter closed the connection";
    case kHostNotFound: return "the converter's host cannot be found or reached";
    case kNotSupported: return "the converter does not speak RFC 2217 (a raw one takes socket://)";
    case kInvalid: return "the converter did not take the line settings";
    default: return "";
    }
}

int netDeviceOpen(const std::string& url, std::unique_ptr<ComDevice>& device) {
    Address address = parseAddress(url);
    if (!address.problem.empty()) return kInvalid;
    addrinfo* found = nullptr;
    if (int error = resolve(address, found); error != 0) return error;
    const auto deadline = Clock::now() + std::chrono::milliseconds(g_connectTimeoutMs.load());
    Socket s = kNoSocket;
    int error = connectTo(found, deadline, s);
    freeaddrinfo(found);
    if (error != 0) return error;

    auto d = std::make_unique<NetDevice>();
    d->network = true;
    d->socket = s;
    d->handle = static_cast<std::intptr_t>(s);
    d->rfc2217 = address.rfc2217;
    if (d->rfc2217) {
        std::size_t sent = 0;
        error = sendAll(s, d->session.Greeting(), deadline, sent);
        // Line settings may be sent only once the converter has taken up
        // COM-PORT-OPTION; one that refuses it is no RFC 2217 converter.
        if (error == 0 && !awaitAnswer(*d, ComDevice::MillisecondsLeft(deadline), [&] {
                return d->session.ComPortAccepted() || d->session.ComPortRefused();
            })) {
            error = d->failure != 0 ? d->failure : kTimedOut;
        }
        if (error == 0 && !d->session.ComPortAccepted()) error = kNotSupported;
        if (error != 0) {
            closeSocket(s);
            return error;
        }
    }
    device = std::move(d);
    return 0;
}

void netDeviceClose(ComDevice& device) {
    NetDevice& d = net(device);
    if (d.socket != kNoSocket) {
        closeSocket(d.socket);
        d.socket = kNoSocket;
        d.handle = -1;
    }
}

int netDeviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize) {
    if (inputSize < 0 || outputSize < 0) return kInvalid;
    device.inputSize = inputSize;
    return 0;
}

int netDeviceSetLine(ComDevice& device, const TCustomComPort& settings) {
    NetDevice& d = net(device);
    const std::int32_t bitRate = BaudRateValue(settings.BaudRate(), settings.CustomBaudRate());
    if (bitRate <= 0) return kInvalid;
    if (!d.rfc2217) {
        // A raw connection carries no settings: the converter's own apply.
        d.bitRate = bitRate;
        d.discardNull = settings.DiscardNull();
        return 0;
    }
    const auto rate = static_cast<std::uint32_t>(bitRate);
    const auto dataSize = static_cast<unsigned char>(5 + settings.DataBits());
    const telnet::Parity parity = telnetParity(settings.Parity().Bits());
    const telnet::StopSize stopSize = telnetStopSize(settings.StopBits());
    const TComFlowControl& flow = settings.FlowControl();
    std::string request;
    {
        std::lock_guard lock(d.mutex);
        request = d.owed + d.session.SetLine(rate, dataSize, parity, stopSize);
        d.owed.clear();
        request += d.session.SetControlLine(flow.XonXoffOut() || flow.XonXoffIn() ? telnet::ControlXonXoff
                                            : flow.OutCTSFlow()                   ? telnet::ControlHardware
                                                                                  : telnet::ControlNoFlow);
        request += d.session.SetControlLine(flow.ControlDTR() == dtrEnable ? telnet::ControlDtrOn
                                                                           : telnet::ControlDtrOff);
        request += d.session.SetControlLine(flow.ControlRTS() == rtsEnable ? telnet::ControlRtsOn
                                                                           : telnet::ControlRtsOff);
        std::size_t sent = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(g_connectTimeoutMs.load());
        if (int error = sendAll(d.socket, request, deadline, sent); error != 0) return error;
    }
    const telnet::LineAnswers& answers = d.session.Answers();
    if (!awaitAnswer(d, g_connectTimeoutMs.load(), [&] {
            return answers.baudRate && answers.dataSize && answers.parity && answers.stopSize;
        })) {
        return d.failure != 0 ? d.failure : kTimedOut;
    }
    // A converter that cannot run the line as asked says so with the values
    // it did set; data at another rate would only be noise.
    if (*answers.baudRate != rate || *answers.dataSize != dataSize || *answers.parity != parity ||
        *answers.stopSize != stopSize) {
        return kInvalid;
    }
    d.bitRate = bitRate;
    d.discardNull = settings.DiscardNull();
    return 0;
}

int netDeviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts) {
    device.KeepTimeouts(timeouts);
    return 0;
}

int netDeviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent) {
    NetDevice& d = net(device);
    sent = 0;
    const std::optional<Clock::time_point> deadline = d.WriteDeadline(size);
    std::lock_guard lock(d.mutex);
    if (d.failure != 0 && d.input.empty()) return d.failure;
    const std::string_view plain(data, static_cast<std::size_t>(size));
    const std::string bytes = d.owed + (d.rfc2217 ? telnet::Session::Escape(plain) : std::string(plain));
    std::size_t out = 0;
    int error = sendAll(d.socket, bytes, deadline, out);
    // A write that runs out of time is no failure: it counts the data bytes
    // that went out, and a 0xFF whose double it cut is owed to the next one.
    const std::size_t owedBefore = d.owed.size();
    d.owed.erase(0, std::min(out, owedBefore));
    std::size_t at = owedBefore;
    std::int32_t count = 0;
    while (count < size && at < out) {
        const bool doubled = d.rfc2217 && static_cast<unsigned char>(data[count]) == telnet::IAC;
        if (doubled && at + 1 == out) d.owed.assign(1, static_cast<char>(telnet::IAC));
        at += doubled ? 2 : 1;
        ++count;
    }
    sent = count;
    d.bytesWritten += static_cast<std::uint64_t>(count);
    if (error == kTimedOut) return 0;
    if (error != 0) d.failure = error;
    return error;
}

int netDeviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received) {
    NetDevice& d = net(device);
    received = 0;
    auto readNow = [&]() -> int {
        std::lock_guard lock(d.mutex);
        pump(d);
        received += take(d, data + received, size - received);
        // Bytes that came before the end of the connection are delivered
        // first; the end is reported by the read that finds nothing else.
        return received == 0 && d.input.empty() ? d.failure : 0;
    };
    if (int error = readNow(); error != 0) return error;
    const ComDevice::ReadWait wait = d.PlanRead(size);
    if (wait.atOnce || (wait.firstByteOnly && received > 0)) return 0;
    while (received < size) {
        const int timeout = wait.NextWaitMs(received);
        int ready = waitSocket(d.socket, false, timeout);
        if (ready < 0) return socketError();
        if (ready == 0) return 0;
        const std::int32_t before = received;
        if (int error = readNow(); error != 0) return error;
        {
            std::lock_guard lock(d.mutex);
            if (d.failure != 0 && received == before) return 0;  // reported by the next read
        }
        if (wait.firstByteOnly && received > 0) return 0;
    }
    return 0;
}

int netDeviceInputCount(ComDevice& device, std::int32_t& count) {
    NetDevice& d = net(device);
    std::lock_guard lock(d.mutex);
    pump(d);
    count = static_cast<std::int32_t>(std::min<std::size_t>(d.input.size(), INT_MAX));
    return 0;
}

int netDeviceClearErrors(ComDevice& device) {
    // A connection keeps no line errors; a converter's are its own.
    std::int32_t count = 0;
    return netDeviceInputCount(device, count);
}

int netDeviceModemStatus(ComDevice& device, std::uint32_t& status) {
    NetDevice& d = net(device);
    std::lock_guard lock(d.mutex);
    status = d.rfc2217 ? d.session.ModemState() : 0;
    return 0;
}

int netDevicePurgeRequests(ComDevice&) {
    // Every request runs to its end on its caller's thread; none is pending.
    return 0;
}

int netDevicePurgeQueues(ComDevice& device) {
    NetDevice& d = net(device);
    {
        std::lock_guard lock(d.mutex);
        pump(d);
        d.input.clear();
        d.waiting = 0;
        if (!d.rfc2217 || d.failure != 0) return d.failure;
        std::string request = d.owed + d.session.Purge(telnet::PurgeBoth);
        d.owed.clear();
        std::size_t sent = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(g_connectTimeoutMs.load());
        if (int error = sendAll(d.socket, request, deadline, sent); error != 0) return error;
    }
    // What the converter received before it purged is dropped with the
    // confirmation; a converter that never confirms leaves it to the
    // reader's own checks.
    if (!awaitAnswer(d, g_connectTimeoutMs.load(), [&] { return d.session.PurgeAnswered(); })) {
        return d.failure != 0 ? d.failure : kTimedOut;
    }
    return 0;
}

bool netDeviceWaitForInput(ComDevice& device, std::int32_t milliseconds) {
    NetDevice& d = net(device);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
    for (;;) {
        {
            std::lock_guard lock(d.mutex);
            pump(d);
            if (!d.input.empty() || d.failure != 0) return true;
        }
        // Telnet commands alone wake the wait but bring nothing to read.
        int left = ComDevice::MillisecondsLeft(deadline);
        if (left == 0 || waitSocket(d.socket, false, left) <= 0) {
            std::lock_guard lock(d.mutex);
            pump(d);
            return !d.input.empty() || d.failure != 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Event watch
//
// Received bytes are news when more have arrived than were read plus those
// waiting (in the port or still in the socket); an emptied output queue when
// more were written since the last report. While bytes wait unread the socket
// stays readable, so the watch then looks again every kLookAgainMs instead of
// waiting on it.

namespace {

constexpr int kLookAgainMs = 20;
// The Win32 event-mask bits of received bytes and an emptied output queue.
constexpr std::uint32_t kRxChar = 0x0001, kTxEmpty = 0x0004;

}  // namespace

struct NetEventWatch {
    NetDevice* device = nullptr;
    std::uint32_t mask = 0;
    std::atomic<bool> stopRequested{false};
    std::uint64_t arrived = 0;
    std::uint64_t written = 0;
    bool closed = false;
#ifdef _WIN32
    HANDLE stopEvent = nullptr;
    WSAEVENT socketEvent = WSA_INVALID_EVENT;
#else
    int stopFd = -1;
#endif
};

void NetEventWatchDeleter::operator()(NetEventWatch* watch) const {
#ifdef _WIN32
    if (watch->socketEvent != WSA_INVALID_EVENT) {
        WSAEventSelect(watch->device->socket, nullptr, 0);
        WSACloseEvent(watch->socketEvent);
    }
    if (watch->stopEvent != nullptr) CloseHandle(watch->stopEvent);
#else
    if (watch->stopFd >= 0) close(watch->stopFd);
#endif
    delete watch;
}

namespace {

std::uint32_t lookForEvents(NetEventWatch& watch) {
    NetDevice& d = *watch.device;
    std::uint32_t found = 0;
    // Read first: a read racing with this look can then only make the sum
    // too small, which delays a report but never repeats one.
    const std::uint64_t arrived = d.bytesRead.load() + d.waiting.load() + socketQueued(d.socket);
    if (arrived > watch.arrived) {
        found |= kRxChar;
        watch.arrived = arrived;
    }
    const std::uint64_t written = d.bytesWritten.load();
    if (written > watch.written) {
        found |= kTxEmpty;
        watch.written = written;
    }
    return found & watch.mask;
}

}  // namespace

int netWatchCreate(ComDevice& device, std::uint32_t mask, NetEventWatchPtr& watch) {
    NetEventWatchPtr created(new NetEventWatch);
    created->device = &net(device);
    created->mask = mask;
#ifdef _WIN32
    created->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    created->socketEvent = WSACreateEvent();
    if (created->stopEvent == nullptr || created->socketEvent == WSA_INVALID_EVENT) return socketError();
    if (WSAEventSelect(created->device->socket, created->socketEvent, FD_READ | FD_CLOSE) != 0) {
        return socketError();
    }
#else
    created->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (created->stopFd < 0) return socketError();
#endif
    created->arrived = created->device->bytesRead.load() + created->device->waiting.load() +
                       socketQueued(created->device->socket);
    created->written = created->device->bytesWritten.load();
    watch = std::move(created);
    return 0;
}

ComWaitResult netWatchWait(NetEventWatch& watch, std::uint32_t& events) {
    NetDevice& d = *watch.device;
    for (;;) {
        if (watch.stopRequested.load()) return ComWaitResult::Stopped;
        if (std::uint32_t found = lookForEvents(watch); found != 0) {
            events = found;
            return ComWaitResult::Events;
        }
        // Something waits unread, or the connection ended (the socket stays
        // readable for ever): only the periodic look and the stop wake us.
        const bool pollSocket = !watch.closed && d.waiting.load() == 0 && socketQueued(d.socket) == 0;
        const bool lookAgain = !pollSocket || (watch.mask & kTxEmpty) != 0;
#ifdef _WIN32
        WSAEVENT waits[2] = {watch.stopEvent, watch.socketEvent};
        DWORD which = WSAWaitForMultipleEvents(pollSocket ? 2 : 1, waits, FALSE,
                                               lookAgain ? kLookAgainMs : WSA_INFINITE, FALSE);
        if (which == WSA_WAIT_EVENT_0) return ComWaitResult::Stopped;
        if (which == WSA_WAIT_FAILED) return ComWaitResult::Failed;
        if (which == WSA_WAIT_EVENT_0 + 1) {
            WSANETWORKEVENTS happened{};
            WSAEnumNetworkEvents(d.socket, watch.socketEvent, &happened);
            if ((happened.lNetworkEvents & FD_CLOSE) && socketQueued(d.socket) == 0) watch.closed = true;
        }
#else
        pollfd entries[2] = {{watch.stopFd, POLLIN, 0}, {d.socket, POLLIN, 0}};
        int ready = poll(entries, pollSocket ? 2 : 1, lookAgain ? kLookAgainMs : -1);
        if (ready < 0 && errno != EINTR) return ComWaitResult::Failed;
        if (ready > 0 && (entries[0].revents & POLLIN)) return ComWaitResult::Stopped;
        if (pollSocket && (entries[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
            socketQueued(d.socket) == 0) {
            watch.closed = true;  // readable with nothing to read: the end
        }
#endif
    }
}

void netWatchStop(NetEventWatch& watch) {
    watch.stopRequested.store(true);
#ifdef _WIN32
    SetEvent(watch.stopEvent);
#else
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(watch.stopFd, &one, sizeof one);
#endif
}
