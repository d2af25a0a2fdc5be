// Collecting replies from the port and taking them apart.
#include <algorithm>

#include "clocklink/clocklink.h"

namespace {

constexpr std::uint32_t kQueryTimeLimitMs = 5000;
constexpr std::uint32_t kQueryPauseMs = 2;
constexpr int kEmptyReadsPerMessagePass = 50;
constexpr std::uint32_t kWaitForReplyPauseMs = 100;
// The other side's reaction time, added to the line time of an answer.
constexpr std::uint32_t kQuietMarginMs = 20;
constexpr std::uint32_t kDrainLimitMs = 5000;
constexpr int kDrainChunk = 256;

// Elapsed milliseconds on the wrapping 32-bit counter.
std::uint32_t since(TickSource& clock, std::uint32_t t0) { return clock.TickCount() - t0; }

int remaining(int expectedLength, const std::string& collected)
{
    return expectedLength - static_cast<int>(collected.size());
}

}  // namespace

namespace {
// Each thread that runs operations reads its own port (see SharedPort()).
thread_local std::uint64_t g_charactersReceived = 0;
}  // namespace

std::string ReadPortText(int count)
{
    std::string text;
    // The port may have been released while the window processed its
    // messages; there is then nothing to read.
    if (TComPort* port = SharedPort()) port->ReadText(text, count);
    g_charactersReceived += text.size();
    return text;
}

std::uint64_t CharactersReceived() { return g_charactersReceived; }

std::string QueryClock(ClockWindow& window, const std::string& command, int expectedLength,
                       std::string_view startMarker)
{
    SendCommand(window, command);
    return CollectReply(window, expectedLength, startMarker);
}

std::string CollectReply(ClockWindow& window, int expectedLength, std::string_view startMarker)
{
    std::string collected;
    if (!SharedPort()) return collected;  // nothing can come
    TickSource& clock = CurrentTickSource();
    int idle = 0;
    bool timedOut = false;
    const std::uint32_t t0 = clock.TickCount();
    while (true) {
        const std::string chunk = ReadPortText(remaining(expectedLength, collected));
        if (!chunk.empty()) {
            collected += chunk;
        } else {
            // The limit counts only on reads that brought nothing, so a reply
            // still coming in is never cut off by it.
            if (since(clock, t0) >= kQueryTimeLimitMs) timedOut = true;
            if (TComPort* port = SharedPort())
                clock.PauseForInput(*port, kQueryPauseMs);
            else
                clock.Sleep(kQueryPauseMs);
            if (++idle == kEmptyReadsPerMessagePass) {
                ProcessWindowMessages(window);
                idle = 0;
            }
            // A stop asked for meanwhile ends the wait with what has come.
            if (window.StopRequested()) break;
        }
        if (!startMarker.empty()) {
            const std::size_t at = collected.find(startMarker);
            if (at != std::string::npos) collected.erase(0, at);
        }
        if (static_cast<int>(collected.size()) >= expectedLength || collected.find(CR) != std::string::npos)
            break;
        if (timedOut) break;
    }
    return collected;
}

std::uint32_t QuietLineMs(std::int32_t bitRate)
{
    const std::int64_t rate = std::max<std::int32_t>(bitRate, 1);
    const std::int64_t bitMs = std::int64_t{kLongestAnswerLength} * 10 * 1000;
    return static_cast<std::uint32_t>((bitMs + rate - 1) / rate) + kQuietMarginMs;
}

bool DrainLine(ClockWindow& window)
{
    TComPort* port = SharedPort();
    if (!port || !port->Connected()) return false;
    TickSource& clock = CurrentTickSource();
    const std::uint32_t quietMs = QuietLineMs(BaudRateValue(port->BaudRate(), port->CustomBaudRate()));
    const std::uint32_t t0 = clock.TickCount();
    std::uint32_t lastArrival = t0;
    while (since(clock, t0) < kDrainLimitMs && !window.StopRequested()) {
        if (!ReadPortText(kDrainChunk).empty()) {
            lastArrival = clock.TickCount();
            continue;
        }
        const std::uint32_t quiet = since(clock, lastArrival);
        if (quiet >= quietMs) return true;
        clock.PauseForInput(*port, quietMs - quiet);
        ProcessWindowMessages(window);
        // The window may have let the port go while it processed messages.
        port = SharedPort();
        if (!port || !port->Connected()) return false;
    }
    return false;
}

std::string WaitForReply(int expectedLength, std::uint32_t timeLimitMs, const ClockWindow* window)
{
    TickSource& clock = CurrentTickSource();
    std::string collected;
    bool timedOut = false;
    const std::uint32_t t0 = clock.TickCount();
    while (!timedOut) {
        // Without a port nothing can come; a failing read ends the wait the
        // same way, quietly, with what has arrived.
        if (!SharedPort()) break;
        std::string chunk;
        try {
            chunk = ReadPortText(remaining(expectedLength, collected));
        } catch (const EComPort&) {
            break;
        }
        if (!chunk.empty())
            collected += chunk;
        else if (since(clock, t0) >= timeLimitMs)
            timedOut = true;
        if (collected == "I") break;
        if (static_cast<int>(collected.size()) >= expectedLength) break;
        if (window && window->StopRequested()) break;
        clock.Sleep(kWaitForReplyPauseMs);
    }
    return collected;
}

namespace {

constexpr std::string_view kPayloadMarker{"\x02\x02\x02", 3};
constexpr std::size_t kFrameScanLimit = 255;

// `text` from the first occurrence of `marker` on (all of it when there is
// none), at most kFrameScanLimit characters.
std::string_view fromMarker(std::string_view text, std::string_view marker)
{
    const std::size_t at = text.find(marker);
    if (at != std::string_view::npos) text.remove_prefix(at);
    return text.substr(0, kFrameScanLimit);
}

}  // namespace

std::string ExtractReplyPayload(std::string_view reply)
{
    const std::string_view frame = fromMarker(fromMarker(reply, kStartMarker), kPayloadMarker);

    const std::size_t cr = frame.find(CR);
    if (cr == std::string_view::npos) return {};
    const std::size_t lastMarker = frame.substr(0, cr).find_last_of(std::string_view("\x01\x02", 2));
    if (lastMarker == std::string_view::npos) return {};

    // The check byte sits right before the CR. When that byte is the marker
    // itself, there is no room for a payload and the frame fails the check
    // below (an empty payload checks as 0, a marker is 1 or 2).
    const auto check = static_cast<std::uint8_t>(frame[cr - 1]);
    const std::size_t payloadStart = lastMarker + 1;
    const std::size_t payloadEnd = std::max(payloadStart, cr - 1);
    const std::string_view payload = frame.substr(payloadStart, payloadEnd - payloadStart);

    std::uint8_t sum = 0;
    for (char c : payload) sum ^= static_cast<std::uint8_t>(c);
    if (sum != check) return {};
    return std::string(payload);
}

std::string StripPointerReply(bool rs232, std::string_view reply)
{
    const std::size_t at = reply.find(kStartMarker);
    if (at == std::string_view::npos) {
        if (reply.empty()) return {};
        return std::string(reply.substr(0, reply.size() - 1));
    }
    const std::string_view value = reply.substr(at + kStartMarker.size());
    if (rs232) return std::string(value);
    // On the bus the value is followed by the check byte and CR.
    const std::size_t keep = reply.size() >= 5 ? reply.size() - 5 : 0;
    return std::string(value.substr(0, keep));
}
