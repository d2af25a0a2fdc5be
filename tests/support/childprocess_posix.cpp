#include "childprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::function<void()>& inChild)
    : m_started(std::chrono::steady_clock::now())
{
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        auto redirect = [](const std::string& path, int flags, int target) {
            int fd = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
            if (fd >= 0) dup2(fd, target);
        };
        redirect("", O_RDONLY, STDIN_FILENO);
        redirect(outPath, O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
        if (!errPath.empty() && errPath == outPath)
            dup2(STDOUT_FILENO, STDERR_FILENO);
        else
            redirect(errPath, O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
        // A process group of its own: the test's terminal signals stay the test's.
        setpgid(0, 0);
        if (inChild) inChild();
        std::vector<char*> cargv;
        for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        kill(-m_pid, SIGKILL);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ChildProcess::Running()
{
    if (m_pid <= 0) return false;
    int status = 0;
    rusage usage{};
    if (wait4(m_pid, &status, WNOHANG, &usage) == 0) return true;
    m_result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    m_result.exited = WIFEXITED(status);
    m_result.status = m_result.exited ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    m_result.peakKiB = usage.ru_maxrss;
    m_pid = -1;
    return false;
}

void ChildProcess::Signal(int signal)
{
    if (m_pid > 0) kill(-m_pid, signal);
}

ChildResult ChildProcess::Wait(std::chrono::milliseconds limit)
{
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (Running()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(-m_pid, SIGKILL);
            while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            m_pid = -1;
            m_result = ChildResult{};
            m_result.hung = true;
            m_result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
            return m_result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return m_result;
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
                     std::chrono::milliseconds limit)
{
    return ChildProcess(argv, outPath, errPath).Wait(limit);
}

bool WaitForListener(int port, std::chrono::milliseconds limit)
{
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    do {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            std::ifstream file(table);
            std::string sl, local, remote, state;
            std::string line;
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
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (s >= 0) close(s);
        throw std::runtime_error("no free loopback port");
    }
    close(s);
    return ntohs(address.sin_port);
}
