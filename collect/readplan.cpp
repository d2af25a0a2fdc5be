#include "readplan.h"

#include <algorithm>

#include "clocklink/clocklink.h"

namespace collect {

std::int64_t RingOffset(std::int64_t from, std::int64_t to)
{
    return ((to - from) % kRingSize + kRingSize) % kRingSize;
}

ReadPlan PlanNewRecords(const RingState& ring, const std::optional<ClockPosition>& saved,
                        std::optional<std::int32_t> origin)
{
    ReadPlan plan;
    plan.start = ring.ari;
    const std::int64_t heldSpan = ring.held >= kRingSize ? kRingSize : RingOffset(ring.ari, ring.awi);
    bool unmovedSinceSave = false;
    if (origin) {
        plan.start = *origin;
    } else if (saved) {
        const std::int64_t next = saved->nextSerial % kRingSize;
        const std::int64_t moved = RingOffset(saved->ari, ring.ari);
        std::int64_t readBefore = RingOffset(saved->ari, next);
        if (readBefore == 0) readBefore = kRingSize;
        if (moved > readBefore)
            plan.overwritten = moved - readBefore;
        else if (RingOffset(ring.ari, next) > heldSpan)
            plan.savedPositionGone = true;
        else
            plan.start = static_cast<std::int32_t>(next);
        unmovedSinceSave = moved == 0;
    }
    plan.count = RingOffset(plan.start, ring.awi);
    // On a full ring ARI equals AWI, so a read from ARI covers the whole
    // ring; only a ring that has not moved since the save has nothing new.
    if (plan.count == 0 && plan.start == ring.ari && ring.held >= kRingSize &&
        !(saved && !origin && unmovedSinceSave))
        plan.count = kRingSize;
    return plan;
}

std::int64_t FirstSerial(const std::optional<ClockPosition>& saved, std::int32_t start, std::int64_t lifeBase)
{
    if (!saved) return lifeBase + start;
    return saved->nextSerial + RingOffset(saved->nextSerial % kRingSize, start);
}

namespace {

// How often one value is asked before the clock counts as not telling it.
// A value that holds still is confirmed by the second ask; one noisy answer
// costs two more; AWI and the counter, which move while punches arrive,
// need a moment between two punches, and punches come seconds apart while
// an ask takes milliseconds. Six asks leave room for two noisy answers or
// two punches and keep a clock that never answers the same way twice from
// holding up a sweep.
constexpr int kMostAsks = 6;

// A value asked until two consecutive answers agree, at most kMostAsks
// times; `given`, an answer already had, counts as the first. Pointer
// answers on RS-232, and the counter's on either bus, carry no check byte,
// so a value taken from one answer alone may be a wrong digit: 100, 101,
// 150 from a clock whose AWI is 101 would have a run read 49 positions the
// clock never wrote. Two consecutive answers that agree are the value as
// it is now, even while it moves: a punch between them would have made
// them differ. A missing or unreadable answer breaks the run of answers.
template <typename Ask>
std::optional<std::int64_t> Agreed(ClockWindow& window, Ask ask,
                                   std::optional<std::int64_t> given = std::nullopt)
{
    std::optional<std::int64_t> previous = given;
    for (int asked = given ? 1 : 0; asked < kMostAsks; ++asked) {
        const std::optional<std::int64_t> answer = ask();
        if (window.StopRequested()) return std::nullopt;
        if (answer && answer == previous) return answer;
        previous = answer;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> ReadPointer(ClockWindow& window, bool readIndex,
                                        std::optional<std::int32_t> expected)
{
    const bool rs232 = window.IsRs232();
    const auto ask = [&]() -> std::optional<std::int64_t> {
        const std::string reply = readIndex ? QueryReadIndexPointer(window) : QueryWriteIndexPointer(window);
        if (const std::optional<std::int32_t> position =
                PointerReplyValue(reply, PointerRule::RingPosition, rs232))
            return *position;
        return std::nullopt;
    };
    std::optional<std::int64_t> first;
    if (expected) {
        // An answer that agrees with the last run's reading is two that agree.
        first = ask();
        if (window.StopRequested()) return std::nullopt;
        if (first == expected) return expected;
    }
    const std::optional<std::int64_t> value = Agreed(window, ask, first);
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

std::optional<RingState> ReadRing(ClockWindow& window, std::optional<std::int64_t> counted,
                                  const std::optional<ClockPosition>& saved)
{
    const std::optional<std::int32_t> ari =
        ReadPointer(window, true, saved ? std::optional<std::int32_t>(saved->ari) : std::nullopt);
    if (!ari) return std::nullopt;
    const std::optional<std::int32_t> awi = ReadPointer(
        window, false,
        saved ? std::optional<std::int32_t>(static_cast<std::int32_t>(saved->nextSerial % kRingSize))
              : std::nullopt);
    if (!awi) return std::nullopt;
    // The counter: its answer has no check byte, so agreement alone
    // checks it; 0 is a count here (an empty or cleared clock).
    const std::optional<std::int64_t> held = Agreed(
        window,
        [&]() -> std::optional<std::int64_t> {
            const std::string reply = QueryClock(window, std::string(1, SO), 15);
            if (reply.empty() || reply.back() != CR || reply.find_first_of("0123456789") == std::string::npos)
                return std::nullopt;
            return RecordCounterValue(reply);
        },
        counted);
    if (!held) return std::nullopt;
    if (*held < kRingSize && (*ari != *awi || *held == 0))
        return RingState{*ari, *awi, RingOffset(*ari, *awi)};
    // Full: ARI and AWI are one position, which moves with every punch;
    // the one to read from is where it is now, after the counter.
    const std::optional<std::int32_t> now = ReadPointer(window, false);
    if (!now) return std::nullopt;
    return RingState{*now, *now, kRingSize};
}

}  // namespace collect
