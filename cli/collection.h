// Scheduled collection in clockreader-cli: "download --new" and
// "download --clocks LIST".
//
// A --new run holds the output folder's lock (the folder itself and
// Punches.lock) for its whole length, refuses a store that is damaged, put
// back from an older copy or on a network file system, opens the punch
// store, finishes the publications an earlier run left, and then, for each
// clock, asks the record counter and ARI and AWI until they agree
// (collect/readplan.h), tells which clock answers by what it holds
// (collect/clockidentity.h), plans the read and runs the same download as
// the window from that position, its records going into the store
// (collect/storewriter.h) and out to the importer as Dump-*.Txt and
// BadRecs-*.Txt files, a pair a clock. A read of a whole full ring is
// followed by the positions the clock's punches overwrote meanwhile, read
// as the next lap. Dump.Txt and BadRecs.Txt are not touched.
//
// A sweep (--clocks) runs the listed clocks in turn on one RS-485 line, with
// or without --new; without it the records go to Dump.Txt and BadRecs.Txt as
// in a plain download. A clock that fails is reported and the sweep goes on.
// A site (--site FILE) runs each of its lines so, side by side, each in a
// thread of its own with its own port and store connection, after one
// preparation of the folder. The run ends with a summary: a table of the
// clocks for a sweep, of ports and clocks for a site.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "commandlinewindow.h"
#include "download/download.h"
#include "options.h"
#include "progress.h"
#include "statusfile.h"

namespace cli {

// Runs a download with --new or --clocks to its end and returns the exit
// status. `stopSignal` gives the number of a signal that asked to stop, or 0.
// With `status`, each clock read is added to its list.
int RunCollection(const Options& options, ProgressMeter& progress, const std::string& program,
                  const std::function<int()>& stopSignal, RunStatus* status = nullptr);

// The word a summary gives a clock's exit status: "complete", "stopped"
// (complete so far, cut short by a stop), "communication error", ...
std::string StatusWordOf(int status, bool cutShort = false);

// The records a plain download reads, once the clock has answered that it
// holds `held`: from the start index on, as many as --count asks for (or
// the count a search found) but never past the newest record, and without
// a count all the clock holds from there.
std::optional<RecordRange> ChooseRecords(CommandLineWindow& window, const Options& options,
                                         std::int32_t held);

// Whether the command is a download for RunCollection.
bool IsCollection(const Options& options);

}  // namespace cli
