// The far end of a pseudo-terminal, standing in for the device on the line.
//
// The test holds the master side; the port under test opens the slave path.
// The master reads and writes raw bytes, and tcgetattr() on it reports the
// slave's line settings, which is what the port applied.
#pragma once

#include <termios.h>

#include <string>
#include <vector>

#include "serial/comport.h"

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    void Send(const std::string& bytes);
    // Reads until `count` bytes came or nothing more came for 2 s.
    std::string Receive(std::size_t count);
    termios Line() const;
    // Closes the master: the port sees the other side hang up.
    void HangUp();

private:
    int m_master = -1;
    std::string m_slavePath;
};

// A fresh, empty directory of the test's own for the ports' lock files, in
// force while the object lives; the earlier setting comes back after it.
// Every test program built with this file runs inside one, so no test
// depends on (or leaves anything in) the machine's own lock directory.
class ScopedLockDirectory {
public:
    ScopedLockDirectory();
    ~ScopedLockDirectory();
    ScopedLockDirectory(const ScopedLockDirectory&) = delete;
    ScopedLockDirectory& operator=(const ScopedLockDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    // The names of the entries it holds, sorted.
    std::vector<std::string> Entries() const;

private:
    std::string m_path;
    std::string m_previous;
};

// Waits (bounded, 2 s) until the port's input queue holds `count` bytes.
bool WaitForQueued(TCustomComPort& port, int count);

// Every byte value 0 to 255 once, in order.
std::string AllByteValues();
