// The command line of clockreader-cli as CLI11 declares it: a subcommand a
// command, each option once with its check, its help and where its value
// goes. The checks that are ours (numbers as written, Solar dates, ports,
// site files) are in options.cpp; so is the parsing that turns CLI11's
// refusals into the program's messages.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace cli {

struct CommandInfo {
    Command command;
    const char* name;
    const char* help;
};

inline constexpr CommandInfo kCommands[] = {
    {Command::Download, "download", R"(read the record counter and the clock's date, then the records
from index START on: COUNT of them, or without --count all the
clock holds from START on (up to its write index AWI); a COUNT
beyond that reads what the clock holds and says so. Good
records go decoded to Dump.Txt, records the clock flags as
unreadable go raw to BadRecs.Txt. Prints
"total n", the number of records the clock says it holds, and
"read n", the records received (lines in Dump.Txt plus lines in
BadRecs.Txt))"},
    {Command::Pointers, "pointers", R"(print the clock's read and write pointers, as "ARI n" and "AWI n")"},
    {Command::Find, "find", R"((Vireo clocks) find the records of a Solar Hijri date range and
print them as "start n" and "count n", counting only records
the clock holds (a range past the newest record ends there, one
before the oldest holds none); with --download, go on to
download exactly those records)"},
    {Command::Export, "export", R"(write records kept in the punch store of --out again, for an
audit or a payroll query, or those of every branch in the
central database (--from-db); talks to no clock and changes
nothing that was published)"},
    {Command::Clocks, "clocks", R"(list the clocks the punch store of --out knows: the names each
was collected under, its lives (a clock found replaced,
cleared or reset begins a new one), where its next run begins,
its records and its last collection; and whether the site's
publication of Dump-*.Txt files is off (site --publication))"},
    {Command::Verify, "verify", R"(check every page of the punch store of --out and say what is
damaged (exit 2 when something is))"},
    {Command::Backup, "backup", R"(copy the punch store of --out to --file F, consistently, also
while a run collects)"},
    {Command::Push, "push", R"(send every record of the punch store of --out that the central
PostgreSQL database --to does not hold yet; a push killed or
failed is redone from what the database acknowledged, and no
record is ever kept there twice)"},
    {Command::Relayout, "relayout", R"(change the record layout the punch store of --out remembers for
the clock --clock at --port, on purpose, and decode its stored
raw records of its current life again in it (with --push URI,
also the central database's rows of them); the change is
logged in the store. Published files stay as they are)"},
    {Command::Site, "site", R"(show the site of the punch store of --out: its identity, its
name and its home, the computer and folder it was made in. A
store found away from its home is not pushed until it is told
which it is: a copy made to collect for another branch takes a
site of its own (--new-identity), a store moved on purpose its
new home (--moved). A site that feeds only the central database
turns the publication of Dump-*.Txt files off (--publication))"},
};

// The clock's ring holds positions 0 to 253578.
inline constexpr std::int64_t kLastRingPosition = 253578;

// A number within [low, high], written back without leading zeros.
CLI::Validator WholeNumber(std::int64_t low, std::int64_t high);
// A Solar Hijri date yymmdd that exists in 13yy or 14yy.
CLI::Validator SolarDate();
// A day as export takes it: yymmdd, yyyy/mm/dd or yyyy-mm-dd; with `named`
// also today or yesterday.
CLI::Validator ExportDate(bool named);
// An existing folder, its name UTF-8 on every system.
CLI::Validator Folder();
// A text that is not empty; `what` names it in the refusal.
CLI::Validator NotEmpty(const std::string& what);
// A file or folder name, as TakePathArgument() takes it.
CLI::Validator PathArgument(bool windows = kWindowsPaths);
// Sets the port of --port: COMn, a device path or a converter's URL.
void SetPort(Options& options, const std::string& value);

// The whole command line, each option bound to `o`.
std::unique_ptr<CLI::App> CommandLine(Options& o, const std::string& program);

}  // namespace cli
