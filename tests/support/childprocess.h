// A program started by a test as a child process: its standard output and
// error go to files (or nowhere), and it is waited for with a deadline and
// killed when it overstays, so no test hangs on a program that does.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class ChildProcess {
public:
    // Starts argv[0] (a path) with the arguments after it; empty paths send
    // the output to /dev/null. Standard input is /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "",
                          const std::string& errPath = "");
    // Kills the program and its children (SIGKILL) when it still runs, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    bool Running();
    // Signals the program and every process it started (its process group:
    // socat's forked relays die with it, as a converter's do).
    void Signal(int signal);
    // Waits up to `limit` for the end: the exit status, or 128 + the signal
    // that ended it; -1 when it overstayed, and then it has been killed.
    int Wait(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

// Waits up to `limit` until something listens on TCP port `port` of the
// loopback address (read from /proc/net/tcp, without connecting).
bool WaitForListener(int port, std::chrono::milliseconds limit);
// A TCP port of the loopback address that nothing uses at the moment.
int FreeLoopbackPort();
