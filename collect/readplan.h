// Which records a "download --new" run reads from a clock.
//
// A run reads from where the last one stopped (the clock's saved position in
// the punch store), or from the clock's read index ARI the first time, up to
// its write index AWI. The ring tells positions only modulo its size, so how
// far it moved since the last run is measured by ARI, which moves only when
// records are overwritten (or the clock is cleared).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "clocklink/clockwindow.h"
#include "punchstore.h"

namespace collect {

// What a clock's answers say about its ring now.
struct RingState {
    std::int32_t ari = 0;
    std::int32_t awi = 0;
    std::int64_t held = 0;  // the record counter
};

// Where a run reads, and what it has to tell first.
struct ReadPlan {
    std::int32_t start = 0;
    std::int64_t count = 0;
    // Records written since the last run that the ring overwrote before they
    // were read; the run reads everything the ring still holds.
    std::int64_t overwritten = 0;
    // The saved position lies outside what the clock holds (a clock cleared
    // or replaced); the run reads everything the ring holds.
    bool savedPositionGone = false;
};

// Records from ring position `from` up to, not including, `to`.
std::int64_t RingOffset(std::int64_t from, std::int64_t to);

// The records to read: from `origin` when given (--start), else from the
// saved position, else from ARI; up to AWI.
//
// When ARI has moved on past the saved position since the position was
// saved, the records in between are gone. A saved position equal to the ARI
// saved with it counts as "the whole ring was read". More than a whole ring
// of new records between two runs cannot be told apart from fewer.
ReadPlan PlanNewRecords(const RingState& ring, const std::optional<ClockPosition>& saved,
                        std::optional<std::int32_t> origin);

// The serial of the plan's first record: the saved serial moved on to the
// plan's start, so serials only grow and a ring position read again after
// the ring wrapped gets a new one; the first time in a life, the start on
// the life's first lap (`lifeBase`, 0 for the first life).
std::int64_t FirstSerial(const std::optional<ClockPosition>& saved, std::int32_t start,
                         std::int64_t lifeBase = 0);

// The ring as the clock tells it, believed only once checked. ARI, AWI
// and then the record counter are each asked until two consecutive answers
// agree, at most six times; no value is taken that a second answer did not
// confirm. AWI and the counter move while punches arrive, so they are asked
// on until they hold still between two asks. A pointer answer whose check
// byte or range is wrong is no answer, and so is one from RS-485 without
// its SOH SOH SOH and check byte. The counter is asked after the pointers,
// so a ring that filled while they were asked is seen full: ARI = AWI with
// records held, or a counter at the ring's size. A full ring's ARI is its
// AWI, asked once more after the counter. Nothing when the clock does not
// tell them so. `counted`: the counter's answer before the pointers were
// asked, if any, which counts as its first. `saved`: the position the last
// run saved for the clock, if any; a first answer equal to its ARI, or to
// its position for AWI (nothing new), agrees with that run's reading and is
// not asked again.
std::optional<RingState> ReadRing(ClockWindow& window, std::optional<std::int64_t> counted = std::nullopt,
                                  const std::optional<ClockPosition>& saved = std::nullopt);

// One pointer, asked as ReadRing asks it: "ARI?" when `readIndex`, else
// "AWI?"; a first answer equal to `expected` is taken, any other value
// only once two consecutive answers agree.
std::optional<std::int32_t> ReadPointer(ClockWindow& window, bool readIndex,
                                        std::optional<std::int32_t> expected = std::nullopt);

}  // namespace collect
