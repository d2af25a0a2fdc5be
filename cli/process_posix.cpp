#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "process.h"
#include "serial/comport.h"

namespace cli {

namespace {

std::atomic<int> g_stopSignal{0};

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv, std::string& program)
{
    program = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "clockreader-cli";
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

// The signals are taken by a thread of their own through sigwait(), blocked
// everywhere else: no system call of the serial port is ever interrupted.
void WatchStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) continue;
            int expected = 0;
            if (!g_stopSignal.compare_exchange_strong(expected, signal)) {
                RemoveHeldComLockFiles();
                _exit(128 + signal);
            }
        }
    }).detach();
}

int StopSignal() { return g_stopSignal.load(); }

void WriteText(std::FILE* stream, const std::string& text) { std::fputs(text.c_str(), stream); }

void StopSignalsFinished()
{
    std::fflush(stdout);
    std::fflush(stderr);
}

void UseBinaryStandardOutput() {}

std::FILE* OpenFileForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

}  // namespace cli
