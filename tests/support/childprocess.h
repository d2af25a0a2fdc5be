// A program started by a test, benchmark or soak tool: the one way they all
// start, watch and end the programs they run, on Linux and on Windows.
// Standard input is empty; standard output and error go to files (or are
// dropped: kNoOutput).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
using ChildId = unsigned long;  // the process id
inline const std::string kNoOutput = "NUL";
#else
#include <sys/types.h>
using ChildId = pid_t;
inline const std::string kNoOutput = "/dev/null";
#endif

struct ChildResult {
    int status = -1;      // exit status, or 128 + the signal that ended it
    bool exited = false;  // ended by exit, not by a signal
    bool hung = false;    // killed because it outlived the wait's limit
    double seconds = 0;   // from start to end
    long peakKiB = 0;     // its peak resident memory
};

class ChildProcess {
public:
#ifdef _WIN32
    // Starts `argv` (argv[0] a path; all UTF-8) in `workDir` ("": this
    // process's folder), in a console of its own, so that Ctrl+C reaches it
    // alone.
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = kNoOutput,
                          const std::string& errPath = kNoOutput, const std::string& workDir = "");
#else
    // Starts `argv` (argv[0] a path). `inChild` runs in the child just
    // before the program replaces it (to change HOME, signals, the user).
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& outPath = kNoOutput,
                          const std::string& errPath = kNoOutput, const std::function<void()>& inChild = {});
    // Runs `body` in a forked copy of this process, which exits with what
    // `body` returns; standard input and output stay this process's.
    // `ownGroup`: the copy leads a process group of its own, and Signal and
    // the kill at the end reach the whole group (the programs it started).
    explicit ChildProcess(const std::function<int()>& body, bool ownGroup = false);
#endif
    // Kills the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ChildId Pid() const { return m_pid; }
    // On Windows SIGINT is Ctrl+C pressed in the program's console, and any
    // other signal ends the program.
    void Signal(int signal) const;
    // Waits for the end; a program still running after `limit` is killed
    // (SIGKILL) and reported as hung.
    ChildResult Wait(std::chrono::milliseconds limit = std::chrono::minutes(5));
    // The end, when the program has ended; nothing while it runs.
    std::optional<ChildResult> Poll();

private:
#ifdef _WIN32
    void* m_process = nullptr;  // its handle
    ChildId m_pid = 0;
#else
    pid_t Target() const { return m_ownGroup ? -m_pid : m_pid; }
    std::optional<ChildResult> Reap(int options);

    pid_t m_pid = -1;
    bool m_ownGroup = false;
#endif
    std::chrono::steady_clock::time_point m_started;
};

// Runs `argv` to its end (see ChildProcess::Wait).
inline ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outPath = kNoOutput,
                            const std::string& errPath = kNoOutput,
                            std::chrono::milliseconds limit = std::chrono::minutes(5))
{
    return ChildProcess(argv, outPath, errPath).Wait(limit);
}

#ifndef _WIN32
// Runs `body` in a forked copy of this process and returns the text it
// returned; nothing when the copy did not end normally.
std::optional<std::string> TextFromChild(const std::function<std::string()>& body);
#endif
