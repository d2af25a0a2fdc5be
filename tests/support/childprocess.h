// A program started by a test, benchmark or soak tool: the one way they all
// start, watch and end the programs they run. Standard input is /dev/null;
// standard output and error go to files (or /dev/null).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ChildResult {
    int status = -1;      // exit status, or 128 + the signal that ended it
    bool exited = false;  // ended by exit, not by a signal
    bool hung = false;    // killed because it outlived the wait's limit
    double seconds = 0;   // from start to end
    long peakKiB = 0;     // its peak resident memory
};

class ChildProcess {
public:
    // Starts `argv` (argv[0] a path). `inChild` runs in the child just
    // before the program replaces it (to change HOME, signals, the user).
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = "/dev/null",
                          const std::string& errPath = "/dev/null",
                          const std::function<void()>& inChild = {});
    // Runs `body` in a forked copy of this process, which exits with what
    // `body` returns; standard input and output stay this process's.
    // `ownGroup`: the copy leads a process group of its own, and Signal and
    // the kill at the end reach the whole group (the programs it started).
    explicit ChildProcess(const std::function<int()>& body, bool ownGroup = false);
    // Kills the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    void Signal(int signal) const;
    // Waits for the end; a program still running after `limit` is killed
    // with SIGKILL and reported as hung.
    ChildResult Wait(std::chrono::milliseconds limit = std::chrono::minutes(5));
    // The end, when the program has ended; nothing while it runs.
    std::optional<ChildResult> Poll();

private:
    pid_t Target() const { return m_ownGroup ? -m_pid : m_pid; }
    std::optional<ChildResult> Reap(int options);

    pid_t m_pid = -1;
    bool m_ownGroup = false;
    std::chrono::steady_clock::time_point m_started;
};

// Runs `argv` to its end (see ChildProcess::Wait).
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outPath = "/dev/null",
                     const std::string& errPath = "/dev/null",
                     std::chrono::milliseconds limit = std::chrono::minutes(5));
