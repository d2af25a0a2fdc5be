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

std::int64_t FirstSerial(const std::optional<ClockPosition>& saved, std::int32_t start)
{
    if (!saved) return start;
    return saved->nextSerial + RingOffset(saved->nextSerial % kRingSize, start);
}

std::optional<RingState> ReadRingSnapshot(ClockWindow& window, std::int64_t held)
{
    // Until the ring is full only AWI moves: when ARI reads the same before
    // and after AWI, it was that when AWI was read. ARI moves only once the
    // ring is full, with every punch overwriting the oldest record; from
    // then on it equals AWI, so a fresh AWI gives both.
    const std::optional<std::int32_t> ari =
        PointerReplyValue(QueryReadIndexPointer(window), PointerRule::RingPosition);
    if (!ari || window.StopRequested()) return std::nullopt;
    const std::optional<std::int32_t> awi =
        PointerReplyValue(QueryWriteIndexPointer(window), PointerRule::RingPosition);
    if (!awi || window.StopRequested()) return std::nullopt;
    const std::optional<std::int32_t> ariAfter =
        PointerReplyValue(QueryReadIndexPointer(window), PointerRule::RingPosition);
    if (!ariAfter || window.StopRequested()) return std::nullopt;
    if (*ariAfter == *ari) return RingState{*ari, *awi, held};
    const std::optional<std::int32_t> awiNow =
        PointerReplyValue(QueryWriteIndexPointer(window), PointerRule::RingPosition);
    if (!awiNow) return std::nullopt;
    return RingState{*awiNow, *awiNow, std::max<std::int64_t>(held, kRingSize)};
}

}  // namespace collect
