// A program started by a test, benchmark or soak tool: the one way they all
// start, watch and end the programs they run. Standard input is /dev/null;
// standard output and error go to files (or nowhere). The program runs in a
// process group of its own, so a signal reaches whatever it started too
// (socat's forked relays die with it, as a converter's do), and a program
// that overstays its wait is killed, so nothing hangs on it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ChildResult {
    int status = -1;      // exit status, or 128 + the signal that ended it; -1 when it hung
    bool exited = false;  // ended by exit, not by a signal
    bool hung = false;    // killed because it outlived the wait's limit
    double seconds = 0;   // from start to end
    long peakKiB = 0;     // its peak resident memory
};

class ChildProcess {
public:
    // Starts argv[0] (a path) with the arguments after it; empty paths send
    // the output nowhere. `inChild` runs in the child just before the
    // program replaces it (to change HOME, signals or the user).
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "",
                          const std::string& errPath = "", const std::function<void()>& inChild = {});
    // Kills the program and its children (SIGKILL) when it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    // Signals the program and every process it started.
    void Signal(int signal);
    // Waits for the end; a program still running after `limit` is killed
    // and reported as hung.
    ChildResult Wait(std::chrono::milliseconds limit = std::chrono::minutes(5));

private:
    pid_t m_pid = -1;
    ChildResult m_result;
    std::chrono::steady_clock::time_point m_started;
};

// Runs `argv` to its end (see ChildProcess::Wait).
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outPath = "",
                     const std::string& errPath = "", std::chrono::milliseconds limit = std::chrono::minutes(5));

// Waits up to `limit` until something listens on TCP port `port` of the
// loopback address (read from /proc/net/tcp, without connecting).
bool WaitForListener(int port, std::chrono::milliseconds limit);
// A TCP port of the loopback address that nothing uses at the moment.
int FreeLoopbackPort();
