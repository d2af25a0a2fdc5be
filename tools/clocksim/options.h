// Command-line options of clocksim.
#pragma once

#include "tools/clocksim/faults.h"
#include "tools/clocksim/protocol.h"
#include "tools/clocksim/records.h"

#include <optional>
#include <string>
#include <vector>

namespace clocksim {

struct Options {
    Bus bus = Bus::Rs232;
    std::vector<int> clocks{1};
    RecordSettings records;
    bool dateGiven = false;
    std::string recordsFile;
    std::uint32_t ari = 0;
    std::string link;
    std::string wireLog;
    std::string dumpExpected;
    long baud = 9600;
    bool lineRate = false;
    int turnaroundMs = 0;
    // Punches while running: every punchEveryMs, punchBatch new records on
    // each clock, until punchLimit records per clock were added (0: no end).
    int punchEveryMs = 0;
    std::uint64_t punchBatch = 1;
    std::uint64_t punchLimit = 0;
    // SIGUSR1 gives every clock other records: replaceRecords of them
    // (default: as many as it held at start), made from replaceSeed (default
    // the record seed + 1000; each later replacement adds 1), from
    // replaceAri on.
    std::optional<std::uint32_t> replaceRecords;
    std::optional<std::uint64_t> replaceSeed;
    std::uint32_t replaceAri = 0;
    // A replacement keeps the old clock's flagged records flagged where
    // both hold a record, so the new clock flags the same positions.
    bool replaceKeepsFlagged = false;
    // A flagged record answers in one of this many forms, in turn: "???"
    // alone, then with the first 1, 2, ... characters the clock read of
    // it before "???".
    int flaggedForms = 1;
    FaultPlan faults;
    std::uint64_t faultSeed = 1;
    bool help = false;
};

// Parses argv. Returns an error text, empty on success.
std::string parseOptions(int argc, char** argv, Options& options);
const char* helpText();

}  // namespace clocksim
