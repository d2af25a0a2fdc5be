// Scheduled collection: "download --new" and "download --clocks LIST".
//
// A --new run holds the output folder's lock for its whole length, so two
// runs never collect into one folder at once. It first reads Positions.Txt
// (positionfile.h) and repairs what a killed run left: Dump.Txt and
// BadRecs.Txt are cut back to the sizes the position file records, since
// the lines beyond them belong to records the file does not claim, and those
// records are read again. Then, for each clock, it asks the record counter,
// ARI and AWI, plans the read (PlanNewRecords) and runs the same download as
// the window from that position, appending to the output files.
//
// While records arrive the position file is saved again every second, and
// once more at the end of the run: both output files are put on the disk
// first, then the position file is replaced atomically, so it never claims a
// record whose line is not on the disk, and a kill or power cut at any
// instant loses nothing and doubles nothing.
//
// A sweep (--clocks) runs the listed clocks in turn on one RS-485 line, with
// or without --new; a clock that fails is reported and the sweep goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "options.h"
#include "positionfile.h"
#include "progress.h"

namespace cli {

// What a clock's answers say about its ring now.
struct RingState {
    std::int32_t ari = 0;
    std::int32_t awi = 0;
    std::int64_t held = 0;  // the record counter
};

// Where a --new run reads, and what it has to tell first.
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

// The records to read: from `origin` when given (--start), else from the
// saved position, else from ARI; up to AWI.
//
// The ring tells positions only modulo its size, so how far it moved is
// measured by ARI, which moves only when records are overwritten (or the
// clock is cleared): when ARI has moved on past the saved position since the
// position was saved, the records in between are gone. A saved position
// equal to the ARI saved with it counts as "the whole ring was read". More
// than a whole ring of new records between two runs cannot be told apart
// from fewer.
ReadPlan PlanNewRecords(const RingState& ring, const SavedPosition* saved,
                        std::optional<std::int32_t> origin);

// The value of a read or write index pointer reply: on RS-232 the digits
// followed by CR, on RS-485 SOH SOH SOH, the digits, a check byte and CR.
// Every digit is read, since the ring has positions above 99999. Nothing
// when the reply is not of that form or the value is not a ring position.
std::optional<std::int32_t> PointerReplyValue(std::string_view reply);

// Runs a download with --new or --clocks to its end and returns the exit
// status. `stopSignal` gives the number of a signal that asked to stop, or 0.
int RunCollection(const Options& options, ProgressMeter& progress, const std::string& program,
                  const std::function<int()>& stopSignal);

// Whether the command is a download for RunCollection.
bool IsCollection(const Options& options);

}  // namespace cli
