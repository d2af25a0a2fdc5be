#include "tools/clocksim/clock.h"

#include <cstdio>

namespace clocksim {

namespace {

// A flagged record: the clock could not read it back and says so with "???"
// in an otherwise well-formed frame; form k carries the first k characters
// it read before it failed. A "?" more where the check byte would be one a
// reader cannot take apart from the frame.
std::string flaggedReply(const Record& record, int form)
{
    std::string body = record.payload.substr(0, static_cast<std::size_t>(form)) + "???";
    for (std::uint8_t check = xorOf(body); check == 0x01 || check == 0x02 || check == 0x0D;
         check = xorOf(body))
        body += '?';
    return replyFrame(body);
}

}  // namespace

SimClock::SimClock(int number, Calendar calendar, Date date, RecordRing ring)
    : m_number(number), m_calendar(calendar), m_date(date), m_ring(std::move(ring))
{
}

std::string SimClock::datePayload() const
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%d", m_date.year, m_date.month, m_date.day,
                  weekday(m_calendar, m_date) + 1);
    return buf;
}

bool SimClock::isRecordRead(std::string_view command) const
{
    return command == std::string_view(&kNAK, 1) && m_ring.at(m_ring.aur()) != nullptr;
}

bool SimClock::isPointerRead(std::string_view command)
{
    return command == std::string_view(&kSO, 1) || command == "ARI?" || command == "AWI?" ||
           command == "AUR?";
}

std::optional<std::string> SimClock::answer(std::string_view command, Bus bus)
{
    if (command.size() == 1) {
        switch (command[0]) {
        case kSO: return counterReply(m_ring.count());
        case kENQ: return replyFrame(datePayload());
        case kNAK: {
            const Record* record = m_ring.at(m_ring.aur());
            m_ring.advanceAur();
            if (!record) return replyFrame("");
            if (!record->flagged) return replyFrame(record->payload);
            return flaggedReply(*record, static_cast<int>(m_flaggedAnswers++ % m_flaggedForms));
        }
        default: return std::nullopt;
        }
    }
    if (command == "ARI?") return pointerReply(bus, m_ring.ari());
    if (command == "AWI?") return pointerReply(bus, m_ring.awi());
    if (command == "AUR?") return pointerReply(bus, m_ring.aur());
    if (command.starts_with("AURD=")) {
        const std::string_view date = command.substr(5);
        if (date.size() != 6 || !allDigits(date)) return std::string("I");
        m_ring.positionAtDate(date);
        return okReply(bus);
    }
    if (command.starts_with("AUR=")) {
        const std::string_view value = command.substr(4);
        // Longer digit strings than the ring needs are not a position.
        if (!allDigits(value) || value.size() > 9) return std::nullopt;
        m_ring.setAur(static_cast<std::uint32_t>(std::stoul(std::string(value)) % kRingSize));
        return okReply(bus);
    }
    return std::nullopt;
}

}  // namespace clocksim
