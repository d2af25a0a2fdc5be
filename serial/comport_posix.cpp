// The serial port on POSIX terminals (termios), Linux in particular.
//
// Port names: "COMn" opens <port directory>/COMn when that entry exists (a
// link placed by the operator or by clocksim), else /dev/ttyS<n-1>; a name that
// starts with "/" opens that path; anything else fails as an absent device
// (ENOENT). The port directory is "ports" in the output folder (beside the
// executable in a copy the user may write to, see utils/outputfolder.h) unless
// SetComPortDirectory() chose another.
//
// Exclusive use: before the device is opened, its UUCP lock file is looked at
// and taken (comlock.h), so a line that another serial program holds is not
// even opened (an open may change its modem lines). The device is then opened
// non-blocking, marked TIOCEXCL (refuses later opens by anyone but root) and
// locked with flock(), which refuses a second holder even when it is root or
// the same process. Every refusal is reported as EBUSY (16). The lock file is
// removed when the device is closed.
//
// Requests never block the caller beyond the time-outs: the descriptor is
// non-blocking and all waiting is done with poll(). A read that finds the
// other side hung up (read() gives 0 or EIO) is a failure, never "no data".
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "serial/comdevice.h"
#include "serial/comlock.h"

namespace {

using Clock = std::chrono::steady_clock;

// The error number our messages carry, taken right after the failing call.
int lastError() { return errno != 0 ? errno : EIO; }

int fdOf(const ComDevice& device) { return static_cast<int>(device.handle); }

// A queue count (FIONREAD, TIOCOUTQ) for a look that treats a failure as empty.
int queueCount(int fd, unsigned long request) {
    int count = 0;
    return ioctl(fd, request, &count) == 0 ? count : 0;
}

// Modem-line ioctls that a device without modem lines (a pseudo-terminal)
// answers with these errors mean "no lines", not a failure.
bool noModemLines(int error) { return error == ENOTTY || error == EINVAL; }

// The device path for a port name, or nothing when the name names no device.
std::optional<std::string> devicePath(const std::string& portName) {
    if (!portName.empty() && portName[0] == '/') {
        return portName;
    }
    if (portName.size() <= 3 || portName.size() > 12 || portName.compare(0, 3, "COM") != 0) {
        return std::nullopt;
    }
    long number = 0;
    for (std::size_t i = 3; i < portName.size(); ++i) {
        if (portName[i] < '0' || portName[i] > '9') {
            return std::nullopt;
        }
        number = number * 10 + (portName[i] - '0');
    }
    std::string entry = comPortDirectory() + "/" + portName;
    struct stat info {};
    if (lstat(entry.c_str(), &info) == 0) {
        return entry;
    }
    if (number < 1) {
        return std::nullopt;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

std::optional<speed_t> speedFor(std::int32_t bitRate) {
    switch (bitRate) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return std::nullopt;
    }
}

// Sets or clears one modem line; a device without modem lines is fine.
int setModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) != 0) {
        int error = lastError();
        return noModemLines(error) ? 0 : error;
    }
    return 0;
}

// Time left until `deadline`, in whole milliseconds rounded up, for poll();
// -1 (no limit) when there is no deadline.
// Waits for `events` on the device; returns the poll() result (0 on time-out).
// A signal that interrupts the wait does not start it over: the wait goes on
// for what remains of `timeoutMs` (-1: no limit), so a steady stream of
// signals cannot hold it for ever.
int waitOnDevice(int fd, short events, int timeoutMs, short& revents) {
    std::optional<Clock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    }
    pollfd entry{fd, events, 0};
    int result;
    for (;;) {
        result = poll(&entry, 1, ComDevice::MillisecondsLeft(deadline));
        if (result >= 0 || errno != EINTR) {
            break;
        }
    }
    revents = entry.revents;
    return result;
}

// One non-blocking read of what has arrived. Returns 0 or an error number;
// `got` is 0 when nothing is waiting. A hang-up reads as EIO.
int readAvailable(ComDevice& device, char* data, std::int32_t size, std::int32_t& got) {
    got = 0;
    for (;;) {
        ssize_t result = read(fdOf(device), data, static_cast<std::size_t>(size));
        if (result > 0) {
            device.bytesRead += static_cast<std::uint64_t>(result);
            got = static_cast<std::int32_t>(result);
            if (device.discardNull) {
                got = static_cast<std::int32_t>(std::remove(data, data + got, '\0') - data);
                if (got == 0) {
                    continue;  // only NULs arrived; look for more
                }
            }
            return 0;
        }
        if (result == 0) {
            return EIO;  // the other side hung up
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        return lastError();
    }
}

}  // namespace

std::string comDevicePath(const std::string& portName) { return devicePath(portName).value_or(""); }

int comNoDeviceError() { return EBADF; }

void comSleepUntil(std::chrono::steady_clock::time_point wake) {
    // Linux may end every sleep later by the thread's timer slack, 50 us by
    // default; the slack of a thread that paces a line is cut to 1 us, once.
    static thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;
    static_cast<void>(tightened);
    // The steady clock is CLOCK_MONOTONIC. An absolute wake time keeps a
    // delay before the call from lengthening the sleep.
    const auto since = wake.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec at{};
    at.tv_sec = static_cast<time_t>(seconds.count());
    at.tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

int comDeviceOpen(const std::string& portName, std::unique_ptr<ComDevice>& device) {
    std::optional<std::string> path = devicePath(portName);
    if (!path) {
        return ENOENT;
    }
    // The lock file is named after the device itself, whichever link led to it.
    char resolved[PATH_MAX];
    if (realpath(path->c_str(), resolved) == nullptr) {
        return lastError();
    }
    ComLock lock;
    if (int error = comLockTake(resolved, lock); error != 0) {
        return error;
    }
    int fd = open(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int error = fd < 0 ? lastError() : 0;
    if (error == 0) {
        if (!isatty(fd)) {
            error = ENOTTY;
        } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error = (errno == EWOULDBLOCK) ? EBUSY : lastError();
        } else if (ioctl(fd, TIOCEXCL) != 0) {
            error = lastError();
        }
    }
    if (error != 0) {
        if (fd >= 0) {
            close(fd);
        }
        // A lock that already named our process may be another port
        // object's, which the failed flock() just showed us; it stays.
        if (lock.created) {
            comLockRelease(lock);
        }
        return error;
    }
    device = std::make_unique<ComDevice>();
    device->handle = fd;
    device->lockFile = lock.path;
    return 0;
}

void comDeviceClose(ComDevice& device) {
    int fd = fdOf(device);
    if (fd < 0) {
        return;
    }
    // The exclusive mark belongs to the terminal, not to this descriptor: a
    // pseudo-terminal keeps it after we close, so it is lifted first.
    ioctl(fd, TIOCNXCL);
    close(fd);
    device.handle = -1;
    // Only once the device is released may another program take it.
    comLockRelease(ComLock{device.lockFile, false});
    device.lockFile.clear();
}

int comDeviceSetBufferSizes(ComDevice& device, std::int32_t inputSize, std::int32_t outputSize) {
    // The kernel sizes its own queues; only the input size is kept, for the
    // "80% full" event.
    if (inputSize < 0 || outputSize < 0) {
        return EINVAL;
    }
    device.inputSize = inputSize;
    return 0;
}

int comDeviceSetLine(ComDevice& device, const TCustomComPort& settings) {
    const TComParity& parity = settings.Parity();
    const TComFlowControl& flow = settings.FlowControl();
    // Handshakes and replacement a terminal cannot do are refused rather
    // than silently left out.
    if (flow.OutDSRFlow() || flow.DSRSensitivity() || flow.ControlDTR() == dtrHandshake ||
        flow.ControlRTS() == rtsToggle) {
        return EINVAL;
    }
    if (parity.Check() && parity.Replace() && parity.ReplaceChar() != 0) {
        return EINVAL;  // a byte with a parity error can only be read as NUL
    }
    std::int32_t bitRate = BaudRateValue(settings.BaudRate(), settings.CustomBaudRate());
    std::optional<speed_t> speed = speedFor(bitRate);
    if (!speed) {
        return EINVAL;
    }

    // Built from the settings alone, never from the device's current state.
    termios line{};
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    static constexpr tcflag_t kSizes[4] = {CS5, CS6, CS7, CS8};
    line.c_cflag |= kSizes[settings.DataBits() & 3];
    switch (settings.StopBits()) {
    case sbOneStopBit: break;
    case sbTwoStopBits: line.c_cflag |= CSTOPB; break;
    case sbOne5StopBits:
        // A UART sends 1.5 stop bits for "two" only with 5 data bits.
        if (settings.DataBits() != dbFive) return EINVAL;
        line.c_cflag |= CSTOPB;
        break;
    }
    switch (parity.Bits()) {
    case prNone: break;
    case prOdd: line.c_cflag |= PARENB | PARODD; break;
    case prEven: line.c_cflag |= PARENB; break;
    case prMark: line.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case prSpace: line.c_cflag |= PARENB | CMSPAR; break;
    }
    // Without replacement a checked byte is delivered as received (errors
    // are only counted); with it, the terminal reads such a byte as NUL.
    if (parity.Check() && parity.Replace()) {
        line.c_iflag |= INPCK;
    }
    bool hardwareFlow = flow.OutCTSFlow() || flow.ControlRTS() == rtsHandshake;
    if (hardwareFlow) {
        line.c_cflag |= CRTSCTS;
    }
    if (flow.XonXoffOut()) line.c_iflag |= IXON;
    if (flow.XonXoffIn()) line.c_iflag |= IXOFF;
    line.c_cc[VSTART] = static_cast<cc_t>(flow.XonChar());
    line.c_cc[VSTOP] = static_cast<cc_t>(flow.XoffChar());
    // One byte satisfies a read; combined with O_NONBLOCK an empty queue
    // gives EAGAIN, so a read of 0 can only mean a hang-up.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (cfsetispeed(&line, *speed) != 0 || cfsetospeed(&line, *speed) != 0) {
        return lastError();
    }

    int fd = fdOf(device);
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        return lastError();
    }
    int error = setModemLine(fd, TIOCM_DTR, flow.ControlDTR() == dtrEnable);
    if (error == 0 && !hardwareFlow) {
        error = setModemLine(fd, TIOCM_RTS, flow.ControlRTS() == rtsEnable);
    }
    if (error != 0) {
        return error;
    }
    device.bitRate = bitRate;
    device.discardNull = settings.DiscardNull();
    return 0;
}

int comDeviceSetTimeouts(ComDevice& device, const TComTimeouts& timeouts) {
    device.KeepTimeouts(timeouts);
    return 0;
}

int comDeviceWrite(ComDevice& device, const char* data, std::int32_t size, std::int32_t& sent) {
    sent = 0;
    int fd = fdOf(device);
    auto deadline = device.WriteDeadline(size);
    while (sent < size) {
        ssize_t result = write(fd, data + sent, static_cast<std::size_t>(size - sent));
        if (result > 0) {
            sent += static_cast<std::int32_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return lastError();
        }
        // The output queue is full: wait for room until the time-out, which
        // ends the write with what went out (not a failure).
        short revents = 0;
        int ready = waitOnDevice(fd, POLLOUT, ComDevice::MillisecondsLeft(deadline), revents);
        if (ready < 0) {
            return lastError();
        }
        if (ready == 0) {
            return 0;
        }
        if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLOUT)) {
            return EIO;
        }
    }
    // The write is complete when the line has sent the bytes, not when the
    // kernel has queued them.
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return 0;
        }
        int left = ComDevice::MillisecondsLeft(deadline);
        if (left == 0) {
            return 0;
        }
        // Ten bit times per queued byte, at least 0.1 ms, at most 5 ms a nap.
        long long napUs =
            std::clamp<long long>(10'000'000LL * queued / std::max(device.bitRate, 1), 100, 5000);
        if (left > 0) {
            napUs = std::min<long long>(napUs, left * 1000LL);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(napUs));
    }
}

int comDeviceRead(ComDevice& device, char* data, std::int32_t size, std::int32_t& received) {
    received = 0;
    int fd = fdOf(device);

    if (device.pendingReadError != 0) {
        return device.pendingReadError;  // stays: the line will not recover
    }
    std::int32_t got = 0;
    int error = readAvailable(device, data, size, got);
    received = got;
    if (error != 0) {
        return error;
    }
    const ComDevice::ReadWait wait = device.PlanRead(size);
    if (wait.atOnce || (wait.firstByteOnly && received > 0)) {
        return 0;
    }
    while (received < size) {
        int timeout = wait.NextWaitMs(received);
        short revents = 0;
        int ready = waitOnDevice(fd, POLLIN, timeout, revents);
        if (ready < 0) {
            return lastError();
        }
        if (ready == 0) {
            return 0;
        }
        error = readAvailable(device, data + received, size - received, got);
        received += got;
        if (error != 0) {
            // The bytes this read has already taken are delivered; the
            // failure waits for the next read, which would find it anyway.
            if (received > 0) {
                device.pendingReadError = error;
                return 0;
            }
            return error;
        }
        if (wait.firstByteOnly && received > 0) {
            return 0;
        }
    }
    return 0;
}

int comDeviceInputCount(ComDevice& device, std::int32_t& count) {
    count = 0;
    if (device.pendingReadError != 0) {
        return 0;
    }
    int queued = 0;
    if (ioctl(fdOf(device), FIONREAD, &queued) != 0) {
        int error = lastError();
        // A terminal that hung up refuses every request with EIO, and the
        // kernel has dropped its queue. Nothing is waiting; the next read
        // reports the hang-up, so bytes a read has just taken reach the caller.
        if (error == EIO) {
            device.pendingReadError = EIO;
            return 0;
        }
        return error;
    }
    count = queued;
    return 0;
}

int comDeviceClearErrors(ComDevice& device) {
    // A terminal keeps no error state to clear: errors come in-band or as
    // counters. The call still proves the device usable.
    int queued = 0;
    return ioctl(fdOf(device), FIONREAD, &queued) != 0 ? lastError() : 0;
}

int comDeviceModemStatus(ComDevice& device, std::uint32_t& status) {
    status = 0;
    int lines = 0;
    if (ioctl(fdOf(device), TIOCMGET, &lines) != 0) {
        int error = lastError();
        return noModemLines(error) ? 0 : error;
    }
    if (lines & TIOCM_CTS) status |= 0x10;
    if (lines & TIOCM_DSR) status |= 0x20;
    if (lines & TIOCM_RNG) status |= 0x40;
    if (lines & TIOCM_CD) status |= 0x80;
    return 0;
}

int comDevicePurgeRequests(ComDevice&) {
    // Every request runs to its end on its caller's thread; none is pending.
    return 0;
}

int comDevicePurgeQueues(ComDevice& device) {
    return tcflush(fdOf(device), TCIOFLUSH) != 0 ? lastError() : 0;
}

bool comDeviceWaitForInput(ComDevice& device, std::int32_t milliseconds) {
    if (device.pendingReadError != 0) {
        return true;
    }
    if (queueCount(fdOf(device), FIONREAD) > 0) {
        return true;
    }
    short revents = 0;
    int ready = waitOnDevice(fdOf(device), POLLIN, std::max(milliseconds, 0), revents);
    return ready > 0 && (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// ---------------------------------------------------------------------------
// Event watch
//
// A terminal signals only "readable" through poll(); the other events are
// found by comparing the queue counts, the modem lines and the kernel's line
// counters with what the previous look saw. While received bytes wait unread
// the device is not polled for input (it would stay readable and the thread
// would spin); instead the thread looks again every kLookAgainMs.

namespace {

constexpr int kLookAgainMs = 20;

constexpr std::uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
                        EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080,
                        EV_RING = 0x0100, EV_RX80FULL = 0x0400;

}  // namespace

struct ComEventWatch {
    ComDevice* device = nullptr;
    int stopFd = -1;
    std::atomic<bool> stopRequested{false};
    std::uint32_t mask = 0;

    int inputQueued = 0;
    std::uint64_t inputArrived = 0;  // bytes read so far plus bytes queued
    int outputQueued = 0;
    bool hungUp = false;
    bool haveModemLines = false;
    int modemLines = 0;
    bool haveCounters = false;
    serial_icounter_struct counters{};
};

void ComEventWatchDeleter::operator()(ComEventWatch* watch) const {
    if (watch->stopFd >= 0) {
        close(watch->stopFd);
    }
    delete watch;
}

namespace {

// Compares the device with the previous look; returns the events seen.
std::uint32_t lookForEvents(ComEventWatch& watch) {
    int fd = fdOf(*watch.device);
    std::uint32_t found = 0;

    // Read first: a read racing with this look can then only make the sum
    // too small, which delays a report but never repeats one.
    std::uint64_t read = watch.device->bytesRead.load();
    int queued = queueCount(fd, FIONREAD);
    std::uint64_t arrived = read + static_cast<std::uint64_t>(queued);
    if (arrived > watch.inputArrived) {
        found |= EV_RXCHAR;
        watch.inputArrived = arrived;
    }
    int nearlyFull = watch.device->inputSize.load() * 8 / 10;
    if (nearlyFull > 0 && queued >= nearlyFull && watch.inputQueued < nearlyFull) {
        found |= EV_RX80FULL;
    }
    watch.inputQueued = queued;

    int outQueued = queueCount(fd, TIOCOUTQ);
    if (watch.outputQueued > 0 && outQueued == 0) {
        found |= EV_TXEMPTY;
    }
    watch.outputQueued = outQueued;

    int lines = 0;
    if (watch.haveModemLines && ioctl(fd, TIOCMGET, &lines) == 0) {
        int changed = lines ^ watch.modemLines;
        if (changed & TIOCM_CTS) found |= EV_CTS;
        if (changed & TIOCM_DSR) found |= EV_DSR;
        if (changed & TIOCM_CD) found |= EV_RLSD;
        if ((changed & TIOCM_RNG) && !(lines & TIOCM_RNG)) found |= EV_RING;
        watch.modemLines = lines;
    }

    serial_icounter_struct counters{};
    if (watch.haveCounters && ioctl(fd, TIOCGICOUNT, &counters) == 0) {
        const serial_icounter_struct& was = watch.counters;
        if (counters.brk != was.brk) found |= EV_BREAK;
        if (counters.frame != was.frame || counters.overrun != was.overrun || counters.parity != was.parity ||
            counters.buf_overrun != was.buf_overrun) {
            found |= EV_ERR;
        }
        watch.counters = counters;
    }
    return found & watch.mask;
}

}  // namespace

int comWatchCreate(ComDevice& device, std::uint32_t mask, ComEventWatchPtr& watch) {
    ComEventWatchPtr created(new ComEventWatch);
    created->device = &device;
    created->mask = mask;
    created->stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (created->stopFd < 0) {
        return lastError();
    }
    int fd = fdOf(device);
    created->inputQueued = queueCount(fd, FIONREAD);
    created->inputArrived = device.bytesRead.load() + static_cast<std::uint64_t>(created->inputQueued);
    created->outputQueued = queueCount(fd, TIOCOUTQ);
    created->haveModemLines = ioctl(fd, TIOCMGET, &created->modemLines) == 0;
    created->haveCounters = ioctl(fd, TIOCGICOUNT, &created->counters) == 0;
    watch = std::move(created);
    return 0;
}

ComWaitResult comWatchWait(ComEventWatch& watch, std::uint32_t& events) {
    const std::uint32_t kInput = EV_RXCHAR | EV_RX80FULL | EV_RXFLAG;
    const std::uint32_t kLines = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    const std::uint32_t kCounters = EV_BREAK | EV_ERR;
    int fd = fdOf(*watch.device);
    for (;;) {
        if (watch.stopRequested.load()) {
            return ComWaitResult::Stopped;
        }
        std::uint32_t found = lookForEvents(watch);
        if (found != 0) {
            events = found;
            return ComWaitResult::Events;
        }
        bool pollInput = !watch.hungUp && watch.inputQueued == 0;
        bool lookAgain = (watch.inputQueued > 0 && (watch.mask & kInput)) || (watch.mask & EV_TXEMPTY) ||
                         (watch.haveModemLines && (watch.mask & kLines)) ||
                         (watch.haveCounters && (watch.mask & kCounters));
        pollfd entries[2] = {{watch.stopFd, POLLIN, 0}, {fd, static_cast<short>(pollInput ? POLLIN : 0), 0}};
        int ready = poll(entries, pollInput ? 2 : 1, lookAgain ? kLookAgainMs : -1);
        if (ready < 0 && errno != EINTR) {
            return ComWaitResult::Failed;
        }
        if (ready > 0 && (entries[0].revents & POLLIN)) {
            return ComWaitResult::Stopped;
        }
        // A hung-up device stays "ready" for ever; from now on only the
        // periodic look and the stop signal wake the thread.
        if (pollInput && (entries[1].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
            queueCount(fd, FIONREAD) == 0) {
            watch.hungUp = true;
        }
    }
}

void comWatchStop(ComEventWatch& watch) {
    watch.stopRequested.store(true);
    std::uint64_t one = 1;
    // The counter cannot overflow from one write; a failure leaves the flag,
    // which the thread sees at its next look.
    [[maybe_unused]] ssize_t written = write(watch.stopFd, &one, sizeof one);
}

std::string ComPortDeviceGroup(const std::string& portName) {
    const std::optional<std::string> path = devicePath(portName);
    struct stat info {};
    if (!path || stat(path->c_str(), &info) != 0) {
        return {};
    }
    const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
    if ((info.st_mode & groupReadWrite) != groupReadWrite) {
        return {};
    }
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::to_string(info.st_gid);
    }
    return found->gr_name;
}
