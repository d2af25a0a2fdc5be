// The commands the clock understands, with the reply length each one is
// collected with on either bus, and the small readings of their replies.
#include <limits>

#include "clocklink/clocklink.h"
#include "utils/text.h"

namespace {

constexpr std::uint32_t kPositionAtDateLimitMs = 30000;
// Collections of a resync: long enough for any record answer with junk
// before it, so the whole of it is read and dropped in one or two.
constexpr int kResyncReplyLength = 50;
// A line that keeps sending without ever answering "OK" is not a clock
// taking a pointer: stop reading it after this many collections.
constexpr int kMaxResyncCollections = 16;

int byBus(bool rs232, int onRs232, int onRs485) { return rs232 ? onRs232 : onRs485; }

}  // namespace

std::string TerminatedCommand(bool rs232, std::string_view body)
{
    std::string text(body);
    text.push_back(rs232 ? CR : '^');
    return text;
}

std::int32_t QueryRecordCounter(ClockWindow& window, int expectedLength)
{
    return RecordCounterValue(QueryClock(window, std::string(1, SO), expectedLength));
}

std::string QueryClockDatePayload(ClockWindow& window)
{
    return ExtractReplyPayload(QueryClock(window, std::string(1, ENQ), 20, kStartMarker));
}

void SetUserReadPointerForDownload(ClockWindow& window, const std::string& start)
{
    const bool rs232 = window.IsRs232();
    QueryClock(window, TerminatedCommand(rs232, "AUR=" + start), byBus(rs232, 1, 10));
}

std::string SetUserReadPointer(ClockWindow& window, const std::string& pointer)
{
    const bool rs232 = window.IsRs232();
    return QueryClock(window, TerminatedCommand(rs232, "AUR=" + pointer), byBus(rs232, 3, 7));
}

std::string QueryNextRecord(ClockWindow& window)
{
    return QueryClock(window, std::string(1, NAK), 50, kStartMarker);
}

bool ResyncUserReadPointer(ClockWindow& window, std::int64_t position)
{
    if (!SharedPort()) return false;
    const std::int64_t onRing = (position % kRingSize + kRingSize) % kRingSize;
    const std::string command =
        TerminatedCommand(window.IsRs232(), "AUR=" + PadLeft(std::to_string(onRing), 5, '0'));
    SendCommand(window, command);
    // Stale bytes come first, in arrival order: the clock answers the
    // command only after whatever it was still sending. The "OK" is looked
    // for in everything collected so far, because a collection that stops at
    // a stale reply's CR may already hold the "O" that arrived in the same
    // read. A collection that brings nothing means the "OK" is not coming.
    std::string collected;
    for (int collection = 0; collection < kMaxResyncCollections; ++collection) {
        const std::string more = CollectReply(window, kResyncReplyLength);
        if (more.empty()) return false;
        collected += more;
        if (HasOk(collected)) return true;
    }
    return false;
}

std::string QueryReadIndexPointer(ClockWindow& window)
{
    return QueryClock(window, TerminatedCommand(window.IsRs232(), "ARI?"), 20);
}

std::string QueryWriteIndexPointer(ClockWindow& window)
{
    return QueryClock(window, TerminatedCommand(window.IsRs232(), "AWI?"), 20);
}

std::string QueryUserReadPointer(ClockWindow& window)
{
    const bool rs232 = window.IsRs232();
    return StripPointerReply(rs232,
                             QueryClock(window, TerminatedCommand(rs232, "AUR?"), byBus(rs232, 8, 12)));
}

std::string PositionAtDate(ClockWindow& window, const std::string& date)
{
    const bool rs232 = window.IsRs232();
    SendCommand(window, TerminatedCommand(rs232, "AURD=" + date));
    return WaitForReply(byBus(rs232, 3, 7), kPositionAtDateLimitMs);
}

std::int32_t RecordCounterValue(std::string_view reply)
{
    std::int64_t value = 0;
    for (char c : reply) {
        if (c < '0' || c > '9') continue;
        value = value * 10 + (c - '0');
        // More digits than 32 bits can hold: the reply is not a usable count.
        if (value > std::numeric_limits<std::int32_t>::max()) return 0;
    }
    return static_cast<std::int32_t>(value);
}

bool HasOk(std::string_view reply) { return reply.find("OK") != std::string_view::npos; }

bool IsFlaggedRecord(std::string_view reply) { return reply.find("???") != std::string_view::npos; }

std::string PointerLabelText(std::string_view reply)
{
    // A value that does not convert leaves -1 in place.
    std::int32_t value = -1;
    const std::size_t at = reply.find(kStartMarker);
    if (at != std::string_view::npos)
        TryStrToInt(reply.substr(at + kStartMarker.size(), 5), value);
    else if (!reply.empty())
        TryStrToInt(reply.substr(0, reply.size() - 1), value);
    return std::to_string(value);
}
