// Time for the link, the two wire forms of a command, and the one writer
// every transmission goes through.
#include <chrono>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "clocklink/clocklink.h"
#include "utils/errors.h"
#include "utils/text.h"

// ---- time ---------------------------------------------------------------------

std::uint32_t TickSource::TickCount()
{
    using namespace std::chrono;
    // Truncation to 32 bits is the point: the counter wraps like the
    // system tick count, and all elapsed times are unsigned differences.
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void TickSource::Sleep(std::uint32_t milliseconds)
{
#ifdef _WIN32
    // Sleeping through the standard library would last a whole timer tick,
    // 15.6 ms by default, where the clock wants 1 ms.
    ComSleep(static_cast<std::int32_t>(milliseconds));
#else
#ifdef __linux__
    // Linux may stretch every sleep by the thread's timer slack, 50 us by
    // default: with the 1 ms pause after each command byte at 57600 baud
    // that is 5 % of the line's time lost. The slack of the thread that
    // talks to the clock is cut to 1 us, once.
    static thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;
    static_cast<void>(tightened);
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

void TickSource::PauseForInput(TComPort& port, std::uint32_t milliseconds)
{
    port.WaitForInput(static_cast<std::int32_t>(milliseconds));
}

namespace {

TickSource& systemClock()
{
    static TickSource clock;
    return clock;
}

TickSource* g_linkClock = nullptr;

}  // namespace

void SetTickSource(TickSource* clock) { g_linkClock = clock; }

TickSource& CurrentTickSource() { return g_linkClock ? *g_linkClock : systemClock(); }

void WaitMilliseconds(std::uint16_t milliseconds)
{
    TickSource& clock = CurrentTickSource();
    const std::uint32_t t0 = clock.TickCount();
    if (static_cast<std::uint32_t>(clock.TickCount() - t0) >= milliseconds) return;
    const std::uint32_t passed = clock.TickCount() - t0;
    if (passed < milliseconds) clock.Sleep(milliseconds - passed);
}

// ---- wire forms -----------------------------------------------------------------

std::uint8_t EncodeBusChar(char x)
{
    return static_cast<std::uint8_t>(((static_cast<std::uint8_t>(x) - 0x20) & 0x3F) | 0x80);
}

namespace {

// The clock number as the hexadecimal reading of its decimal text, so that
// clock 12 is addressed as 0x12; 0 when the text is no hexadecimal number.
std::uint8_t addressByte(std::string_view clockNumberText)
{
    std::int32_t value = 0;
    if (!TryStrToInt("$" + std::string(clockNumberText), value)) return 0;
    return static_cast<std::uint8_t>(value);
}

// The clock number read as a decimal integer. The strict conversion also
// takes "$1A" or "0x1A"; a clock number is decimal, so those are refused
// with the same conversion error.
std::int32_t decimalClockNumber(std::string_view clockNumberText)
{
    if (clockNumberText.find_first_of("$xX") != std::string_view::npos)
        throw EConvertError("'" + std::string(clockNumberText) + "' is not a valid integer value");
    return StrToInt(clockNumberText);
}

}  // namespace

std::string BuildBusFrame(std::string_view clockNumberText, std::string_view command)
{
    std::string frame;
    frame.reserve(command.size() + 3);
    frame.push_back(static_cast<char>(addressByte(clockNumberText)));
    frame.push_back(static_cast<char>((decimalClockNumber(clockNumberText) & 0xFF) | 0x40));
    for (char c : command) frame.push_back(static_cast<char>(EncodeBusChar(c)));

    std::uint8_t check = 0;
    for (char c : frame) check ^= static_cast<std::uint8_t>(c);
    frame.push_back(static_cast<char>((check & 0x3F) | 0xC0));
    return frame;
}

// ---- sending --------------------------------------------------------------------

void SendRaw(const std::string& bytes)
{
    TComPort* port = SharedPort();
    if (!port) return;
    if (!port->Connected()) port->Open();

    // At 57600 baud the clock cannot take bytes back to back: each goes on
    // its own, followed by a pause of at least a millisecond.
    if (port->BaudRate() == br57600 && bytes.size() >= 2) {
        for (char c : bytes) {
            port->WriteText(std::string(1, c));
            WaitMilliseconds(1);
        }
    } else {
        port->WriteText(bytes);
    }
}

namespace {

// The bytes of `command` for the window's bus at this moment.
std::string wireForm(const ClockWindow& window, const std::string& command)
{
    if (window.IsRs232()) return command;
    return BuildBusFrame(window.SelectedClockText(), command);
}

}  // namespace

void SendCommand(ClockWindow& window, const std::string& command)
{
    if (!SharedPort()) return;
    // The frame is built first: a clock number that is no number is refused
    // before the port is touched.
    const std::string bytes = wireForm(window, command);
    OpenSharedPort(window);
    SendRaw(bytes);
}
