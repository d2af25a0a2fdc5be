// The serial port on Windows (Win32 communications functions).
//
// Port names: "COMn" opens the system's device \\.\COMn (so COM10 and above
// open too); a name that already starts with \\.\ opens that device. Anything
// else fails as an absent device (ERROR_FILE_NOT_FOUND), so no text from the
// window can lead the open to a file or another kind of device.
//
// Exclusive use: the device is opened with no sharing, which is the lock; a
// second holder is refused by the system (ERROR_ACCESS_DENIED).
//
// Every request (each read, each write, the event wait) has its own OVERLAPPED
// and completion event, so the event thread and the caller may have requests
// pending on the one handle at once. They lie on the heap with the bytes the
// request moves, never in a caller's frame: the driver writes into them until
// it ends the request, and a driver may end one long after the cancel that
// was meant to end it. A request that outlives its cancel is handed to its
// device's leftovers and freed once it has ended; closing the handle ends
// every request, and one that a driver keeps even past that is left to it.
// The error numbers are GetLastError() values, read right after the failing
// call.
//
// No wait depends on the system's timer tick (15.6 ms by default): a wait for
// input is a read the driver ends when the first byte arrives, pauses sleep
// on a high-resolution waitable timer (or, on systems without one, on a timer
// period of 1 ms asked for while a port is open) and wait out their last
// part against the performance counter (ComSleep), and every wait has a
// deadline, so a driver that ignores its time-outs cannot hang the program.
#include <windows.h>
#include <timeapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "serial/comdevice.h"

// Windows 10 1803 and later; older headers do not name it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// The error number our messages carry, taken right after the failing call.
int lastError() {
    DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

HANDLE handleOf(const ComDevice& device) { return reinterpret_cast<HANDLE>(device.handle); }

// A device without modem lines (a virtual port, Wine's view of a terminal)
// refuses GetCommModemStatus with these; that means "no lines", not a failure.
bool noModemLines(int error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }

bool isComName(const std::string& name) {
    return name.size() > 3 && name.size() <= 12 && name.compare(0, 3, "COM") == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The device path for a port name, or "" when the name names no device.
std::string devicePath(const std::string& portName) {
    static const std::string kDevicePrefix = "\\\\.\\";
    if (isComName(portName)) {
        return kDevicePrefix + portName;
    }
    if (portName.size() > kDevicePrefix.size() &&
        portName.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0 &&
        portName.find_first_of("\\/", kDevicePrefix.size()) == std::string::npos) {
        return portName;
    }
    return "";
}

// How long past its own time-outs a request may run before it is given up,
// and how long a cancelled one is waited for.
constexpr DWORD kDeadlineSlackMs = 2000;
constexpr DWORD kCancelWaitMs = 1000;

// The longest a request may take by the time-outs: total constant plus
// multiplier per byte (MAXDWORD parts, "no limit" in the driver's terms,
// count as none), plus the slack.
DWORD requestDeadline(std::uint32_t multiplier, std::uint32_t constant, DWORD bytes) {
    const std::uint64_t perByte = multiplier == MAXDWORD ? 0 : multiplier;
    const std::uint64_t fixed = constant == MAXDWORD ? 0 : constant;
    const std::uint64_t total = fixed + perByte * bytes + kDeadlineSlackMs;
    return static_cast<DWORD>(std::min<std::uint64_t>(total, MAXDWORD - 1));
}

// One device request as the driver sees it: the OVERLAPPED, the bytes it
// reads or writes, the events WaitCommEvent reports, and the manual-reset
// event that tells its end.
struct Request {
    OVERLAPPED overlapped{};
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    DWORD events = 0;
    std::vector<char> bytes;

    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    // Whether the driver is done with it: the system resets the event as a
    // request begins and sets it after the request's last write.
    bool Ended() const {
        return HasOverlappedIoCompleted(&overlapped) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    }
};

// A request the driver may still write into is never freed.
void abandon(std::unique_ptr<Request>& request) { static_cast<void>(request.release()); }

// An open device and the requests that outlived their cancel on it.
struct WinDevice : ComDevice {
    std::mutex leftoverMutex;
    std::vector<std::unique_ptr<Request>> leftovers;  // guarded by leftoverMutex
    std::atomic<bool> hasLeftovers{false};

    ~WinDevice() override {
        for (std::unique_ptr<Request>& request : leftovers) {
            if (!request->Ended()) {
                abandon(request);
            }
        }
    }
    void Keep(std::unique_ptr<Request> request) {
        std::lock_guard lock(leftoverMutex);
        leftovers.push_back(std::move(request));
        hasLeftovers = true;
    }
    void FreeEnded() {
        if (!hasLeftovers.load()) {
            return;
        }
        std::lock_guard lock(leftoverMutex);
        std::erase_if(leftovers, [](const std::unique_ptr<Request>& request) { return request->Ended(); });
        hasLeftovers = !leftovers.empty();
    }
};

WinDevice& win(ComDevice& device) { return static_cast<WinDevice&>(device); }

// The calling thread's request, made once and used for each of its requests
// in turn (a thread has one pending at a time; the event thread's wait has
// its own), so no event or buffer is made for every byte that comes. One
// handed to the leftovers is replaced by a new one.
std::unique_ptr<Request>& threadRequest() {
    static thread_local std::unique_ptr<Request> request;
    if (!request || request->event == nullptr) {
        request = std::make_unique<Request>();
    }
    return request;
}

// One device request of the calling thread, on its thread's Request.
class AsyncRequest {
public:
    // The event's low bit set keeps the request's end from being queued to a
    // completion port: there is none, and Wine asks its server for that
    // queueing on every request otherwise.
    explicit AsyncRequest(ComDevice& device) : m_device(win(device)), m_request(threadRequest().get()) {
        m_device.FreeEnded();
        m_request->overlapped = OVERLAPPED{};
        m_request->overlapped.hEvent =
            reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(m_request->event) | 1);
    }
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;

    bool Valid() const { return m_request->event != nullptr; }
    OVERLAPPED* Overlapped() { return &m_request->overlapped; }
    // The request's own bytes, `size` of them, for the driver to read into or
    // write from.
    char* Bytes(std::size_t size) {
        m_request->bytes.resize(std::max<std::size_t>(size, 1));
        return m_request->bytes.data();
    }

    // Waits up to `deadlineMs` for the request to end; returns 0 and the
    // count it moved, or the error number of the wait or of the request. A
    // request the driver lets run past its deadline is cancelled and fails
    // with ERROR_SEM_TIMEOUT, with what it had moved by then; one that does
    // not end even then goes to the device's leftovers, having moved nothing
    // the caller sees.
    int Complete(HANDLE device, DWORD& moved, DWORD deadlineMs) {
        moved = 0;
        OVERLAPPED* overlapped = &m_request->overlapped;
        // A request the driver ended at once has its result in place: no
        // wait for the event it has set.
        if (HasOverlappedIoCompleted(overlapped)) {
            return GetOverlappedResult(device, overlapped, &moved, FALSE) ? 0 : lastError();
        }
        const DWORD waited = WaitForSingleObject(m_request->event, deadlineMs);
        if (waited == WAIT_TIMEOUT) {
            CancelIoEx(device, overlapped);
            if (WaitForSingleObject(m_request->event, kCancelWaitMs) == WAIT_OBJECT_0) {
                GetOverlappedResult(device, overlapped, &moved, FALSE);
            } else {
                m_device.Keep(std::move(threadRequest()));
            }
            return ERROR_SEM_TIMEOUT;
        }
        if (waited != WAIT_OBJECT_0) {
            return lastError();
        }
        if (!GetOverlappedResult(device, overlapped, &moved, FALSE)) {
            return lastError();
        }
        return 0;
    }

private:
    WinDevice& m_device;
    Request* m_request;
};

// Reads and clears the device's error state; `waiting` is its input count
// (with a byte a wait for input has taken). Each line error reported
// (framing, overrun, parity, input queue overflow) is counted, since the
// clearing would otherwise hide it.
int clearCommError(ComDevice& device, DWORD& waiting) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handleOf(device), &errors, &status)) {
        return lastError();
    }
    for (DWORD kind : {CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_RXOVER}) {
        if (errors & kind) {
            device.lineErrors.fetch_add(1);
        }
    }
    waiting = status.cbInQue + (device.peekedByte.load() >= 0 ? 1 : 0);
    return 0;
}

// The port's own time-outs, as last applied.
COMMTIMEOUTS ownTimeouts(const ComDevice& device) {
    COMMTIMEOUTS own{};
    own.ReadIntervalTimeout = device.readInterval;
    own.ReadTotalTimeoutMultiplier = device.readTotalMultiplier;
    own.ReadTotalTimeoutConstant = device.readTotalConstant;
    own.WriteTotalTimeoutMultiplier = device.writeTotalMultiplier;
    own.WriteTotalTimeoutConstant = device.writeTotalConstant;
    return own;
}

bool readsReturnAtOnce(const ComDevice& device) {
    return device.readInterval == MAXDWORD && device.readTotalMultiplier == 0 &&
           device.readTotalConstant == 0;
}

}  // namespace

std::string comDevicePath(const std::string& portName) { return devicePath(portName); }

// Windows has no lock files: the exclusive open keeps other programs out.
void SetComLockDirectory(const std::string&) {}
std::string ComLockDirectory() { return ""; }
void RemoveHeldComLockFiles() {}

int comNoDeviceError() { return ERROR_INVALID_HANDLE; }

namespace {

// A high-resolution waitable timer of the calling thread, or null on systems
// that have none (before Windows 10 1803); closed with the thread.
class PauseTimer {
public:
    PauseTimer()
        : m_timer(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS)) {}
    ~PauseTimer() {
        if (m_timer != nullptr) {
            CloseHandle(m_timer);
        }
    }
    PauseTimer(const PauseTimer&) = delete;
    PauseTimer& operator=(const PauseTimer&) = delete;
    HANDLE Get() const { return m_timer; }

private:
    HANDLE m_timer;
};

HANDLE pauseTimer() {
    static thread_local PauseTimer timer;
    return timer.Get();
}

bool hasHighResolutionTimer() {
    static const bool available = [] {
        HANDLE timer =
            CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer == nullptr) {
            return false;
        }
        CloseHandle(timer);
        return true;
    }();
    return available;
}

}  // namespace

void comSleepUntil(std::chrono::steady_clock::time_point wake) {
    // The steady clock counts on the performance counter; the timer's due
    // time is relative (absolute ones follow the wall clock, which may be
    // set), in 100 ns units.
    const auto left = std::chrono::ceil<std::chrono::duration<long long, std::ratio<1, 10000000>>>(
                          wake - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
        return;
    }
    if (HANDLE timer = pauseTimer(); timer != nullptr) {
        LARGE_INTEGER due{};
        due.QuadPart = -left;
        if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            // The timer ends the wait; the wait's own limit is only a guard.
            WaitForSingleObject(timer, static_cast<DWORD>(left / 10000) + kDeadlineSlackMs);
            return;
        }
    }
    // Without that timer Sleep keeps to the timer period, which an open port
    // has lowered to 1 ms, and may overshoot by as much: only whole
    // milliseconds are slept, and ComSleep learns how late they end.
    Sleep(static_cast<DWORD>(left / 10000));
}

int comDeviceOpen(const std::string& portName, std::unique_ptr<ComDevice>& device) {
    std::string path = devicePath(portName);
    if (path.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    // Something that is not a serial device (a file reached through a
    // device name) answers no comm request; it is no port.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) {
        int error = lastError();
        CloseHandle(handle);
        return error;
    }
    device = std::make_unique<WinDevice>();
    device->handle = reinterpret_cast<std::intptr_t>(handle);
    // Without a high-resolution timer the pauses after command bytes rely on
    // the system's timer period, asked down to 1 ms for as long as the port
    // is open (an operation's length) and given back when it closes.
    if (!hasHighResolutionTimer() && timeBeginPeriod(1) == TIMERR_NOERROR) {
        device->timerPeriodLowered = true;
    }
    return 0;
}

void comDeviceClose(ComDevice& device) {
    if (device.handle == -1) {
        return;
    }
    CloseHandle(handleOf(device));
    device.handle = -1;
    // The close ends every request still pending on the handle; what the
    // leftovers held is freed as their ends come in, within the cancel wait.
    WinDevice& owner = win(device);
    std::lock_guard lock(owner.leftoverMutex);
    const ULONGLONG giveUpAt = GetTickCount64() + kCancelWaitMs;
    for (std::unique_ptr<Request>& request : owner.leftovers) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(request->event, now < giveUpAt ? static_cast<DWORD>(giveUpAt - now) : 0);
        if (!request->Ended()) {
            abandon(request);
        }
    }
    owner.leftovers.clear();
    owner.hasLeftovers = false;
    device.peekedByte = -1;
    if (device.timerPeriodLowered) {
        timeEndPeriod(1);
        device.timerPeriodLowered = false;
    }
}

int comDeviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize) {
    if (!SetupComm(handleOf(device), static_cast<DWORD>(inputSize), static_cast<DWORD>(outputSize))) {
        return lastError();
    }
    device.inputSize = inputSize;
    return 0;
}

int comDeviceSetLine(ComDevice& device, const TCustomComPort& settings) {
    const TComParity& parity = settings.Parity();
    const TComFlowControl& flow = settings.FlowControl();
    // Built from the settings alone; the device's current state is never
    // read first, so every field not set here is zero.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(BaudRateValue(settings.BaudRate(), settings.CustomBaudRate()));
    dcb.fBinary = 1;
    dcb.fParity = parity.Check() ? 1 : 0;
    dcb.fOutxCtsFlow = flow.OutCTSFlow() ? 1 : 0;
    dcb.fOutxDsrFlow = flow.OutDSRFlow() ? 1 : 0;
    dcb.fDtrControl = flow.ControlDTR();
    dcb.fDsrSensitivity = flow.DSRSensitivity() ? 1 : 0;
    dcb.fTXContinueOnXoff = flow.TxContinueOnXoff() ? 1 : 0;
    dcb.fOutX = flow.XonXoffOut() ? 1 : 0;
    dcb.fInX = flow.XonXoffIn() ? 1 : 0;
    const bool replace = parity.Check() && parity.Replace();
    dcb.fErrorChar = replace ? 1 : 0;
    dcb.fNull = settings.DiscardNull() ? 1 : 0;
    dcb.fRtsControl = flow.ControlRTS();
    dcb.fAbortOnError = 0;
    const WORD limit = static_cast<WORD>(settings.Buffer().InputSize() / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = static_cast<BYTE>(5 + settings.DataBits());
    dcb.Parity = static_cast<BYTE>(parity.Bits());
    dcb.StopBits = static_cast<BYTE>(settings.StopBits());
    dcb.XonChar = flow.XonChar();
    dcb.XoffChar = flow.XoffChar();
    dcb.ErrorChar = replace ? parity.ReplaceChar() : 0;
    dcb.EvtChar = settings.EventChar();
    if (!SetCommState(handleOf(device), &dcb)) {
        return lastError();
    }
    device.bitRate = static_cast<std::int32_t>(dcb.BaudRate);
    device.discardNull = settings.DiscardNull();
    return 0;
}

int comDeviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts) {
    COMMTIMEOUTS values{};
    values.ReadIntervalTimeout = static_cast<DWORD>(timeouts.ReadInterval());
    values.ReadTotalTimeoutMultiplier = static_cast<DWORD>(timeouts.ReadTotalMultiplier());
    values.ReadTotalTimeoutConstant = static_cast<DWORD>(timeouts.ReadTotalConstant());
    values.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timeouts.WriteTotalMultiplier());
    values.WriteTotalTimeoutConstant = static_cast<DWORD>(timeouts.WriteTotalConstant());
    if (!SetCommTimeouts(handleOf(device), &values)) {
        return lastError();
    }
    device.waitTimeoutApplied = -1;
    device.KeepTimeouts(timeouts);
    return 0;
}

int comDeviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent) {
    sent = 0;
    AsyncRequest request(device);
    if (!request.Valid()) {
        return lastError();
    }
    HANDLE handle = handleOf(device);
    char* bytes = request.Bytes(static_cast<std::size_t>(size));
    if (size > 0) {
        std::memcpy(bytes, data, static_cast<std::size_t>(size));
    }
    if (!WriteFile(handle, bytes, static_cast<DWORD>(size), nullptr, request.Overlapped()) &&
        GetLastError() != ERROR_IO_PENDING) {
        return lastError();
    }
    // A write that runs out of time completes with the bytes that went out;
    // that is no failure.
    DWORD moved = 0;
    int error = request.Complete(
        handle, moved, requestDeadline(device.writeTotalMultiplier, device.writeTotalConstant, size));
    sent = static_cast<std::int32_t>(moved);
    device.bytesWritten += moved;
    // The write time-out ending a write early is no failure, but a driver
    // that gave up past the deadline is.
    return error;
}

int comDeviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received) {
    received = 0;
    if (size <= 0) {
        return 0;
    }
    // A byte a wait for input took from the driver comes first; it was
    // counted as read when it was taken.
    if (const int peeked = device.peekedByte.exchange(-1); peeked >= 0) {
        data[0] = static_cast<char>(peeked);
        received = 1;
        std::int32_t more = 0;
        int error = comDeviceRead(device, data + 1, size - 1, more);
        received += more;
        if (error != 0) {
            device.pendingReadError = error;
        }
        return 0;
    }
    if (const int pending = device.pendingReadError.exchange(0); pending != 0) {
        return pending;
    }
    HANDLE handle = handleOf(device);
    DWORD wanted = static_cast<DWORD>(size);
    // A read that waits by the port's own time-outs needs them back after a
    // wait for input left its own in place.
    if (device.waitTimeoutApplied >= 0 && !readsReturnAtOnce(device)) {
        COMMTIMEOUTS own = ownTimeouts(device);
        if (!SetCommTimeouts(handle, &own)) {
            return lastError();
        }
        device.waitTimeoutApplied = -1;
    }
    // With time-outs that make a read return at once, only what is queued
    // is asked for: some drivers (Wine's among them) leave a read that finds
    // the queue empty pending instead of completing it with nothing.
    if (readsReturnAtOnce(device)) {
        DWORD waiting = 0;
        if (int error = clearCommError(device, waiting); error != 0) {
            return error;
        }
        if (waiting == 0) {
            return 0;
        }
        wanted = std::min(wanted, waiting);
    }
    AsyncRequest request(device);
    if (!request.Valid()) {
        return lastError();
    }
    char* bytes = request.Bytes(wanted);
    if (!ReadFile(handle, bytes, wanted, nullptr, request.Overlapped()) &&
        GetLastError() != ERROR_IO_PENDING) {
        return lastError();
    }
    DWORD moved = 0;
    int error =
        request.Complete(handle, moved,
                         requestDeadline(device.readTotalMultiplier, device.readTotalConstant, wanted) +
                             (device.readInterval == MAXDWORD ? 0 : device.readInterval * wanted));
    // A request handed to the leftovers moved nothing the caller sees.
    std::memcpy(data, bytes, moved);
    received = static_cast<std::int32_t>(moved);
    device.bytesRead += moved;
    return error;
}

int comDeviceInputCount(ComDevice& device, std::int32_t& count) {
    DWORD waiting = 0;
    int error = clearCommError(device, waiting);
    count = static_cast<std::int32_t>(std::min<DWORD>(waiting, 0x7FFFFFFF));
    return error;
}

int comDeviceClearErrors(ComDevice& device) {
    DWORD waiting = 0;
    return clearCommError(device, waiting);
}

int comDeviceModemStatus(ComDevice& device, std::uint32_t& status) {
    status = 0;
    DWORD lines = 0;
    if (!GetCommModemStatus(handleOf(device), &lines)) {
        int error = lastError();
        return noModemLines(error) ? 0 : error;
    }
    status = lines;
    return 0;
}

int comDevicePurgeRequests(ComDevice& device) {
    return PurgeComm(handleOf(device), PURGE_TXABORT | PURGE_RXABORT) ? 0 : lastError();
}

int comDevicePurgeQueues(ComDevice& device) {
    device.peekedByte = -1;
    return PurgeComm(handleOf(device), PURGE_TXCLEAR | PURGE_RXCLEAR) ? 0 : lastError();
}

bool comDeviceWaitForInput(ComDevice& device, std::int32_t milliseconds) {
    // The one WaitCommEvent of a handle belongs to the event thread, so the
    // wait is a read of one byte that the driver ends as soon as a byte
    // arrives (read time-outs MAXDWORD, MAXDWORD, the wait's length: "return
    // at once with what is there, else with the first byte, else after the
    // constant"). The byte is kept for the next read. A failed look means the
    // next read has something to report.
    if (device.peekedByte.load() >= 0 || device.pendingReadError.load() != 0) {
        return true;
    }
    DWORD waiting = 0;
    if (clearCommError(device, waiting) != 0 || waiting > 0) {
        return true;
    }
    if (milliseconds <= 0) {
        return false;
    }
    HANDLE handle = handleOf(device);
    COMMTIMEOUTS waitForFirst{};
    waitForFirst.ReadIntervalTimeout = MAXDWORD;
    waitForFirst.ReadTotalTimeoutMultiplier = MAXDWORD;
    waitForFirst.ReadTotalTimeoutConstant = static_cast<DWORD>(milliseconds);
    waitForFirst.WriteTotalTimeoutMultiplier = device.writeTotalMultiplier;
    waitForFirst.WriteTotalTimeoutConstant = device.writeTotalConstant;
    COMMTIMEOUTS own = ownTimeouts(device);
    AsyncRequest request(device);
    // While reads return at once they only ever ask for what is queued, which
    // the waiting time-outs return at once as well: those then stay set until
    // another wait length or a read that needs the port's own, so a run of
    // waits costs no driver call for them.
    const bool keepWaiting = readsReturnAtOnce(device);
    const bool applied = device.waitTimeoutApplied == milliseconds;
    if (!request.Valid() || (!applied && !SetCommTimeouts(handle, &waitForFirst))) {
        device.waitTimeoutApplied = -1;
        ComSleep(milliseconds);
        return clearCommError(device, waiting) != 0 || waiting > 0;
    }
    device.waitTimeoutApplied = milliseconds;
    char* byte = request.Bytes(1);
    DWORD moved = 0;
    int error = 0;
    if (!ReadFile(handle, byte, 1, nullptr, request.Overlapped()) && GetLastError() != ERROR_IO_PENDING) {
        error = lastError();
    } else {
        // The wait's own length is the deadline: Wine's driver lets such a
        // read run until a byte comes, whatever its time-outs say, and a
        // byte that comes while it is being cancelled is still taken.
        error = request.Complete(handle, moved, static_cast<DWORD>(milliseconds));
    }
    if (!keepWaiting) {
        SetCommTimeouts(handle, &own);
        device.waitTimeoutApplied = -1;
    }
    if (moved == 1) {
        device.bytesRead += 1;
        device.peekedByte = static_cast<unsigned char>(*byte);
        return true;
    }
    if (error != 0 && error != ERROR_SEM_TIMEOUT && error != ERROR_OPERATION_ABORTED) {
        device.pendingReadError = error;
        return true;
    }
    return clearCommError(device, waiting) != 0 || waiting > 0;
}

// ---------------------------------------------------------------------------
// Event watch: WaitCommEvent on its own OVERLAPPED, interrupted by a stop event.
//
// Received bytes and an empty output queue are reported only when they are
// news (bytes arrived, bytes written since the last report): a driver that
// reports them for as long as they last (Wine's does so for waiting bytes)
// then does not keep the thread busy, which looks again every kLookAgainMs
// instead. A device that cannot wait for the events asked for at all (Wine's
// view of a terminal refuses line-state events with ERROR_NOT_SUPPORTED)
// ends the watch: the port works on without event dispatches.

namespace {

constexpr DWORD kLookAgainMs = 20;
constexpr DWORD kWatchWaitMs = 5000;

}  // namespace

struct ComEventWatch {
    ComDevice* device = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE stopEvent = nullptr;     // manual-reset, created unsignalled
    std::unique_ptr<Request> wait;  // WaitCommEvent's; none once it outlived its cancel
    DWORD mask = 0;                 // the events asked for
    bool pending = false;           // a WaitCommEvent has not ended yet
    std::uint64_t arrived = 0;      // bytes read plus bytes queued at the last look
    std::uint64_t written = 0;      // bytes written at the last EV_TXEMPTY
};

namespace {

// Ends a WaitCommEvent that is still pending: an empty mask completes it,
// the cancel covers drivers that ignore that. One that does not end even
// then goes to the device's leftovers, and the watch waits no more.
void endPendingWait(ComEventWatch& watch) {
    SetCommMask(watch.handle, 0);
    if (watch.pending) {
        CancelIoEx(watch.handle, &watch.wait->overlapped);
        if (WaitForSingleObject(watch.wait->event, kCancelWaitMs) != WAIT_OBJECT_0) {
            win(*watch.device).Keep(std::move(watch.wait));
        }
        watch.pending = false;
    }
}

std::uint64_t bytesArrived(const ComEventWatch& watch) {
    // Read first: a read racing with this look can then only make the sum
    // too small, which delays a report but never repeats one.
    const std::uint64_t read = watch.device->bytesRead.load();
    DWORD queued = 0;
    clearCommError(*watch.device, queued);
    return read + queued;
}

// The reported events that are news; updates what the watch has seen.
DWORD newsIn(ComEventWatch& watch, DWORD events) {
    if (events & EV_RXCHAR) {
        const std::uint64_t arrived = bytesArrived(watch);
        if (arrived > watch.arrived) {
            watch.arrived = arrived;
        } else {
            events &= ~static_cast<DWORD>(EV_RXCHAR);
        }
    }
    if (events & EV_TXEMPTY) {
        const std::uint64_t written = watch.device->bytesWritten.load();
        if (written > watch.written) {
            watch.written = written;
        } else {
            events &= ~static_cast<DWORD>(EV_TXEMPTY);
        }
    }
    return events & watch.mask;
}

}  // namespace

void ComEventWatchDeleter::operator()(ComEventWatch* watch) const {
    endPendingWait(*watch);
    if (watch->stopEvent != nullptr) {
        CloseHandle(watch->stopEvent);
    }
    delete watch;
}

int comWatchCreate(ComDevice& device, std::uint32_t mask, ComEventWatchPtr& watch) {
    ComEventWatchPtr created(new ComEventWatch);
    created->device = &device;
    created->handle = handleOf(device);
    created->mask = mask;
    created->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    created->wait = std::make_unique<Request>();
    created->wait->overlapped.hEvent = created->wait->event;
    if (created->stopEvent == nullptr || created->wait->event == nullptr) {
        return lastError();
    }
    if (!SetCommMask(created->handle, mask)) {
        return lastError();
    }
    created->arrived = bytesArrived(*created);
    created->written = device.bytesWritten.load();
    watch = std::move(created);
    return 0;
}

ComWaitResult comWatchWait(ComEventWatch& watch, std::uint32_t& events) {
    for (;;) {
        if (!watch.wait) {
            return ComWaitResult::Failed;
        }
        watch.wait->events = 0;
        bool ended = WaitCommEvent(watch.handle, &watch.wait->events, &watch.wait->overlapped);
        if (!ended) {
            if (GetLastError() != ERROR_IO_PENDING) {
                // A device that cannot wait for events at all would fail
                // every later call too: the watch ends here rather than spin.
                endPendingWait(watch);
                return ComWaitResult::Failed;
            }
            watch.pending = true;
            // Looked at again every few seconds, so no wait of this thread
            // is without end even when the driver never ends the request.
            HANDLE waits[2] = {watch.stopEvent, watch.wait->event};
            DWORD which = WAIT_TIMEOUT;
            while ((which = WaitForMultipleObjects(2, waits, FALSE, kWatchWaitMs)) == WAIT_TIMEOUT) {
            }
            if (which != WAIT_OBJECT_0 + 1) {
                endPendingWait(watch);
                return which == WAIT_OBJECT_0 ? ComWaitResult::Stopped : ComWaitResult::Failed;
            }
            DWORD ignored = 0;
            ended = GetOverlappedResult(watch.handle, &watch.wait->overlapped, &ignored, FALSE);
            watch.pending = false;
        }
        if (ended) {
            if (DWORD news = newsIn(watch, watch.wait->events); news != 0) {
                events = news;
                return ComWaitResult::Events;
            }
        }
        // Nothing new, a wait that ended without events (the mask changed) or
        // one that failed (a device gone, whose every wait fails at once):
        // look again shortly, unless stopped meanwhile.
        if (WaitForSingleObject(watch.stopEvent, kLookAgainMs) == WAIT_OBJECT_0) {
            endPendingWait(watch);
            return ComWaitResult::Stopped;
        }
    }
}

void comWatchStop(ComEventWatch& watch) {
    SetEvent(watch.stopEvent);
    Sleep(0);
}

std::string ComPortDeviceGroup(const std::string&) {
    // Windows grants serial ports to whoever opens them first; there is no
    // group to join.
    return {};
}
