#include "converter.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef SER2NET_PATH
#define SER2NET_PATH "/usr/sbin/ser2net"
#endif
#ifndef SOCAT_PATH
#define SOCAT_PATH "/usr/bin/socat"
#endif

Converter::Converter(ConverterKind kind, const std::string& device, int baud)
    : m_kind(kind), m_device(device), m_baud(baud), m_port(FreeLoopbackPort())
{
    char pattern[] = "/tmp/clockreader-converter-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;
    if (kind != ConverterKind::Socat) {
        // "local": the pty has no modem lines to watch. "chardelay: false":
        // ser2net otherwise holds what the line brings for a few character
        // times to fill bigger packets, which a command-and-answer protocol
        // pays on every answer.
        std::ofstream config(m_dir + "/ser2net.yaml");
        config << "connection: &line\n"
               << "  accepter: " << (kind == ConverterKind::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
               << "127.0.0.1," << m_port << "\n"
               << "  connector: serialdev," << device << "," << baud << "n81,local\n"
               << "  options:\n    kickolduser: true\n    chardelay: false\n";
    }
    Start();
}

Converter::~Converter()
{
    Kill();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

std::string Converter::Url() const
{
    return std::string(m_kind == ConverterKind::Rfc2217 ? "rfc2217" : "socket") +
           "://127.0.0.1:" + std::to_string(m_port);
}

void Converter::Kill()
{
    if (!m_process) return;
    // The converter and every relay it forked (socat's), as a crash of the
    // box would end them all.
    kill(-m_process->Pid(), SIGKILL);
    m_process->Wait(std::chrono::seconds(5));
    m_process.reset();
}

void Converter::Start()
{
    Kill();
    std::vector<std::string> argv;
    if (m_kind == ConverterKind::Socat) {
        // -t 0: a relay whose client has gone ends at once instead of
        // reading the line for another half second, next to the new one.
        argv = {SOCAT_PATH, "-t", "0",
                "TCP-LISTEN:" + std::to_string(m_port) + ",bind=127.0.0.1,reuseaddr,fork",
                "FILE:" + m_device + ",raw,echo=0,b" + std::to_string(m_baud)};
    } else {
        argv = {SER2NET_PATH, "-n", "-c", m_dir + "/ser2net.yaml", "-P", m_dir + "/ser2net.pid"};
    }
    // A process group of its own, so that Kill() reaches socat's relays.
    m_process = std::make_unique<ChildProcess>(argv, "/dev/null", m_dir + "/stderr", [] { setpgid(0, 0); });
    if (!WaitForListener(m_port, std::chrono::seconds(10)))
        throw std::runtime_error("the converter does not listen: " + argv[0]);
}

bool WaitForListener(int port, std::chrono::milliseconds limit)
{
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    do {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::ifstream file(table);
            std::string line, sl, local, remote, state;
            std::getline(file, line);  // the heading
            while (file >> sl >> local >> remote >> state) {
                std::getline(file, line);
                if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0)
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < giveUp);
    return false;
}

int FreeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (s >= 0) close(s);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

DeafConverter::DeafConverter()
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // The kernel completes connections into the backlog: nobody need accept.
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on the loopback address");
    m_port = ntohs(address.sin_port);
}

DeafConverter::~DeafConverter()
{
    if (m_listener >= 0) close(m_listener);
}

std::string DeafConverter::Url(const std::string& scheme) const
{
    return scheme + "://127.0.0.1:" + std::to_string(m_port);
}
