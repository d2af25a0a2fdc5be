// Helpers of the port tests: the failure a request raised, and a lock
// directory of the test's own for the ports' lock files.
//
// Every test program built with serialtesting.cpp runs inside a private lock
// directory, so no test depends on (or leaves anything in) the machine's own;
// a test that needs more makes its own ScopedLockDirectory.
#pragma once

#include <string>
#include <vector>

#include "serial/comport.h"

// The system's error numbers that the port's failures carry in these tests.
#ifdef _WIN32
inline constexpr int kNoDeviceError = 6;    // ERROR_INVALID_HANDLE
inline constexpr int kDeviceBusyError = 5;  // ERROR_ACCESS_DENIED
inline constexpr int kHungUpError = 21;     // ERROR_NOT_READY, Wine's answer once the far end closed
#else
inline constexpr int kNoDeviceError = 9;     // EBADF
inline constexpr int kDeviceBusyError = 16;  // EBUSY
inline constexpr int kHungUpError = 5;       // EIO
#endif

// True when the tests run under Wine, whose serial driver differs from
// Windows in a few places the tests name.
bool RunningUnderWine();

// Runs `action` and returns the EComPort it raised; code 0 when it raised none.
template <class Action>
EComPort RaisedBy(Action action)
{
    try {
        action();
    } catch (const EComPort& e) {
        return e;
    }
    return EComPort(0, 0);
}

// A fresh, empty directory in force as the lock directory while the object
// lives; the earlier setting comes back after it.
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
