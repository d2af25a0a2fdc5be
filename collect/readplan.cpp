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

// A value asked up to three times until two answers agree. A
// value that only moves on, by less than `drift`, between three answers
// is one that changes while it is asked (AWI or the counter while punches
// arrive): the last answer is the one to go by. Noise in one answer makes
// it jump, or fail its check.
template <typename Ask>
std::optional<std::int64_t> Agreed(ClockWindow& window, Ask ask, std::int64_t drift,
                                   std::optional<std::int64_t> given = std::nullopt)
{
    std::optional<std::int64_t> answers[3];
    for (int i = 0; i < 3; ++i) {
        answers[i] = i == 0 && given ? given : ask();
        if (window.StopRequested()) return std::nullopt;
        for (int j = 0; j < i; ++j)
            if (answers[i] && answers[i] == answers[j]) return answers[i];
    }
    if (!answers[0] || !answers[1] || !answers[2]) return std::nullopt;
    const std::int64_t first = RingOffset(*answers[0], *answers[1]),
                       second = RingOffset(*answers[1], *answers[2]);
    if (first + second < drift) return answers[2];
    return std::nullopt;
}

constexpr std::int64_t kDrift = 1000;

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
    const std::optional<std::int64_t> value = Agreed(window, ask, kDrift, first);
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
        kDrift, counted);
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
