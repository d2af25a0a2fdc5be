// Helpers for the clock-link tests: hex literals, a clock whose time the test
// moves, and a pseudo-terminal whose master end plays the clock.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "clocklink/clocklink.h"

// "01 41 AE" -> the three bytes.
std::string Hex(std::string_view spaced);
// The bytes as "01 41 AE", for readable failures.
std::string ToHex(std::string_view bytes);

// A LinkClock whose time moves only when the code under test sleeps or pauses.
// Installs itself for its lifetime. Gives up with an exception once more than
// `limitMs` fake milliseconds have passed, so a broken wait fails instead of hanging.
class FakeLinkClock : public LinkClock {
public:
    explicit FakeLinkClock(std::uint32_t start = 0, std::uint64_t limitMs = 10'000'000);
    ~FakeLinkClock() override;

    std::uint32_t TickCount() override { return now; }
    void Sleep(std::uint32_t milliseconds) override;
    void PauseForInput(TComPort& port, std::uint32_t milliseconds) override;

    std::uint32_t now;
    std::uint64_t advanced = 0;  // fake milliseconds passed since construction
    std::vector<std::uint32_t> sleeps;
    int pauses = 0;
    // Called after each Sleep / PauseForInput has moved the time.
    std::function<void()> onSleep;
    std::function<void(TComPort&)> onPause;

private:
    void advance(std::uint32_t milliseconds);
    std::uint64_t m_limitMs;
};

// A pty pair. The test holds the master; the port under test opens SlavePath().
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return m_slavePath; }
    void Write(std::string_view bytes);
    // Whatever the port has sent so far, waiting up to `waitMs` for at least
    // `atLeast` bytes.
    std::string Read(std::size_t atLeast = 0, int waitMs = 2000);
    // Hangs up: the port's next read fails.
    void Close();

private:
    int m_master = -1;
    std::string m_slavePath;
};

// Waits (really, bounded) until `port` holds at least `count` received bytes,
// so a test can be sure its reply is there before the collector runs.
void WaitForBytes(TComPort& port, int count);

// Sets up the shared port on the peer's slave at `baudRate` and opens it, so
// the line is raw before the peer writes anything.
TComPort& OpenSharedPortOn(const PtyPeer& peer, const std::string& baudRate = "9600");
