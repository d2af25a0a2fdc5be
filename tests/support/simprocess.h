// A clocksim process on a pseudo-terminal, for tests.
//
// Starts clocksim with the given arguments plus a link "COM7" in a fresh
// temporary port directory, a wire log and an expected-dump file in that
// directory, and waits until it has printed its pty path. The destructor
// stops it with SIGTERM and removes the directory.
//
// On Windows (under Wine) winebridge runs clocksim natively and links the
// pty as a free COM port of the Wine prefix instead (COM10 and up), so the
// port number comes from ComNumber(); the folder holds the two files only.
//
// The expected-dump file lists one record a line: clock TAB position TAB
// good|flagged TAB payload; first what every clock holds at start, then each
// punch as it comes. Replace() and Clear() start a new life of the clocks:
// a line "#replaced" or "#cleared", TAB, the count N of record lines that
// follow for what all clocks hold from then on (0 after a clear), those N
// lines, then the punches of that life.
#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// One record the simulated clock holds, as its expected-dump file lists it.
struct SimRecord {
    int clock = 0;
    long long position = 0;  // on the clock's ring
    bool flagged = false;    // the clock answers it with "???"
    std::string payload;
};

// What the clocks held from start, or from a Replace() or Clear() on, with
// the punches that came while it lasted, in the file's order.
struct SimLife {
    std::string began;  // "start", "replaced" or "cleared"
    std::vector<SimRecord> records;
};

class WineBridge;

class SimProcess {
public:
    // `quiet` sends clocksim's standard error (its fault summary at exit)
    // to /dev/null, for tools that print tables of their own.
    explicit SimProcess(const std::vector<std::string>& args, bool quiet = false);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The number n of the port "COMn" that reaches the simulated clock.
    int ComNumber() const { return m_comNumber; }
    // The pty's slave path, the first line clocksim printed.
    const std::string& PtyPath() const { return m_ptyPath; }
    // Folder holding the link COMn to the pty; give it to SetComPortDirectory().
    const std::string& PortDirectory() const { return m_dir; }
    std::string WireLogPath() const { return m_dir + "/wire.log"; }
    std::string ExpectedDumpPath() const { return m_dir + "/expected.txt"; }
    std::string ReadWireLog() const;
    // Every record every clock holds in its current life, in the file's
    // order (each clock's from its read index on, then the punches). A line
    // that does not read as the file's format throws.
    std::vector<SimRecord> ExpectedRecords() const;
    // The records of clock number `clock` only.
    std::vector<SimRecord> ExpectedRecords(int clock) const;
    // Every life so far, the first from start. A change whose lines are not
    // all written yet, or a last line without its newline, is left out: it
    // is still being written.
    std::vector<SimLife> ExpectedLives() const;

    // Every clock becomes another clock (SIGUSR1) or is emptied (SIGUSR2);
    // both return once clocksim has acted and written the new life, and
    // throw when it has not within 10 s. POSIX only: on Windows they throw.
    void Replace();
    void Clear();

    // Sends `signal` (SIGTERM: a clean stop; SIGKILL: the line vanishes as
    // the process dies) and waits; returns the exit status (or -signal).
    int Stop(int signal = SIGTERM);
    bool Running();
    pid_t Pid() const { return m_pid; }

private:
    std::string m_dir;
    std::string m_ptyPath;
    int m_comNumber = 7;
    pid_t m_pid = -1;
    int m_stdout = -1;
    WineBridge* m_bridge = nullptr;  // Windows: owned, deleted by the destructor
};

// A file's whole content ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);
