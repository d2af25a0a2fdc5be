#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "serial/comport.h"
#include "utils/calendar.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A whole decimal number of plain digits within [low, high]; no sign, no blanks.
// CLI11's own conversion reads "032" as octal 26 and takes "0x1F", " 5" and
// "+5", so the numbers the dump lines carry are checked here.
std::optional<std::int64_t> DecimalInRange(const std::string& text, std::int64_t low, std::int64_t high)
{
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

// The clock's ring holds positions 0 to 253578.
constexpr std::int64_t kLastRingPosition = 253578;

// A number within [low, high], written back without leading zeros.
CLI::Validator WholeNumber(std::int64_t low, std::int64_t high)
{
    return CLI::Validator(
        [low, high](std::string& value) {
            const std::optional<std::int64_t> n = DecimalInRange(value, low, high);
            if (!n)
                return "'" + value + "' is not a whole number from " + std::to_string(low) + " to " +
                       std::to_string(high);
            value = std::to_string(*n);
            return std::string();
        },
        "", "whole number");
}

// A date yymmdd of the Solar Hijri calendar. The clock compares the date
// texts, not the days, so the text is kept as given. The year's century is
// not written: a date is accepted when it exists in 13yy or in 14yy, which
// differ only in which years have an Esfand 30.
CLI::Validator SolarDate()
{
    return CLI::Validator(
        [](std::string& value) {
            const std::optional<std::int64_t> n =
                value.size() == 6 ? DecimalInRange(value, 0, 999999) : std::nullopt;
            const int yy = n ? static_cast<int>(*n / 10000) : 0,
                      month = n ? static_cast<int>(*n / 100 % 100) : 0,
                      day = n ? static_cast<int>(*n % 100) : 0;
            const int monthLength = month <= 6    ? 31
                                    : month <= 11 ? 30
                                    : IsSolarLeapYear(static_cast<std::uint16_t>(1300 + yy)) ||
                                            IsSolarLeapYear(static_cast<std::uint16_t>(1400 + yy))
                                        ? 30
                                        : 29;
            if (!n || month < 1 || month > 12 || day < 1 || day > monthLength)
                return "'" + value + "' is not a Solar Hijri date yymmdd";
            return std::string();
        },
        "", "Solar Hijri date");
}

// An existing folder; the name is UTF-8 on every system, which CLI11's own
// file checks do not read so on Windows.
CLI::Validator Folder()
{
    return CLI::Validator(
        [](std::string& value) {
            std::error_code error;
            if (value.empty() || !std::filesystem::is_directory(PathFromUtf8(value), error))
                return "'" + value + "' is not a folder";
            return std::string();
        },
        "", "folder");
}

CLI::Validator NotEmpty(const std::string& what)
{
    return CLI::Validator(
        [what](std::string& value) { return value.empty() ? "the " + what + " is empty" : std::string(); },
        "", what);
}

// The number at the end of a device path ("/dev/ttyUSB3" gives "3"), without
// leading zeros; "1" when the path does not end in a digit.
std::string TrailingNumber(const std::string& path)
{
    std::size_t end = path.size(), begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(path[begin - 1]))) --begin;
    if (begin == end) return "1";
    while (begin + 1 < end && path[begin] == '0') ++begin;
    return path.substr(begin);
}

void SetPort(Options& options, const std::string& value)
{
    const auto refuse = [&](const std::string& why) { return UsageError("--port: '" + value + "' " + why); };
    std::string lower = Lower(value);
    if (lower.size() > 3 && lower.compare(0, 3, "com") == 0) {
        std::optional<std::int64_t> n = DecimalInRange(value.substr(3), 1, 255);
        if (!n) throw refuse("is not COM1 to COM255");
        options.comText = std::to_string(*n);
        options.portPath.clear();
        return;
    }
    // A converter on the network: the address must read here; whether its
    // host resolves is asked before the run starts. The dump lines carry the
    // number it ends in, as for a device path.
    if (value.find("://") != std::string::npos) {
        if (const std::string problem = NetworkAddressProblem(value, false); !problem.empty())
            throw UsageError("--port: '" + value + "': " + problem);
        options.portPath = value;
        options.comText = TrailingNumber(value.back() == '/' ? value.substr(0, value.size() - 1) : value);
        return;
    }
    // A Windows device name (\\.\COM12, \\.\CNCA0) is taken as it is.
    if (value.rfind("\\\\.\\", 0) == 0 && value.size() > 4) {
        options.portPath = value;
        options.comText = TrailingNumber(value);
        return;
    }
    if (value.find('/') != std::string::npos) {
        options.portPath = Utf8FromPath(std::filesystem::absolute(PathFromUtf8(value)).lexically_normal());
        options.comText = TrailingNumber(options.portPath);
        return;
    }
    throw refuse("is neither COMn, a device path nor a network address");
}

std::vector<Options> ReadSiteFile(const std::string& name)
{
    const auto unreadable = [&] { return UsageError("--site: cannot read '" + name + "'"); };
    std::error_code error;
    if (!name.empty() && std::filesystem::is_directory(PathFromUtf8(name), error))
        throw UsageError("--site: '" + name + "' is a folder, not a site file");
    std::string text;
    try {
        std::ifstream in(PathFromUtf8(name), std::ios::binary);
        if (name.empty() || !in) throw unreadable();
        text.assign(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) throw unreadable();
    } catch (const std::ios_base::failure&) {
        throw unreadable();
    }
    return ParseSiteFile(text, name);
}

// The paragraphs of the help that differ between the systems: port names,
// the ports folder, and the requests that stop a run.
#ifdef _WIN32
constexpr const char* kPortNames = "COMn|NAME|URL";
constexpr const char* kPortHelp = R"(serial port (default COM1). COMn opens the system's port
COMn (COM10 and above too), or the converter that a file
COMn in the ports folder names on its first line (a
URL); the dump lines carry n as the port number. A
device NAME such as \\.\CNCA0 opens that device; the dump
lines then carry the number the name ends in without
leading zeros, or 1 when it ends in none. A URL reaches
a serial-to-Ethernet converter: socket://HOST:PORT (raw
TCP) or rfc2217://HOST:PORT (RFC 2217, which sets the
converter's line to --baud, 8N1))";
constexpr const char* kPortsDirHelp = R"(the ports folder: where a COMn entry holding a network
URL is looked for. Default: the window's, ports\ beside
the program in a copy you unpacked, else
Documents\ClockReader\ports)";
constexpr const char* kStopHelp = R"(A port that cannot be used is named with the device tried, as in
"COM1 -> \\.\COM1, RS-232, clock 1: Unable to open com port (win error
code: 2)." or "COM7 -> rfc2217://10.0.0.5:4001, RS-232, clock 1: Unable to
open com port (win error code: 10061).". A URL that does not read or whose
host does not resolve is bad input.

Ctrl+C or Ctrl+Break stops any command within a fraction of a second (a
download after the current record); closing the console window, logging off
or shutting down stop it the same way; a second request ends the program at
once. Every line written is already on disk.
)";
constexpr const char* kStopStatusHelp =
    R"(  129, 130  stopped by closing the console (or a log-off or shut-down), or by
            Ctrl+C or Ctrl+Break, before the work was done
)";
#else
constexpr const char* kPortNames = "COMn|PATH|URL";
constexpr const char* kPortHelp = R"(serial port (default COM1). COMn opens the link COMn in
the ports folder when it exists, else /dev/ttyS<n-1>; a
regular file COMn there names a converter on its first
line (a URL); the dump lines carry n as the port number.
A PATH (anything with a "/") opens that device; the dump
lines then carry the number the path ends in without
leading zeros (/dev/ttyUSB0 gives 0), or 1 when it ends
in none. A URL reaches a serial-to-Ethernet converter:
socket://HOST:PORT (raw TCP; the converter's own line
settings apply) or rfc2217://HOST:PORT (RFC 2217, which
sets the converter's line to --baud, 8N1); connecting
may take 5 s; the dump lines carry the number it ends in)";
constexpr const char* kPortsDirHelp = R"(the ports folder: where COMn is looked for. Default: the
window's, ports/ beside the program when the user may
write to the program's folder and it is no installed copy,
else ~/ClockReader/ports)";
constexpr const char* kStopHelp = R"(A port that cannot be used is named with the device tried, as in
"COM1 -> /dev/ttyS0, RS-232, clock 1: Unable to open com port (win error
code: 2)." or "COM7 -> rfc2217://10.0.0.5:4001, RS-232, clock 1: Unable to
open com port (win error code: 111); the converter refused the connection".
A URL that does not read or whose host does not resolve is bad input.

SIGINT, SIGTERM or SIGHUP stops any command within a fraction of a second (a
download after the current record); a second one ends the program at once.
Every line written is already on disk.
)";
constexpr const char* kStopStatusHelp =
    R"(  129, 130, 143  stopped by SIGHUP, SIGINT or SIGTERM before the work was done
)";
#endif

constexpr const char* kLinkGroup = "Link options";

CLI::Option* AddText(CLI::App& command, const std::string& name, const char* valueName,
                     const std::string& help, std::function<void(const std::string&)> apply)
{
    return command.add_option_function<std::string>(name, std::move(apply), help)->option_text(valueName);
}

CLI::Option* AddOut(CLI::App& command, Options& o, const std::string& help)
{
    return AddText(command, "--out", "DIR", help, [&o](const std::string& v) { o.outDirectory = v; })
        ->check(NotEmpty("folder name"));
}

CLI::Option* AddPort(CLI::App& command, Options& o, const char* valueName, const std::string& help)
{
    return AddText(command, "--port", valueName, help, [&o](const std::string& v) { SetPort(o, v); });
}

CLI::Option* AddClock(CLI::App& command, Options& o, const std::string& help)
{
    return AddText(command, "--clock", "N", help, [&o](const std::string& v) { o.clock = v; })
        ->transform(WholeNumber(1, 32));
}

CLI::Option* AddDate(CLI::App& command, const std::string& name, std::string& date, const std::string& help)
{
    return AddText(command, name, "YYMMDD", help, [&date](const std::string& v) { date = v; })
        ->check(SolarDate());
}

CLI::Option* AddFlag(CLI::App& command, const std::string& name, bool& flag, const std::string& help)
{
    return command.add_flag(name, flag, help)->disable_flag_override();
}

// The options of the commands that talk to a clock.
void AddLinkOptions(CLI::App& command, Options& o)
{
    AddPort(command, o, kPortNames, kPortHelp)->group(kLinkGroup);
    AddText(command, "--ports-dir", "DIR", kPortsDirHelp,
            [&o](const std::string& v) {
                o.portsDirectory =
                    Utf8FromPath(std::filesystem::absolute(PathFromUtf8(v)).lexically_normal());
            })
        ->check(Folder())
        ->group(kLinkGroup);
    AddText(command, "--baud", "RATE", "2400, 4800, 9600, 19200 or 57600 (default 9600)",
            [&o](const std::string& v) { o.baudRate = v; })
        ->check(CLI::IsMember({"2400", "4800", "9600", "19200", "57600"}))
        ->group(kLinkGroup);
    AddText(command, "--bus", "BUS", "rs232 (one clock, default) or rs485 (a bus of clocks)",
            [&o](const std::string& v) { o.rs232 = v.find("232") != std::string::npos; })
        ->transform(CLI::IsMember({"rs232", "rs-232", "rs485", "rs-485"}, CLI::ignore_case))
        ->group(kLinkGroup);
    AddClock(command, o,
             "the clock's number on the rs485 bus, 1 to 32 (default 1);\n"
             "the dump lines carry it on either bus")
        ->group(kLinkGroup);
}

void AddDownloadOptions(CLI::App& command, Options& o)
{
    const std::string group = "download options";
    CLI::Option* start = AddText(command, "--start", "N", "first record index, 0 to 253578 (default 0)",
                                 [&o](const std::string& v) {
                                     o.start = v;
                                     o.startGiven = true;
                                 })
                             ->transform(WholeNumber(0, kLastRingPosition));
    CLI::Option* count = AddText(command, "--count", "N",
                                 "number of records to read (default: all the clock holds\nfrom --start on)",
                                 [&o](const std::string& v) {
                                     o.count = v;
                                     o.countGiven = true;
                                 })
                             ->transform(WholeNumber(0, std::numeric_limits<std::int32_t>::max()));
    CLI::Option* vireo =
        AddFlag(command, "--vireo", o.vireo, R"(the clock's records use the Vireo layout: a card of 10
digits, the date yymmdd and the time hhmm (characters
1-10, 11-16, 17-20). Without it, the standard layout: a
card of 8 digits, the date mmdd and the time hhmm (1-8,
9-12, 13-16). When most records read have no plausible
date and time in the layout chosen, the download ends
with a warning that names the other one (status 0))");
    AddOut(command, o, R"(folder for Dump.Txt and BadRecs.Txt (default: the current
folder; made when missing). The files are held while the
program runs, and emptied only once the clock has answered
its record counter: a run that is refused or reaches no
clock leaves the last run's files as they were;
with --new, the folder of the punch store instead)");
    CLI::Option* newOnly =
        AddFlag(command, "--new", o.newOnly, R"(only the records the clock wrote since the last --new run
into this folder (the first time: from the clock's read
index ARI), up to its write index AWI. They are kept in
the punch store Punches.db in the folder, with where each
clock's next run begins, and published for an importer as
whole files Dump-<store>-<first>-<last>.Txt and, for
flagged records, BadRecs-<store>-<first>-<last>.Txt (the
store's identity and record ids), a pair a clock, each of
which appears at once, never over an existing file, and
may be moved away at any time; Dump.Txt is not touched.
A clock is known by the records it holds, whatever its
port is called; one that holds other records than at the
last run was replaced, cleared or reset and is read whole
again. With --start N, a clock's first collection begins
at N. Each record reaches the store and exactly one
published file once, even when a run is killed)");
    CLI::Option* clocks =
        AddText(command, "--clocks", "LIST", R"((rs485) every listed clock in turn, e.g. 1-32 or 1,4,9-12;
a clock that does not answer costs one time-out and the
run goes on; a table (clock, records, flagged, status)
ends the output)",
                [&o](const std::string& v) { o.clockList = ParseClockList(v); });
    AddText(
        command, "--lock-wait", "SEC",
        "with --new, how long to wait for another run that holds\nthe folder before giving up (default 60)",
        [&o](const std::string& v) { o.lockWaitSeconds = static_cast<double>(std::stoll(v)); })
        ->transform(WholeNumber(0, 86400))
        ->needs(newOnly);
    CLI::Option* site =
        AddText(command, "--site", "FILE", R"(with --new, every line of a whole site side by side, each
in a thread of its own with its own port, into one punch
store: FILE has a line per port, "PORT BUS CLOCKS BAUD
LAYOUT" (e.g. "COM1 rs485 1-32 57600 standard" or
"rfc2217://10.0.0.5:4001 rs232 1 9600 vireo"), "#" starts
a comment; a port may be listed once. The table at the end
names port and clock)",
                [&o](const std::string& v) {
                    o.site = ReadSiteFile(v);
                    o.siteFile = v;
                })
            ->needs(newOnly);
    count->excludes(newOnly);
    clocks->excludes("--clock");
    for (CLI::Option* own :
         {command.get_option("--port"), command.get_option("--bus"), command.get_option("--clock"), clocks,
          command.get_option("--baud"), vireo, start})
        site->excludes(own);
    for (CLI::Option* option : command.get_options())
        if (option->get_group() == "Options" && option != command.get_help_ptr()) option->group(group);
}

void AddFindOptions(CLI::App& command, Options& o)
{
    AddDate(command, "--from", o.fromDate, "first day of the range (default 880101)");
    AddDate(command, "--to", o.toDate, R"(end of the range, itself not included (default 880501);
both are Solar Hijri dates of six digits, --from before
--to)");
    CLI::Option* download = AddFlag(command, "--download", o.downloadAfterFind,
                                    "download the records found (then --out applies)");
    AddOut(command, o,
           "with --download, the folder for Dump.Txt and BadRecs.Txt\n(default: the current folder)")
        ->needs(download);
    for (CLI::Option* option : command.get_options())
        if (option->get_group() == "Options")
            option->group("find options (find always uses the Vireo layout)");
}

void AddExportOptions(CLI::App& command, Options& o)
{
    AddOut(command, o, "the folder of Punches.db (default: the current folder)");
    AddPort(command, o, "COMn|PATH", "only the records of this port (as download --new named it)");
    AddClock(command, o, "only the records of clock N");
    AddDate(command, "--from", o.exportFrom, "only records dated from this Solar Hijri day on");
    AddDate(command, "--to", o.exportTo, "... and before this one");
    AddText(command, "--format", "FORMAT", R"(dump (default): the dump lines of the good records, as
Dump-*.Txt has them; csv: a header and one row a record,
flagged ones included: record, port, bus, clock, position,
card, solar_date, iso_date, time, type, flagged,
collected_at)",
            [&o](const std::string& v) { o.csv = v == "csv"; })
        ->check(CLI::IsMember({"dump", "csv"}));
    AddText(command, "--file", "F", "write to F instead of standard output", [&o](const std::string& v) {
        o.exportFile = v;
    })->check(NotEmpty("file name"));
}

struct CommandInfo {
    Command command;
    const char* name;
    const char* help;
};

constexpr CommandInfo kCommands[] = {
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
audit or a payroll query; talks to no clock and changes
nothing that was published)"},
    {Command::Clocks, "clocks", R"(list the clocks the punch store of --out knows: the names each
was collected under, its lives (a clock found replaced,
cleared or reset begins a new one), where its next run begins,
its records and its last collection)"},
    {Command::Verify, "verify", R"(check every page of the punch store of --out and say what is
damaged (exit 2 when something is))"},
    {Command::Backup, "backup", R"(copy the punch store of --out to --file F, consistently, also
while a run collects)"},
};

std::string MainFooter()
{
    return R"(Output: results on standard output; progress and messages on standard
error: a progress bar with records/s and the time left on a terminal,
otherwise a line every 5 seconds. Every message names the port with the
device behind it, the bus and the clock, then the reason in English and the
window's Persian text (UTF-8) where the window has one:
  COM1 -> /dev/ttyS0, RS-232, clock 1: no answer within 5 s (خطا در ارتباط)
A port refused for permission names the group that may use it. When
standard error is not a terminal (a job's log), every line starts with the
local time in ISO 8601, such as 2026-12-07T19:30:05+03:30. On a terminal, a
clock that does not answer is asked once more on the other bus, and a
clock that answers there is pointed out.

)" + std::string(kStopHelp) +
           R"(
Exit status (the same for every command and option):
  0    complete (also when the clock holds no records: nothing to read; a
       --count beyond the records held; a warning about the record layout)
  1    another error: an output file cannot be created or written (the --out
       folder cannot be made or written, is read-only, or another program
       holds Dump.Txt or BadRecs.Txt), another run holds the output folder
       (--new), the punch store is read-only or the disk is full, a record's
       date does not convert, or an unexpected failure
  2    bad input: a usage error, a number or date out of its range, an empty
       date range (--from equal to --to), a converter's URL with an unknown
       scheme, no port number or a host that does not resolve; with --new or
       export, clocks, verify and backup also a Punches.db that is not a punch
       store (another program's database, a newer version, an empty or a
       damaged file), one put back from an older copy or that is not the one
       that published in its folder (named, and left as it was); --start
       with --new for a clock the store already has a position for
  3    communication error: the clock does not answer, stops answering during
       the download, gives a pointer that cannot be read, or refuses the date
       search
  4    record error: six unusable record replies in a row
  5    port error: the serial port cannot be opened, read or written
  6    some clocks failed: with --clocks, at least one clock was collected
       and at least one failed (the table says which); when every clock
       fails, the status is that of the first failure
)" + kStopStatusHelp;
}

// The whole command line, each option bound to `o`.
std::unique_ptr<CLI::App> CommandLine(Options& o, const std::string& program)
{
    auto app = std::make_unique<CLI::App>(
        "Downloads the records of a time-and-attendance clock over a serial line,\n"
        "without a window, for scheduled jobs. The settings and their defaults are\n"
        "those of the window.",
        program);
    app->set_help_flag("-h,--help", "show this text (after a command: that command's)");
    app->add_flag_callback(
        "--version", [] {}, "show the program's version");
    app->footer(MainFooter());
    app->require_subcommand(0, 1);
    app->allow_extras();
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto format = std::make_shared<CLI::Formatter>();
    format->column_width(20);
    format->label("OPTIONS", "OPTION...");
    format->label("SUBCOMMAND", "COMMAND");
    app->formatter(format);
    for (const CommandInfo& info : kCommands) {
        CLI::App* command = app->add_subcommand(info.name, info.help)->group("Commands");
        command->allow_extras();
        command->footer("Exit statuses: see " + program + " --help.");
        switch (info.command) {
        case Command::Download:
            AddLinkOptions(*command, o);
            AddDownloadOptions(*command, o);
            break;
        case Command::Pointers: AddLinkOptions(*command, o); break;
        case Command::Find:
            AddLinkOptions(*command, o);
            AddFindOptions(*command, o);
            break;
        case Command::Export: AddExportOptions(*command, o); break;
        case Command::Clocks:
        case Command::Verify:
            AddOut(*command, o, "the folder of Punches.db (default: the current folder)");
            break;
        case Command::Backup:
            AddOut(*command, o, "the folder of Punches.db (default: the current folder)");
            AddText(*command, "--file", "F", "the copy to make; an existing file is never replaced",
                    [&o](const std::string& v) { o.exportFile = v; })
                ->check(NotEmpty("file name"))
                ->required();
            break;
        case Command::Help:
        case Command::Version: break;
        }
    }
    return app;
}

// The options that go together only one way, and why, in the words the
// messages use; other pairs get the plain "A does not go with B".
struct Pairing {
    const char* first;
    const char* second;
    const char* why;
};
constexpr Pairing kPairings[] = {
    {"--count", "--new",
     "--count does not go with --new, which reads every record the clock wrote since the last run"},
    {"--clocks", "--clock", "--clocks and --clock do not go together"},
    {"--lock-wait", "--new", "--lock-wait applies to --new only"},
    {"--site", "--new", "--site needs --new"},
    {"--out", "--download", "--out: 'find' writes records only with --download"},
};

std::string PairingReason(const std::string& a, const std::string& b, const char* relation)
{
    for (const Pairing& p : kPairings)
        if ((a == p.first && b == p.second) || (a == p.second && b == p.first)) return p.why;
    if (a == "--site" || b == "--site")
        return (a == "--site" ? b : a) + " does not go with --site, whose lines name it";
    return a + relation + b;
}

// The fewest one-letter edits that turn `a` into `b`.
std::size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// An argument that `command` does not take: an option of another command,
// a mistyped one (with the closest of this command's), or a stray word.
UsageError Unexpected(const CLI::App& app, const CLI::App& command, const std::string& argument)
{
    const std::string name = argument.substr(0, argument.find('='));
    const std::string where = "'" + command.get_name() + "'";
    if (name.rfind("-", 0) != 0) return UsageError(where + " takes no argument '" + argument + "'");
    if (name == "--out" && command.get_name() == "pointers")
        return UsageError("--out: 'pointers' writes no files; it prints the pointers on standard output");
    for (const CommandInfo& info : kCommands)
        if (app.get_subcommand(info.name)->get_option_no_throw(name) != nullptr)
            return UsageError(name + " does not apply to " + where);
    std::string closest;
    std::size_t best = 3;
    for (const CLI::Option* option : command.get_options()) {
        const std::string known = option->get_name();
        if (const std::size_t distance = EditDistance(name, known); distance < best) {
            best = distance;
            closest = known;
        }
    }
    return UsageError("unknown option '" + argument + "'" +
                      (closest.empty() ? "" : "; did you mean " + closest + "?"));
}

// CLI11's refusal in our message shape: the option first, then what was wrong.
UsageError Explained(const CLI::ParseError& error, const CLI::App* command)
{
    const std::string text = error.what();
    const auto word = [&](std::size_t index) {
        std::istringstream words(text);
        std::string w;
        for (std::size_t i = 0; i <= index; ++i) words >> w;
        return w;
    };
    if (dynamic_cast<const CLI::ExcludesError*>(&error))
        return UsageError(PairingReason(word(0), word(2), " does not go with "));
    if (dynamic_cast<const CLI::RequiresError*>(&error))
        return UsageError(PairingReason(word(0), word(2), " needs "));
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        if (text.find("flag override") != std::string::npos)
            return UsageError("--" + word(0) + " takes no value");
        return UsageError(text.substr(0, text.find(':')) + ": a value is missing");
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) && command != nullptr)
        return UsageError(word(0) + ": '" + command->get_name() + "' needs it");
    return UsageError(text);
}

bool IsCommand(const std::string& name)
{
    return std::any_of(std::begin(kCommands), std::end(kCommands),
                       [&](const CommandInfo& info) { return name == info.name; });
}

}  // namespace

std::vector<Options> ParseSiteFile(const std::string& text, const std::string& fileName)
{
    std::vector<Options> lines;
    std::map<std::string, int> ports;  // the line each port is on
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string where = fileName + " line " + std::to_string(number) + ": ";
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        if (fields.empty()) continue;
        if (fields.size() != 5)
            throw UsageError(where + "'" + line +
                             "' is not PORT BUS CLOCKS BAUD LAYOUT, such as COM1 rs485 1-32 9600 standard");
        const std::string bus = Lower(fields[1]), layout = Lower(fields[4]);
        if (layout != "standard" && layout != "vireo")
            throw UsageError(where + "the layout '" + fields[4] + "' is neither standard nor vireo");
        std::vector<std::string> args{"download", "--new", "--port", fields[0], "--bus", fields[1]};
        const bool rs232 = bus == "rs232" || bus == "rs-232";
        args.insert(args.end(), {rs232 ? "--clock" : "--clocks", fields[2], "--baud", fields[3]});
        if (layout == "vireo") args.push_back("--vireo");
        Options options;
        try {
            options = ParseOptions(args);
        } catch (const UsageError& error) {
            throw UsageError(where + error.what());
        }
        const std::string port = options.portPath.empty() ? "COM" + options.comText : options.portPath;
        if (const auto [at, added] = ports.emplace(port, number); !added)
            throw UsageError(where + "the port " + port + " is listed twice (also on line " +
                             std::to_string(at->second) + ")");
        lines.push_back(std::move(options));
    }
    if (lines.empty()) throw UsageError(fileName + ": names no line to read");
    return lines;
}

std::vector<int> ParseClockList(const std::string& text)
{
    const auto refuse = [&](const std::string& why) -> UsageError {
        return UsageError("--clocks: '" + text + "' " + why);
    };
    std::vector<int> clocks;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = text.find(',', begin);
        const std::string item =
            text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        const std::size_t dash = item.find('-');
        const std::optional<std::int64_t> first = DecimalInRange(item.substr(0, dash), 1, 32);
        const std::optional<std::int64_t> last =
            dash == std::string::npos ? first : DecimalInRange(item.substr(dash + 1), 1, 32);
        if (!first || !last)
            throw refuse("is not a list of clock numbers from 1 to 32, such as 1-32 or 1,4,9-12");
        if (*last < *first) throw refuse("has a range that runs backwards ('" + item + "')");
        for (std::int64_t clock = *first; clock <= *last; ++clock) {
            if (std::find(clocks.begin(), clocks.end(), clock) != clocks.end())
                throw refuse("names clock " + std::to_string(clock) + " twice");
            clocks.push_back(static_cast<int>(clock));
        }
        if (comma == std::string::npos) return clocks;
        begin = comma + 1;
    }
}

Options ParseOptions(const std::vector<std::string>& args)
{
    Options options;
    if (args.empty()) throw UsageError("no command given");
    // Help wins over every mistake, as --version does; "help COMMAND" and
    // "COMMAND --help" show that command's.
    if (args[0] == "help" || std::find(args.begin(), args.end(), "--help") != args.end() ||
        std::find(args.begin(), args.end(), "-h") != args.end()) {
        const std::string& topic = args[0] == "help" && args.size() > 1 ? args[1] : args[0];
        if (IsCommand(topic)) options.helpTopic = topic;
        return options;
    }
    if (std::find(args.begin(), args.end(), "--version") != args.end()) {
        options.command = Command::Version;
        return options;
    }
    if (!IsCommand(args[0])) throw UsageError("unknown command '" + args[0] + "'");

    const std::unique_ptr<CLI::App> app = CommandLine(options, "");
    CLI::App* command = app->get_subcommand(args[0]);
    // CLI11 takes the next word as the value even when it is an option; an
    // option in the value's place means the value was left out ("--out
    // --count 5"). A value that starts with "--" can still be given as
    // --out=--name.
    for (std::size_t i = 1; i + 1 < args.size(); ++i) {
        const CLI::Option* option = command->get_option_no_throw(args[i]);
        if (option != nullptr && option->get_expected_min() > 0 && args[i + 1].rfind("--", 0) == 0)
            throw UsageError(args[i] + ": a value is missing");
    }
    try {
        app->parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& error) {
        throw Explained(error, command);
    }
    if (const std::vector<std::string> extra = command->remaining(); !extra.empty())
        throw Unexpected(*app, *command, extra.front());
    for (const CommandInfo& info : kCommands)
        if (info.name == args[0]) options.command = info.command;

    // The date search is for Vireo clocks only, and its records are read in
    // the Vireo layout, as the window requires its Vireo box for the search.
    if (options.command == Command::Find) {
        options.vireo = true;
        // The range ends before --to, and the clock compares the date texts.
        if (options.fromDate > options.toDate)
            throw UsageError("--from: " + options.fromDate + " comes after --to " + options.toDate);
        if (options.fromDate == options.toDate)
            throw UsageError("--from and --to are both " + options.fromDate +
                             ": the range ends before --to, so it holds no day");
    }
    if (options.command == Command::Export) {
        options.selectPort = command->count("--port") > 0;
        options.selectClock = command->count("--clock") > 0;
        if (!options.exportFrom.empty() && !options.exportTo.empty() &&
            options.exportFrom >= options.exportTo)
            throw UsageError("--from: " + options.exportFrom + " is not before --to " + options.exportTo);
    }
    if (!options.clockList.empty() && options.rs232)
        throw UsageError("--clocks needs --bus rs485: RS-232 connects one clock");
    return options;
}

bool Downloads(const Options& options)
{
    return options.command == Command::Download ||
           (options.command == Command::Find && options.downloadAfterFind);
}

std::string HelpText(const std::string& program, const std::string& command)
{
    Options unused;
    const std::unique_ptr<CLI::App> app = CommandLine(unused, program);
    return command.empty() ? app->help() : app->get_subcommand(command)->help(program);
}

std::string VersionText(const std::string& program) { return program + " " + CLOCKREADER_VERSION + "\n"; }

}  // namespace cli
