#include "ticksources.h"

#include <stdexcept>

FakeTickSource::FakeTickSource(std::uint32_t start, std::uint64_t limitMs) : now(start), m_limitMs(limitMs)
{
    SetTickSource(this);
}

FakeTickSource::~FakeTickSource() { SetTickSource(nullptr); }

void FakeTickSource::advance(std::uint32_t milliseconds)
{
    now += milliseconds;
    advanced += milliseconds;
    if (advanced > m_limitMs) throw std::runtime_error("fake clock ran past its limit");
}

void FakeTickSource::Sleep(std::uint32_t milliseconds)
{
    sleeps.push_back(milliseconds);
    advance(milliseconds);
    if (onSleep) onSleep();
}

void FakeTickSource::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    ++pauses;
    advance(milliseconds);
    if (onPause) onPause(port);
}

QuickTimeoutClock::QuickTimeoutClock(std::uint32_t realWaitMs, std::uint32_t patientWaitMs)
    : m_realWaitMs(realWaitMs), m_patientWaitMs(patientWaitMs)
{
    SetTickSource(this);
}

QuickTimeoutClock::~QuickTimeoutClock() { SetTickSource(nullptr); }

void QuickTimeoutClock::Sleep(std::uint32_t milliseconds)
{
    TickSource::Sleep(milliseconds);
    m_now += milliseconds;
}

void QuickTimeoutClock::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    m_inputSeen = port.WaitForInput(m_inputSeen ? m_patientWaitMs : m_realWaitMs);
    m_now += m_inputSeen ? milliseconds : 1000;
}
