#include "simprocess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef CLOCKSIM_PATH
#define CLOCKSIM_PATH "clocksim"
#endif

SimProcess::SimProcess(const std::vector<std::string>& args, bool quiet)
{
    char pattern[] = "/tmp/clocksim-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    m_dir = pattern;

    std::vector<std::string> argv{CLOCKSIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const std::string& extra :
         {std::string("--link"), m_dir + "/COM" + std::to_string(m_comNumber), std::string("--wire-log"),
          WireLogPath(), std::string("--dump-expected"), ExpectedDumpPath()})
        argv.push_back(extra);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        if (quiet) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, STDERR_FILENO);
        }
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    m_stdout = pipeFds[0];

    // The first line is the pty path; the link exists once it is printed.
    std::string line;
    char c;
    while (true) {
        pollfd p{m_stdout, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = read(m_stdout, &c, 1);
        if (n <= 0 || c == '\n') break;
        line.push_back(c);
    }
    if (line.empty()) {
        Stop();
        throw std::runtime_error("clocksim did not start: " + std::string(CLOCKSIM_PATH));
    }
    m_ptyPath = line;
}

SimProcess::~SimProcess()
{
    Stop();
    if (m_stdout >= 0) close(m_stdout);
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

bool SimProcess::Running()
{
    if (m_pid <= 0) return false;
    int status;
    return waitpid(m_pid, &status, WNOHANG) == 0;
}

int SimProcess::Stop(int signal)
{
    if (m_pid <= 0) return 0;
    kill(m_pid, signal);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

namespace {

// Sends `signal` and waits until the expected dump holds one more life,
// begun as `began`: clocksim writes it whole before it reads another command.
void ChangeClocks(SimProcess& sim, int signal, const std::string& began)
{
    const std::size_t before = sim.ExpectedLives().size();
    if (!sim.Running() || kill(sim.Pid(), signal) != 0)
        throw std::runtime_error("clocksim is not running: cannot make its clocks " + began);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::vector<SimLife> lives = sim.ExpectedLives();
        if (lives.size() > before && lives.back().began == began) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw std::runtime_error("clocksim did not make its clocks " + began + " within 10 s");
}

}  // namespace

void SimProcess::Replace() { ChangeClocks(*this, SIGUSR1, "replaced"); }

void SimProcess::Clear() { ChangeClocks(*this, SIGUSR2, "cleared"); }
