#include "linkclocks.h"

#include <stdexcept>

FakeLinkClock::FakeLinkClock(std::uint32_t start, std::uint64_t limitMs) : now(start), m_limitMs(limitMs)
{
    SetLinkClock(this);
}

FakeLinkClock::~FakeLinkClock() { SetLinkClock(nullptr); }

void FakeLinkClock::advance(std::uint32_t milliseconds)
{
    now += milliseconds;
    advanced += milliseconds;
    if (advanced > m_limitMs) throw std::runtime_error("fake clock ran past its limit");
}

void FakeLinkClock::Sleep(std::uint32_t milliseconds)
{
    sleeps.push_back(milliseconds);
    advance(milliseconds);
    if (onSleep) onSleep();
}

void FakeLinkClock::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    ++pauses;
    advance(milliseconds);
    if (onPause) onPause(port);
}

QuickTimeoutClock::QuickTimeoutClock(std::uint32_t realWaitMs) : m_realWaitMs(realWaitMs)
{
    SetLinkClock(this);
}

QuickTimeoutClock::~QuickTimeoutClock() { SetLinkClock(nullptr); }

void QuickTimeoutClock::Sleep(std::uint32_t milliseconds)
{
    LinkClock::Sleep(milliseconds);
    m_now += milliseconds;
}

void QuickTimeoutClock::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    m_now += port.WaitForInput(m_realWaitMs) ? milliseconds : 1000;
}
