#include "childprocess.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::function<void()>& inChild)
    : m_started(std::chrono::steady_clock::now())
{
    std::vector<std::string> args = argv;
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (inChild) inChild();
        std::vector<char*> cargv;
        for (std::string& a : args) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0) kill(m_pid, signal);
}

ChildResult ChildProcess::Wait(std::chrono::milliseconds limit)
{
    ChildResult result;
    int status = 0;
    rusage usage{};
    const auto giveUp = m_started + limit;
    while (wait4(m_pid, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            kill(m_pid, SIGKILL);
            wait4(m_pid, &status, 0, &usage);
            result.hung = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_pid = -1;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peakKiB = usage.ru_maxrss;
    return result;
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outPath,
                     const std::string& errPath, std::chrono::milliseconds limit)
{
    return ChildProcess(argv, outPath, errPath).Wait(limit);
}
