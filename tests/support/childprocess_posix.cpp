#include "childprocess.h"

#include <csignal>
#include <cstdio>
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

ChildProcess::ChildProcess(const std::function<int()>& body, bool ownGroup)
    : m_ownGroup(ownGroup), m_started(std::chrono::steady_clock::now())
{
    std::fflush(nullptr);  // what is buffered is printed once, not once more by the copy
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        if (ownGroup) setpgid(0, 0);
        _exit(body());
    }
    // Also here, so that a signal cannot come before the child's own call.
    if (ownGroup) setpgid(m_pid, m_pid);
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        kill(Target(), SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0) kill(Target(), signal);
}

ChildResult ChildProcess::Wait(std::chrono::milliseconds limit)
{
    if (m_pid <= 0) return {};
    const auto giveUp = m_started + limit;
    while (std::chrono::steady_clock::now() < giveUp)
        if (std::optional<ChildResult> ended = Poll())
            return *ended;
        else
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    kill(Target(), SIGKILL);
    ChildResult result = Reap(0).value_or(ChildResult{});
    result.hung = true;
    return result;
}

std::optional<ChildResult> ChildProcess::Poll()
{
    if (m_pid <= 0) return std::nullopt;
    return Reap(WNOHANG);
}

// Collects the end of the program; nothing when `options` has WNOHANG and
// it still runs. A program that cannot be waited for counts as ended, with
// status -1.
std::optional<ChildResult> ChildProcess::Reap(int options)
{
    ChildResult result;
    int status = 0;
    rusage usage{};
    const pid_t reaped = wait4(m_pid, &status, options, &usage);
    if (reaped == 0) return std::nullopt;
    m_pid = -1;
    if (reaped < 0) return result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peakKiB = usage.ru_maxrss;
    return result;
}

std::optional<std::string> TextFromChild(const std::function<std::string()>& body)
{
    int ends[2];
    if (pipe(ends) != 0) return std::nullopt;
    ChildProcess child([&] {
        close(ends[0]);
        const std::string text = body();
        return write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
    });
    close(ends[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(ends[0]);
    const ChildResult end = child.Wait();
    if (!end.exited || end.status != 0) return std::nullopt;
    return text;
}
