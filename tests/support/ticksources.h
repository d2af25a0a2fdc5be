// Time sources for the clock link in tests. Each installs itself as the link's
// clock for its lifetime and puts the system clock back when it goes.
//
// FakeTickSource: nothing really waits. Time moves only when the code under
// test sleeps or pauses, so limits of 5 s and 30 s pass at once; for a peer
// that has already answered (or never will).
//
// QuickTimeoutClock: pauses really wait for input, but a pause in which none
// came counts as a whole second, so a clock that stays silent times out in a
// fraction of the real limit while every reply that does come is still read;
// for a peer that answers in its own time (clocksim, a scripted clock). The
// first empty pause after input waits longest, so a reply that a busy
// machine holds back (its peer not scheduled for a few hundred ms) is still
// read, while the rest of a wait that finds nothing passes quickly.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "clocklink/clocklink.h"

class FakeTickSource : public TickSource {
public:
    // Starts at tick `start`. Gives up with an exception once more than
    // `limitMs` fake milliseconds have passed, so a wait that never ends
    // fails instead of hanging.
    explicit FakeTickSource(std::uint32_t start = 0, std::uint64_t limitMs = 10'000'000);
    ~FakeTickSource() override;
    FakeTickSource(const FakeTickSource&) = delete;
    FakeTickSource& operator=(const FakeTickSource&) = delete;

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

class QuickTimeoutClock : public TickSource {
public:
    // A pause without input really waits up to `realWaitMs`, the first
    // after input up to `patientWaitMs`: long enough for the peer's slowest
    // reply to start arriving on a loaded machine.
    explicit QuickTimeoutClock(std::uint32_t realWaitMs = 50, std::uint32_t patientWaitMs = 400);
    ~QuickTimeoutClock() override;
    QuickTimeoutClock(const QuickTimeoutClock&) = delete;
    QuickTimeoutClock& operator=(const QuickTimeoutClock&) = delete;

    std::uint32_t TickCount() override { return m_now; }
    // Sleeps really: the pacing of a send is kept as it is.
    void Sleep(std::uint32_t milliseconds) override;
    void PauseForInput(TComPort& port, std::uint32_t milliseconds) override;

private:
    std::uint32_t m_realWaitMs;
    std::uint32_t m_patientWaitMs;
    bool m_inputSeen = true;  // the last pause found input (or none has run)
    std::uint32_t m_now = 0;
};
