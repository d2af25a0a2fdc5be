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
    const std::string reply = QueryClock(window, std::string(1, SO), expectedLength);
    const std::int32_t total = RecordCounterValue(reply);
    // A total of 0 is a count only when the reply held digits and all of
    // them were zeros; otherwise nothing usable came.
    const bool answered = total > 0 || (reply.find_first_of("0123456789") != std::string::npos &&
                                        reply.find_first_of("123456789") == std::string::npos);
    if (answered) window.RecordCounterAnswered(total);
    return total;
}

std::string QueryClockDatePayload(ClockWindow& window)
{
    return ExtractReplyPayload(QueryClock(window, std::string(1, ENQ), 20, kStartMarker));
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

namespace {

// An answer that ends in "OK": a bare "OK" CR, or on the bus "OK" as the
// whole payload of a frame (SOH, "OK", its check byte 0x04, CR).
bool isOkAnswer(std::string_view answer)
{
    return answer.ends_with("OK\r") || answer.ends_with(std::string_view("\x01OK\x04\r", 5));
}

// An answer that carries a record or the clock's date: a frame with its
// payload marker, or a flagged record.
bool isRecordAnswer(std::string_view answer)
{
    return answer.find(STX) != std::string_view::npos || IsFlaggedRecord(answer);
}

}  // namespace

bool ResyncUserReadPointer(ClockWindow& window, std::int64_t position, PendingPointerAnswers& pending,
                           bool lineKnownQuiet)
{
    if (!SharedPort()) return false;
    // Whatever is still arriving belongs to earlier commands; had it come
    // after the "AUR=", it would only make the wait for the "OK" longer.
    // A quiet line owes nothing: what was not answered by now never will be.
    if (lineKnownQuiet || DrainLine(window)) pending.count = 0;
    const std::int64_t onRing = (position % kRingSize + kRingSize) % kRingSize;
    SendCommand(window,
                TerminatedCommand(window.IsRs232(), "AUR=" + PadLeft(std::to_string(onRing), 5, '0')));
    ++pending.count;

    // The clock answers in order: first whatever it still owed (records
    // that came late, answers to earlier "AUR=" commands), then this one.
    // Answers are taken whole, up to their CR, whatever the reads that
    // brought them; a collection may stop in the middle of one.
    std::string collected;
    for (int collection = 0; collection < kMaxResyncCollections; ++collection) {
        const std::string more = CollectReply(window, kResyncReplyLength);
        if (more.empty()) return false;
        collected += more;
        for (std::size_t cr; (cr = collected.find(CR)) != std::string::npos; collected.erase(0, cr + 1)) {
            const std::string_view answer(collected.data(), cr + 1);
            const bool ok = isOkAnswer(answer);
            if (!ok && isRecordAnswer(answer)) continue;
            if (pending.count > 0) --pending.count;
            // An "OK" while another "AUR=" is still unanswered may be the
            // earlier one's: its own is then still on its way.
            if (pending.count == 0) return ok;
        }
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
    return WaitForReply(byBus(rs232, 3, 7), kPositionAtDateLimitMs, &window);
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

std::optional<std::int32_t> PointerReplyValue(std::string_view reply, PointerRule rule, bool rs232)
{
    const bool ended = !reply.empty() && reply.back() == CR;
    std::string_view value;
    // Only an RS-232 answer comes without a check byte.
    bool checked = rs232;
    if (const std::size_t at = reply.find(kStartMarker); at != std::string_view::npos) {
        value = reply.substr(at + kStartMarker.size());
        // Up to the check byte, the one before the CR: the XOR of the digits.
        if (const std::size_t cr = value.find(CR); cr != std::string_view::npos) {
            std::uint8_t check = 0;
            for (char c : value.substr(0, cr == 0 ? 0 : cr - 1)) check ^= static_cast<std::uint8_t>(c);
            checked = cr > 0 && static_cast<std::uint8_t>(value[cr - 1]) == check;
            value = value.substr(0, cr == 0 ? 0 : cr - 1);
        }
    } else if (!reply.empty()) {
        value = reply.substr(0, reply.size() - 1);
    }
    if (rule == PointerRule::WindowLabel) {
        std::int32_t number = 0;
        if (!TryStrToInt(value, number)) return std::nullopt;
        return number;
    }
    if (!ended || !checked || value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::int64_t number = 0;
    for (char c : value) number = number * 10 + (c - '0');
    if (number >= kRingSize) return std::nullopt;
    return static_cast<std::int32_t>(number);
}

std::string PointerLabelText(std::string_view reply)
{
    return std::to_string(PointerReplyValue(reply, PointerRule::WindowLabel, true).value_or(-1));
}
