// The clock's end of the serial line: the master side of a pseudo-terminal.
//
// The reading program opens and closes the slave for every operation, so a
// closed slave is a normal state here, not the end: while no slave is open
// the master reports POLLHUP and reads fail with EIO, and the line then
// looks again a few milliseconds later instead of spinning or giving up.
// Writes never block for long: a reply nobody reads is dropped after a
// second, as bytes on a real wire would be lost.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace clocksim {

class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens a pty in raw mode. Returns an error text, empty on success.
    std::string open();
    const std::string& slavePath() const { return m_slavePath; }

    // Places a symlink to the slave at path (creating its folder) and
    // remembers it so close() removes it. Returns an error text. A link an
    // earlier clocksim left behind is replaced, but one that another
    // clocksim still serves is not: each link is claimed by a lock on a
    // hidden file beside it (".<name>.clocksim"), held while we serve it.
    std::string placeLink(const std::string& path);
    void removeLink();

    // Starts watching for the reader's open of the slave; call it before
    // the slave's path is given out. Returns an error text.
    std::string watchOpen();
    // Waits until the reader opens the slave, or until stopped, and returns
    // the moment of the open (nothing when stopped or not watched). For its
    // first seconds it spins rather than sleeps, so it sees the open within
    // microseconds: the reader's whole open takes less than a sleeper needs
    // to wake up.
    std::optional<std::chrono::steady_clock::time_point> awaitOpen();

    // Waits up to timeoutMs for bytes from the reader and returns them
    // (empty when none came). Never fails while the slave is closed.
    std::string read(int timeoutMs);

    // Writes bytes at once, or, when byteTime is not zero (line-rate
    // pacing), byte i at (i + 1) * byteTime after the call. Returns false
    // when the bytes could not be written (no reader for a second).
    bool write(std::string_view bytes, std::chrono::nanoseconds byteTime);

    void close();
    bool isOpen() const { return m_master >= 0; }

private:
    // Takes the lock that claims the link at `path`. Returns an error text.
    std::string claimLink(const std::string& path);

    int m_master = -1;
    int m_openWatch = -1;
    std::string m_slavePath;
    std::string m_link;
    std::string m_linkLock;  // the file whose lock claims m_link
    int m_linkLockFd = -1;
};

// Sleeps for ms milliseconds, in short steps so that a stop request (see
// stopRequested) ends it early. Returns false when stopped.
bool sleepUnlessStopped(int ms);
// Set by SIGINT, SIGTERM and SIGHUP.
bool stopRequested();
void installStopHandlers();

// SIGUSR1 asks that the clocks become other clocks, SIGUSR2 that they be
// emptied. The handlers only note the request; the simulator takes it
// between commands. Of requests that come before it looks, the last wins.
enum class ChangeRequest { None, Replace, Clear };
ChangeRequest takeChangeRequest();
void installChangeHandlers();

}  // namespace clocksim
