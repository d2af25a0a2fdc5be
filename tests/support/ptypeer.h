// The far end of a pseudo-terminal, standing in for the device on the line.
//
// The test holds the master side; the port under test opens SlavePath(). The
// master sends and receives raw bytes, tcgetattr() on it reports the line
// settings the port applied to the slave, and closing it is a hang-up the
// port sees on its next read.
//
// On Windows (under Wine) the master is held by winebridge for the test, and
// SlavePath() is the name of the COM port linked to the slave ("COM12").
// The line settings cannot be looked at from there.
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#include <cstddef>
#include <string>
#include <string_view>

#include "serial/comport.h"

class WineBridge;

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }

    // Writes all of `bytes` to the line; throws when the line takes none.
    void Send(std::string_view bytes);
    // What the port has sent: waits up to `waitMs` (really) for at least
    // `atLeast` bytes, then also takes whatever else is already there.
    // Receive(0) takes what is there now without waiting.
    std::string Receive(std::size_t atLeast = 0, int waitMs = 2000);
#ifndef _WIN32
    // The line settings as the port left them.
    termios Line() const;
#endif
    // Closes the master: the port's next read fails. Idempotent.
    void HangUp();

private:
    int m_master = -1;
    std::string m_slavePath;
    WineBridge* m_bridge = nullptr;  // Windows: owned, deleted by the destructor
};

// Waits (really, at most 5 s) until the port's input queue holds at least
// `count` bytes, so a test knows a reply is there before the code reads it.
// Throws when they do not come, which fails the test that waited.
void WaitForQueued(TCustomComPort& port, int count);
