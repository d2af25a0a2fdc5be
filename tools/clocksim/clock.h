// One simulated clock: its record ring, its date, and its answers.
//
// A clock answers each command it knows with the reply form the reading
// program accepts on the bus in use; anything it does not know gets no
// answer at all, which is what a real clock does with line noise. Replies
// are returned, not written: line timing and injected faults are the
// caller's business.
#pragma once

#include "tools/clocksim/protocol.h"
#include "tools/clocksim/records.h"

#include <optional>
#include <string>
#include <string_view>

namespace clocksim {

class SimClock {
public:
    SimClock(int number, Calendar calendar, Date date, RecordRing ring);

    int number() const { return m_number; }
    RecordRing& ring() { return m_ring; }
    const RecordRing& ring() const { return m_ring; }

    // The reply to a command text (terminator removed), or nothing when the
    // clock does not answer it. A "next record" command moves AUR on by one.
    std::optional<std::string> answer(std::string_view command, Bus bus);

    // True when the command is "next record" and AUR points at a record;
    // only such replies are subject to injected faults.
    bool isRecordRead(std::string_view command) const;
    // True for the pointer queries and the record counter, whose answers
    // are subject to pointer noise.
    static bool isPointerRead(std::string_view command);

    // A flagged record answers in one of `forms` forms, in turn (see
    // clocksim --flagged-forms).
    void setFlaggedForms(int forms) { m_flaggedForms = forms; }

    // ENQ reply payload: yyyymmdd of the clock date and the weekday digit.
    std::string datePayload() const;

private:
    int m_number;
    Calendar m_calendar;
    Date m_date;
    RecordRing m_ring;
    int m_flaggedForms = 1;
    unsigned m_flaggedAnswers = 0;
};

}  // namespace clocksim
