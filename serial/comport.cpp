// The port object's own logic: settings, the order of the open and close
// steps, request checks, the event thread and the hand-over of its dispatches.
// Device work goes through the backend declared in comdevice.h.
#include "serial/comport.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>

#include "serial/comdevice.h"
#include "utils/utf8path.h"
#include "utils/outputfolder.h"

// ---------------------------------------------------------------------------
// Events and messages

namespace {

// Win32 event-mask bit of each TComEvent, in ordinal order.
constexpr std::uint32_t kEventMaskBits[10] = {
    0x0001,  // evRxChar    EV_RXCHAR
    0x0004,  // evTxEmpty   EV_TXEMPTY
    0x0002,  // evRxFlag    EV_RXFLAG
    0x0100,  // evRing      EV_RING
    0x0040,  // evBreak     EV_BREAK
    0x0008,  // evCTS       EV_CTS
    0x0010,  // evDSR       EV_DSR
    0x0080,  // evError     EV_ERR
    0x0020,  // evRLSD      EV_RLSD
    0x0400,  // evRx80Full  EV_RX80FULL
};

std::string messageText(int errorCode) {
    if (errorCode < 1 || errorCode > 23) {
        return "Unknown com port error";
    }
    return ComErrorMessages[errorCode - 1];
}

std::string messageWithNumber(int errorCode, int winErrorCode) {
    return messageText(errorCode) + " (win error code: " + std::to_string(winErrorCode) + ")";
}

}  // namespace

std::uint32_t EventsToMask(TComEvents events) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (events & (1u << i)) {
            mask |= kEventMaskBits[i];
        }
    }
    return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
    TComEvents events = 0;
    for (unsigned i = 0; i < 10; ++i) {
        if (mask & kEventMaskBits[i]) {
            events = static_cast<TComEvents>(events | (1u << i));
        }
    }
    return events;
}

std::int32_t BaudRateValue(TBaudRate rate, std::int32_t custom) {
    static constexpr std::int32_t kRates[16] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                                14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    if (rate == brCustom || rate >= 16) {
        return custom;
    }
    return kRates[rate];
}

const char* const ComErrorMessages[23] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

EComPort::EComPort(int errorCode, int winErrorCode)
    : Exception(messageWithNumber(errorCode, winErrorCode)),
      m_errorCode(errorCode),
      m_winErrorCode(winErrorCode) {}

EComPort::EComPort(int errorCode)
    : Exception(messageText(errorCode)), m_errorCode(errorCode), m_winErrorCode(-1) {}

// ---------------------------------------------------------------------------
// Settings objects: each setter stores a changed value and applies its group
// (see StoreChangedSetting); Assign takes all the group's values and applies
// the group once when any of them changed.

namespace {

template <class... Fields>
bool storeChangedFields(std::tuple<Fields&...> mine, std::tuple<const Fields&...> theirs) {
    if (mine == theirs) {
        return false;
    }
    mine = theirs;
    return true;
}

}  // namespace

void TComParity::Apply() { m_port.ApplyLineSettings(); }
void TComParity::Assign(const TComParity& other) {
    if (storeChangedFields(std::tie(m_bits, m_check, m_replace, m_replaceChar),
                           std::tie(other.m_bits, other.m_check, other.m_replace, other.m_replaceChar)))
        Apply();
}

void TComTimeouts::Apply() { m_port.ApplyTimeouts(); }
void TComTimeouts::Assign(const TComTimeouts& other) {
    if (storeChangedFields(
            std::tie(m_readInterval, m_readTotalMultiplier, m_readTotalConstant, m_writeTotalMultiplier,
                     m_writeTotalConstant),
            std::tie(other.m_readInterval, other.m_readTotalMultiplier, other.m_readTotalConstant,
                     other.m_writeTotalMultiplier, other.m_writeTotalConstant)))
        Apply();
}

void TComFlowControl::Apply() { m_port.ApplyLineSettings(); }
void TComFlowControl::Assign(const TComFlowControl& other) {
    if (storeChangedFields(
            std::tie(m_outCTSFlow, m_outDSRFlow, m_controlDTR, m_controlRTS, m_xonXoffOut, m_xonXoffIn,
                     m_dsrSensitivity, m_txContinueOnXoff, m_xonChar, m_xoffChar),
            std::tie(other.m_outCTSFlow, other.m_outDSRFlow, other.m_controlDTR, other.m_controlRTS,
                     other.m_xonXoffOut, other.m_xonXoffIn, other.m_dsrSensitivity, other.m_txContinueOnXoff,
                     other.m_xonChar, other.m_xoffChar)))
        Apply();
}

void TComBuffer::Apply() { m_port.ApplyBufferSizes(); }
void TComBuffer::Assign(const TComBuffer& other) {
    if (storeChangedFields(std::tie(m_inputSize, m_outputSize),
                           std::tie(other.m_inputSize, other.m_outputSize)))
        Apply();
}

// ---------------------------------------------------------------------------
// Backends: a network port's requests go to the network backend, all others
// to the platform's device backend.

namespace {

#define CLOCKREADER_DISPATCH(name, ...) \
    return device.network ? netDevice##name(device, __VA_ARGS__) : comDevice##name(device, __VA_ARGS__)

void deviceClose(ComDevice& device) { device.network ? netDeviceClose(device) : comDeviceClose(device); }
int deviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize) {
    CLOCKREADER_DISPATCH(SetBufferSizes, inputSize, outputSize);
}
int deviceSetLine(ComDevice& device, const TCustomComPort& settings) {
    CLOCKREADER_DISPATCH(SetLine, settings);
}
int deviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts) {
    CLOCKREADER_DISPATCH(SetTimeouts, timeouts);
}
int deviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent) {
    CLOCKREADER_DISPATCH(Write, data, size, sent);
}
int deviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received) {
    CLOCKREADER_DISPATCH(Read, data, size, received);
}
int deviceInputCount(ComDevice& device, std::int32_t& count) { CLOCKREADER_DISPATCH(InputCount, count); }
int deviceClearErrors(ComDevice& device) {
    return device.network ? netDeviceClearErrors(device) : comDeviceClearErrors(device);
}
int deviceModemStatus(ComDevice& device, std::uint32_t& status) { CLOCKREADER_DISPATCH(ModemStatus, status); }
int devicePurgeRequests(ComDevice& device) {
    return device.network ? netDevicePurgeRequests(device) : comDevicePurgeRequests(device);
}
int devicePurgeQueues(ComDevice& device) {
    return device.network ? netDevicePurgeQueues(device) : comDevicePurgeQueues(device);
}
bool deviceWaitForInput(ComDevice& device, std::int32_t milliseconds) {
    CLOCKREADER_DISPATCH(WaitForInput, milliseconds);
}

#undef CLOCKREADER_DISPATCH

// The event thread's watch, on whichever backend serves the device.
class EventWatch {
public:
    int Create(ComDevice& device, std::uint32_t mask) {
        return device.network ? netWatchCreate(device, mask, m_net) : comWatchCreate(device, mask, m_local);
    }
    ComWaitResult Wait(std::uint32_t& events) {
        return m_net ? netWatchWait(*m_net, events) : comWatchWait(*m_local, events);
    }
    void Stop() {
        if (m_net) netWatchStop(*m_net);
        if (m_local) comWatchStop(*m_local);
    }
    void Reset() {
        m_net.reset();
        m_local.reset();
    }

private:
    ComEventWatchPtr m_local;
    NetEventWatchPtr m_net;
};

std::mutex g_directoryMutex;
std::string g_portDirectory;

}  // namespace

void SetComPortDirectory(const std::string& directory) {
    std::lock_guard lock(g_directoryMutex);
    g_portDirectory = directory;
}

std::string comPortDirectory() {
    std::lock_guard lock(g_directoryMutex);
    return g_portDirectory.empty() ? PathInFolder(OutputFolder(), "ports") : g_portDirectory;
}

std::string ComPortMapFile() {
    std::lock_guard lock(g_directoryMutex);
    return PathInFolder(g_portDirectory.empty() ? OutputFolder() : g_portDirectory, "ports.txt");
}

std::string ComPortDevice(const std::string& portName) {
    std::string address = ComPortNetworkAddress(portName);
    return address.empty() ? comDevicePath(portName) : address;
}

// ---------------------------------------------------------------------------
// Hand-over of event dispatches to the thread that owns the ports.
//
// An event thread with smThreadSync queues its dispatch and blocks until some
// caller of RunPendingComDispatches() (or a Close() waiting for that thread)
// has run it. One queue serves all ports; its mutex also guards the
// "finished" flags of the event threads so that Close() cannot miss the end
// of the thread it waits for.

namespace {

struct PendingDispatch {
    TCustomComPort* port = nullptr;
    TComEvents events = 0;
    bool done = false;
    std::exception_ptr error;
};

std::mutex g_dispatchMutex;
std::condition_variable g_dispatchChanged;
std::deque<PendingDispatch*> g_pendingDispatches;

}  // namespace

// The event thread of one open port.
class TComThread {
public:
    explicit TComThread(TCustomComPort& port) : m_port(port) {}
    ~TComThread() { Stop(); }
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Starts watching the events of `mask`; returns 0 or an error number.
    int Start(ComDevice& device, std::uint32_t mask) {
        int error = m_watch.Create(device, mask);
        if (error != 0) {
            return error;
        }
        try {
            m_thread = std::thread([this] { Execute(); });
        } catch (const std::system_error& e) {
            m_watch.Reset();
            return e.code().value();
        }
        return 0;
    }

    // Ends the thread and waits for it, running queued dispatches meanwhile so
    // that a thread blocked on its own dispatch can reach its end.
    void Stop() {
        if (!m_thread.joinable()) {
            return;
        }
        m_watch.Stop();
        std::unique_lock lock(g_dispatchMutex);
        while (!m_finished) {
            if (g_pendingDispatches.empty()) {
                g_dispatchChanged.wait(lock);
            } else {
                runNextDispatch(lock);
            }
        }
        lock.unlock();
        m_thread.join();
        m_watch.Reset();
    }

    // Takes the oldest queued dispatch, runs it with the queue unlocked (a
    // dispatch may take its time on the device) and wakes the thread that
    // waits for it. `lock` holds g_dispatchMutex and the queue is not empty.
    static void runNextDispatch(std::unique_lock<std::mutex>& lock) {
        PendingDispatch* pending = g_pendingDispatches.front();
        g_pendingDispatches.pop_front();
        lock.unlock();
        try {
            pending->port->DispatchEvents(pending->events);
        } catch (...) {
            pending->error = std::current_exception();
        }
        lock.lock();
        pending->done = true;
        g_dispatchChanged.notify_all();
    }

private:
    void Execute() {
        try {
            std::uint32_t mask = 0;
            while (m_watch.Wait(mask) == ComWaitResult::Events) {
                dispatch(MaskToEvents(mask));
            }
        } catch (...) {
            // A failed dispatch ends the thread; the port stays open and its
            // reads and writes go on working.
        }
        std::lock_guard lock(g_dispatchMutex);
        m_finished = true;
        g_dispatchChanged.notify_all();
    }

    void dispatch(TComEvents events) {
        if (m_port.SyncMethod() == smNone) {
            m_port.DispatchEvents(events);
            return;
        }
        // smThreadSync, and smWindowSync, which has no message window of its
        // own here: the owner thread runs the dispatch.
        PendingDispatch pending;
        pending.port = &m_port;
        pending.events = events;
        std::unique_lock lock(g_dispatchMutex);
        g_pendingDispatches.push_back(&pending);
        g_dispatchChanged.notify_all();
        g_dispatchChanged.wait(lock, [&] { return pending.done; });
        lock.unlock();
        if (pending.error) {
            std::rethrow_exception(pending.error);
        }
    }

    TCustomComPort& m_port;
    EventWatch m_watch;
    std::thread m_thread;
    bool m_finished = false;  // guarded by g_dispatchMutex
};

void RunPendingComDispatches() {
    std::unique_lock lock(g_dispatchMutex);
    while (!g_pendingDispatches.empty()) {
        TComThread::runNextDispatch(lock);
    }
}

std::size_t PendingComDispatchCount() {
    std::lock_guard lock(g_dispatchMutex);
    return g_pendingDispatches.size();
}

// ---------------------------------------------------------------------------
// The port

TCustomComPort::TCustomComPort()
    : m_parity(std::make_unique<TComParity>(*this)),
      m_flowControl(std::make_unique<TComFlowControl>(*this)),
      m_timeouts(std::make_unique<TComTimeouts>(*this)),
      m_buffer(std::make_unique<TComBuffer>(*this)) {}

TCustomComPort::~TCustomComPort() {
    try {
        Close();
    } catch (...) {
        // A destructor cannot report; release thread and device regardless.
        m_thread.reset();
        CloseDevice();
        m_connected = false;
    }
    m_buffer.reset();
    m_flowControl.reset();
    m_timeouts.reset();
    m_parity.reset();
}

void TCustomComPort::Open() {
    if (m_connected) {
        return;
    }
    DoBeforeOpen();
    OpenDevice();
    m_connected = true;
    try {
        ApplySettings();
    } catch (...) {
        CloseDevice();
        m_connected = false;
        throw;
    }
    // A freshly opened port starts with empty queues, as a Windows COM port
    // does: bytes that reached the line before (the rest of an answer meant
    // for a program that was killed) must not pass for answers to this
    // holder's commands. A purge that fails leaves them to the reader's own
    // checks; the line is no less usable for it.
    devicePurgeQueues(*m_device);
    if (m_events != 0) {
        auto thread = std::make_unique<TComThread>(*this);
        int error = thread->Start(*m_device, EventsToMask(m_events));
        if (error != 0) {
            CloseDevice();
            m_connected = false;
            throw EComPort(1, error);
        }
        m_thread = std::move(thread);
    }
    DoAfterOpen();
    // CTS, DSR and RLSD are read once each; a failure leaves the port open.
    for (int line = 0; line < 3; ++line) {
        std::uint32_t status = 0;
        int error = deviceModemStatus(*m_device, status);
        if (error != 0) {
            throw EComPort(11, error);
        }
    }
}

void TCustomComPort::Close() {
    if (!m_connected) {
        return;
    }
    DoBeforeClose();
    if (m_device) {
        int error = devicePurgeRequests(*m_device);
        if (error != 0) {
            throw EComPort(5, error);
        }
    }
    if (m_thread) {
        m_thread.reset();  // stops the thread and waits for its end
        // Received bytes nobody read are dropped with the event thread, so a
        // later holder of the device does not see stale input.
        if (m_device) {
            devicePurgeQueues(*m_device);
        }
    }
    CloseDevice();
    m_connected = false;
    DoAfterClose();
}

void TCustomComPort::OpenDevice() {
    std::unique_ptr<ComDevice> device;
    const std::string address = ComPortNetworkAddress(m_port);
    int error = address.empty() ? comDeviceOpen(m_port, device) : netDeviceOpen(address, device);
    if (error != 0) {
        throw EComPort(1, error);
    }
    m_device = std::move(device);
}

void TCustomComPort::CloseDevice() {
    if (m_device) {
        deviceClose(*m_device);
        m_device.reset();
    }
}

void TCustomComPort::ApplySettings() {
    ApplyBufferSizes();
    ApplyLineSettings();
    ApplyTimeouts();
}

void TCustomComPort::ApplyBufferSizes() {
    if (!m_device) {
        return;
    }
    int error = deviceSetBufferSizes(*m_device, m_buffer->InputSize(), m_buffer->OutputSize());
    if (error != 0) {
        throw EComPort(9, error);
    }
}

void TCustomComPort::ApplyLineSettings() {
    if (!m_device) {
        return;
    }
    int error = deviceSetLine(*m_device, *this);
    if (error != 0) {
        throw EComPort(7, error);
    }
}

void TCustomComPort::ApplyTimeouts() {
    if (!m_device) {
        return;
    }
    int error = deviceSetTimeouts(*m_device, *m_timeouts);
    if (error != 0) {
        throw EComPort(8, error);
    }
}

void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(*this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(*this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(*this);
}
void TCustomComPort::DoAfterClose() {
    if (OnAfterClose) OnAfterClose(*this);
}

std::int32_t TCustomComPort::WriteText(const std::string& text) {
    if (text.empty()) {
        return 0;
    }
    if (!m_device) {
        throw EComPort(2, comNoDeviceError());
    }
    std::int32_t sent = 0;
    int error = deviceWrite(*m_device, text.data(), static_cast<std::int32_t>(text.size()), sent);
    if (error != 0) {
        throw EComPort(2, error);
    }
    return sent;
}

std::int32_t TCustomComPort::ReadText(std::string& text, std::int32_t count) {
    text.clear();
    if (count <= 0) {
        return 0;
    }
    if (!m_device) {
        throw EComPort(3, comNoDeviceError());
    }
    std::string buffer(static_cast<std::size_t>(count), '\0');
    std::int32_t received = 0;
    int error = deviceRead(*m_device, buffer.data(), count, received);
    if (error != 0) {
        throw EComPort(3, error);
    }
    buffer.resize(static_cast<std::size_t>(received));
    text = std::move(buffer);
    // The queue is looked at after every read, as the device's error state is
    // cleared with it; the bytes already read stay in `text` even if it fails.
    std::int32_t waiting = 0;
    error = deviceInputCount(*m_device, waiting);
    if (error != 0) {
        throw EComPort(10, error);
    }
    return received;
}

std::int32_t TCustomComPort::InputCount() {
    if (!m_device) {
        throw EComPort(10, comNoDeviceError());
    }
    std::int32_t count = 0;
    int error = deviceInputCount(*m_device, count);
    if (error != 0) {
        throw EComPort(10, error);
    }
    return count;
}

bool TCustomComPort::WaitForInput(std::int32_t milliseconds) {
    if (!m_device) {
        ComSleep(milliseconds);
        return false;
    }
    return deviceWaitForInput(*m_device, milliseconds);
}

std::uint32_t TCustomComPort::LineErrorCount() const { return m_device ? m_device->lineErrors.load() : 0; }

namespace {

using PauseClock = std::chrono::steady_clock;

// How long before a pause's deadline its sleep ends, so that the system's
// wake-up delay (tens of microseconds on an idle Linux, more under load or
// on Windows' timers) falls inside the pause rather than after it. Each
// thread learns its own: the margin moves up 9 us after a wake later than
// it and down 1 us after one within it, so it settles where 1 wake in 10 is
// later, the 90th percentile. A wake later than the largest margin says
// the thread waited for a processor, which no margin cures (a thread that
// spins for long is the one the scheduler sets aside next): it is not
// counted.
class WakeMargin {
public:
    PauseClock::duration Get() const { return m_margin; }
    void Learn(PauseClock::duration late) {
        using std::chrono::microseconds;
        if (late > kMaxMargin) {
            return;
        }
        m_margin += late > m_margin ? microseconds(9) : -microseconds(1);
        m_margin = std::clamp<PauseClock::duration>(m_margin, microseconds(0), kMaxMargin);
    }

private:
    // A timer alone wakes a thread well within this (tens of microseconds
    // on Linux, more in a virtual machine); later is a wait for a processor.
    // Windows without high-resolution timers sleeps whole milliseconds only
    // (comSleepUntil), so there a 1 ms pause is waited out whole.
    static constexpr PauseClock::duration kMaxMargin = std::chrono::microseconds(500);
    PauseClock::duration m_margin = std::chrono::microseconds(200);
};

thread_local WakeMargin t_wakeMargin;

// Tells the processor the thread is waiting in a loop (it may save power,
// or give way to the other thread of its core).
inline void spinPause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

void ComSleep(std::int32_t milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    // The deadline is fixed before anything can delay the thread, so a late
    // wake shortens the spin, never lengthens the pause.
    const PauseClock::time_point deadline = PauseClock::now() + std::chrono::milliseconds(milliseconds);
    const PauseClock::time_point wake = deadline - t_wakeMargin.Get();
    if (wake > PauseClock::now()) {
        comSleepUntil(wake);
        t_wakeMargin.Learn(PauseClock::now() - wake);
    }
    while (PauseClock::now() < deadline) {
        spinPause();
    }
}

void TCustomComPort::SetConnected(bool value) {
    if (value == m_connected) {
        return;
    }
    if (value) {
        Open();
    } else {
        Close();
    }
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == m_port) {
        return;
    }
    m_port = value;
    if (m_connected) {
        Close();
        Open();
    }
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    // The event thread reads this while it runs, so it is fixed while open.
    if (m_connected) {
        throw EComPort(14);
    }
    m_syncMethod = value;
}

void TCustomComPort::DispatchEvents(TComEvents events) {
    if (!m_device) {
        return;
    }
    auto has = [events](TComEvent e) { return (events & ComEventBit(e)) != 0; };
    int error = 0;
    std::int32_t count = 0;
    std::uint32_t status = 0;
    if (has(evError) && (error = deviceClearErrors(*m_device)) != 0) {
        throw EComPort(10, error);
    }
    // The count is only looked at: received bytes stay queued for ReadText.
    if (has(evRxChar) && (error = deviceInputCount(*m_device, count)) != 0) {
        throw EComPort(10, error);
    }
    for (TComEvent line : {evCTS, evDSR, evRLSD}) {
        if (has(line) && (error = deviceModemStatus(*m_device, status)) != 0) {
            throw EComPort(11, error);
        }
    }
}
