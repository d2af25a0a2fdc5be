// Time for the link, the two wire forms of a command, and the one writer
// every transmission goes through.
#include <chrono>

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
    // A sleep of the standard library lasts a whole timer tick on Windows
    // (15.6 ms by default), and everywhere ends later by the system's
    // wake-up delay: after each command byte at 57600 baud that delay is
    // lost line time. The port's pause is exact.
    ComSleep(static_cast<std::int32_t>(milliseconds));
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
    // One whole sleep from now. Taking off the milliseconds a tick counter
    // read twice says have passed would shorten it: the counter may turn
    // over between two readings microseconds apart, and a 1 ms pause would
    // then be none at all.
    if (milliseconds > 0) CurrentTickSource().Sleep(milliseconds);
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
