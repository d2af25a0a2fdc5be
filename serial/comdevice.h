// The operating-system side of the serial port.
//
// TCustomComPort keeps all state and decides what happens when; the functions
// here do the device work. Each platform has one file that defines them
// (comport_posix.cpp, ...) and CMake builds only that one. Every function that
// can fail returns 0 on success or the operating system's error number, read
// right after the failing call, which the caller puts into EComPort.
//
// Reads and writes of the port and the event watch of its event thread may run
// at the same time on one device; nothing else is called concurrently.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial/comport.h"

// An open device and what the backend needs to know to serve requests.
struct ComDevice {
    virtual ~ComDevice() = default;  // the network backend keeps more
    std::intptr_t handle = -1;
    // Served by the network backend (netDevice* below), not the platform's.
    bool network = false;

    // Time-outs as the port last applied them (32-bit patterns, -1 = MAXDWORD).
    std::uint32_t readInterval = 0xFFFFFFFFu;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 100;
    std::uint32_t writeTotalConstant = 1000;
    // Keeps `timeouts` as the ones the port applied.
    void KeepTimeouts(const TComTimeouts& timeouts) {
        readInterval = static_cast<std::uint32_t>(timeouts.ReadInterval());
        readTotalMultiplier = static_cast<std::uint32_t>(timeouts.ReadTotalMultiplier());
        readTotalConstant = static_cast<std::uint32_t>(timeouts.ReadTotalConstant());
        writeTotalMultiplier = static_cast<std::uint32_t>(timeouts.WriteTotalMultiplier());
        writeTotalConstant = static_cast<std::uint32_t>(timeouts.WriteTotalConstant());
    }

    using Clock = std::chrono::steady_clock;
    // The deadline of a request whose total time-out is multiplier * bytes +
    // constant ms; both zero means the request has no total time-out, and a
    // limit of years is none either (it would overflow the clock).
    static std::optional<Clock::time_point> TotalDeadline(std::uint32_t multiplier, std::uint32_t constant,
                                                          std::int32_t bytes) {
        const std::uint64_t ms = std::uint64_t{multiplier} * static_cast<std::uint64_t>(bytes) + constant;
        constexpr std::uint64_t kTenYearsMs = 10ull * 365 * 24 * 3600 * 1000;
        if ((multiplier == 0 && constant == 0) || ms > kTenYearsMs) {
            return std::nullopt;
        }
        return Clock::now() + std::chrono::milliseconds(ms);
    }
    std::optional<Clock::time_point> WriteDeadline(std::int32_t bytes) const {
        return TotalDeadline(writeTotalMultiplier, writeTotalConstant, bytes);
    }

    // How a read of `bytes` waits under the kept read time-outs, which mean
    // what they mean to Win32's ReadFile on every backend.
    struct ReadWait {
        bool atOnce = false;                        // return at once with whatever has arrived
        bool firstByteOnly = false;                 // wait for the first byte, then return what arrived
        std::optional<Clock::time_point> deadline;  // none: no total time-out
        std::uint32_t interval = 0;  // the longest gap after the first byte (0, MAXDWORD: none)
        // Milliseconds the next wait may take once `received` bytes are in (-1: no limit).
        int NextWaitMs(std::int32_t received) const {
            int timeout = MillisecondsLeft(deadline);
            // After the first byte, a gap longer than the interval ends the read.
            if (received > 0 && interval != 0 && interval != 0xFFFFFFFFu) {
                const int gap = static_cast<int>(std::min<std::uint32_t>(interval, INT_MAX));
                timeout = timeout < 0 ? gap : std::min(timeout, gap);
            }
            return timeout;
        }
    };
    ReadWait PlanRead(std::int32_t bytes) const {
        constexpr std::uint32_t kMax = 0xFFFFFFFFu;
        ReadWait wait;
        wait.interval = readInterval;
        wait.atOnce = readInterval == kMax && readTotalMultiplier == 0 && readTotalConstant == 0;
        wait.firstByteOnly = readInterval == kMax && readTotalMultiplier == kMax && readTotalConstant != 0 &&
                             readTotalConstant != kMax;
        wait.deadline = wait.firstByteOnly ? Clock::now() + std::chrono::milliseconds(readTotalConstant)
                                           : TotalDeadline(readTotalMultiplier, readTotalConstant, bytes);
        return wait;
    }
    // Milliseconds until `deadline`, none below 0; -1 when there is none.
    static int MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
        if (!deadline) {
            return -1;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }

    // Bytes taken from the input queue so far; lets the event thread tell
    // newly received bytes from a queue that was partly read meanwhile.
    std::atomic<std::uint64_t> bytesRead{0};
    // Bytes written so far; tells the event thread an emptied output queue
    // that is news from one it has reported.
    std::atomic<std::uint64_t> bytesWritten{0};

    // Line facts the backend uses between requests.
    std::int32_t bitRate = 9600;
    bool discardNull = false;
    std::atomic<std::int32_t> inputSize{1024};  // also read by the event thread

    // The lock file that announces the device as ours to other programs
    // (empty: none); removed when the device is closed.
    std::string lockFile;

    // A read failure found after a read had already taken bytes: those bytes
    // are delivered first and the failure is reported by the next read. The
    // queue count may run on the event thread (smNone), hence atomic.
    std::atomic<int> pendingReadError{0};

    // A byte a wait for input took from the driver, delivered by the next
    // read (-1: none). Backends whose waits only look leave it at -1.
    std::atomic<int> peekedByte{-1};
    // Line errors (framing, overrun, parity, overflow) the driver reported
    // since the open; backends that cannot tell leave it at 0.
    std::atomic<std::uint32_t> lineErrors{0};
    // The system's timer period was lowered for this open (Windows without
    // high-resolution timers); given back at the close.
    bool timerPeriodLowered = false;
    // The wait length whose read time-outs a wait for input left set on the
    // device (Windows), or -1 while the port's own are set.
    std::int64_t waitTimeoutApplied = -1;
};

// The folder where "COMn" entries are looked up (SetComPortDirectory).
std::string comPortDirectory();
// The platform's device for a port name that is not a network address, as
// ComPortDevice() describes it.
std::string comDevicePath(const std::string& portName);

// Opens `portName` for exclusive use. On failure returns the error number and
// leaves `device` untouched.
int comDeviceOpen(const std::string& portName, std::unique_ptr<ComDevice>& device);
// Releases the device; never fails in a way the caller can act on.
void comDeviceClose(ComDevice& device);

// The three setting groups; each returns 0 or the error number of a refusal.
int comDeviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize);
int comDeviceSetLine(ComDevice& device, const TCustomComPort& settings);
int comDeviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts);

// Sends `size` bytes and waits until they are out or the write time-out ends;
// `sent` is the count that went out either way.
int comDeviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent);
// Reads up to `size` bytes as the read time-outs say; a hang-up of the other
// side is an error, not an empty read. Bytes taken before such a failure are
// returned as a success, and the failure comes with the next read.
int comDeviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received);
// Bytes waiting in the input queue; a line that hung up has none waiting
// (its failure is left for the next read to report).
int comDeviceInputCount(ComDevice& device, std::int32_t& count);
// Reads and clears the line-error state.
int comDeviceClearErrors(ComDevice& device);
// Modem status as MS_CTS_ON (0x10), MS_DSR_ON (0x20), MS_RING_ON (0x40),
// MS_RLSD_ON (0x80); a device without modem lines reports 0 and succeeds.
int comDeviceModemStatus(ComDevice& device, std::uint32_t& status);
// Cuts requests still pending on the device short.
int comDevicePurgeRequests(ComDevice& device);
// Empties both driver queues; received bytes not yet read are lost.
int comDevicePurgeQueues(ComDevice& device);
// Waits up to `milliseconds` for something to read (or a hang-up to report).
bool comDeviceWaitForInput(ComDevice& device, std::int32_t milliseconds);
// Sleeps on the system's finest timer until about `wake` on the steady clock.
// It may end late by the system's wake-up delay, and, where the timer is
// coarser than the clock, early; ComSleep waits out what is left.
void comSleepUntil(std::chrono::steady_clock::time_point wake);
// The error number of a request made without an open device.
int comNoDeviceError();

// The event thread's view of a device: it waits for the events of a mask
// (Win32 EV_* bits) until stopped from another thread.
struct ComEventWatch;
struct ComEventWatchDeleter {
    void operator()(ComEventWatch* watch) const;
};
using ComEventWatchPtr = std::unique_ptr<ComEventWatch, ComEventWatchDeleter>;

enum class ComWaitResult { Events, Stopped, Failed };

int comWatchCreate(ComDevice& device, std::uint32_t mask, ComEventWatchPtr& watch);
// Blocks until events of the mask happen (stored in `events`) or the watch is
// stopped. Safe to call only from the event thread.
ComWaitResult comWatchWait(ComEventWatch& watch, std::uint32_t& events);
// Asks a waiting (or the next) comWatchWait to return Stopped. Any thread.
void comWatchStop(ComEventWatch& watch);

// ---------------------------------------------------------------------------
// Network ports (comport_net.cpp): the same contract on a TCP connection to a
// serial-to-Ethernet converter, for "socket://HOST:PORT" and
// "rfc2217://HOST:PORT". Error numbers are the socket layer's (errno,
// WSAGetLastError()).

int netDeviceOpen(const std::string& url, std::unique_ptr<ComDevice>& device);
void netDeviceClose(ComDevice& device);
int netDeviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize);
int netDeviceSetLine(ComDevice& device, const TCustomComPort& settings);
int netDeviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts);
int netDeviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent);
int netDeviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received);
int netDeviceInputCount(ComDevice& device, std::int32_t& count);
int netDeviceClearErrors(ComDevice& device);
int netDeviceModemStatus(ComDevice& device, std::uint32_t& status);
int netDevicePurgeRequests(ComDevice& device);
int netDevicePurgeQueues(ComDevice& device);
bool netDeviceWaitForInput(ComDevice& device, std::int32_t milliseconds);

struct NetEventWatch;
struct NetEventWatchDeleter {
    void operator()(NetEventWatch* watch) const;
};
using NetEventWatchPtr = std::unique_ptr<NetEventWatch, NetEventWatchDeleter>;
int netWatchCreate(ComDevice& device, std::uint32_t mask, NetEventWatchPtr& watch);
ComWaitResult netWatchWait(NetEventWatch& watch, std::uint32_t& events);
void netWatchStop(NetEventWatch& watch);
