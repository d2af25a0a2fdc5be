#include "commandline.h"

#include <filesystem>
#include <functional>
#include <string>

#include "utils/utf8path.h"

namespace cli {
namespace {

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
Documents\ClockReader\ports; ports.txt lies beside it,
or in DIR when given)";
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
constexpr const char* kExamples = R"(Examples, with the installed program:
  "C:\Program Files\ClockReader\clockreader-cli.exe" pointers --port COM3
  "C:\Program Files\ClockReader\clockreader-cli.exe" download --new --port COM3 --out C:\ClockRecords
  "C:\Program Files\ClockReader\clockreader-cli.exe" export --out C:\ClockRecords --format xlsx --file C:\ClockRecords\punches.xlsx
A COMn that names a converter on the network is a line "COM7 rfc2217://HOST:PORT"
in ports.txt beside the ports folder.
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
else ~/ClockReader/ports; ports.txt lies beside it, or in
DIR when given)";
constexpr const char* kStopHelp = R"(A port that cannot be used is named with the device tried and the
system's reason, as in "COM1 -> /dev/ttyS0, RS-232, clock 1: Unable to open
com port (Permission denied); only members of the group dialout may use
/dev/ttyS0: ..." or "COM7 -> rfc2217://10.0.0.5:4001, RS-232, clock 1:
Unable to open com port (Connection refused); the converter refused the
connection". A URL that does not read or whose host does not resolve is
bad input.

SIGINT, SIGTERM or SIGHUP stops any command within a fraction of a second (a
download after the current record); a second one ends the program at once.
Every line written is already on disk.
)";
constexpr const char* kStopStatusHelp =
    R"(  129, 130, 143  stopped by SIGHUP, SIGINT or SIGTERM before the work was done
)";
constexpr const char* kExamples = R"(Examples, with the installed program:
  /usr/bin/clockreader-cli pointers --port COM1
  /usr/bin/clockreader-cli download --new --port COM1 --out /var/lib/clockreader
  /usr/bin/clockreader-cli export --out /var/lib/clockreader --format daily --file daily.csv
A COMn that names a converter on the network is a line "COM7 rfc2217://HOST:PORT"
in ports.txt beside the ports folder, or a file ports/COM7 holding the URL.
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
        ->check(NotEmpty("folder name"))
        ->transform(PathArgument());
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
        ->transform(PathArgument())
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

// --status-file, of download and push.
void AddStatusFile(CLI::App& command, Options& o)
{
    AddText(command, "--status-file", "F", R"(once the run has ended, replace F with a JSON summary
for monitoring: start, end, exit status, why the run was
refused before it reached a clock, and per clock (and
per push: the central database) name, result, records,
flagged, last error and which clock answered). A relative
F is taken in the current folder: a scheduled job gives a
full path (Task Scheduler without "Start in" runs in
C:\Windows\System32))",
            [&o](const std::string& v) { o.statusFile = v; })
        ->check(NotEmpty("file name"));
}

// --site-name, of download --new and push.
CLI::Option* AddSiteName(CLI::App& command, Options& o)
{
    return AddText(command, "--site-name", "NAME", R"(the name of the punch store's site in the central
database and in clocks (stored; default: the computer's
name when the store was made))",
                   [&o](const std::string& v) { o.siteName = v; })
        ->check(NotEmpty("site name"));
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
ends the output. With --new, a clock that did not answer
when last asked is not asked again until the absent
interval has passed (status "absent, not asked", which is
no failure of the run))",
                [&o](const std::string& v) { o.clockList = ParseClockList(v); });
    AddText(command, "--absent-interval", "MIN", R"(with --new, how many minutes a clock of a sweep that did
not answer is left out before it is asked again, with the
whole wait (default 60; 0: every run asks every clock); a
clock connected there meanwhile is collected then)",
            [&o](const std::string& v) { o.absentIntervalMinutes = static_cast<int>(std::stoll(v)); })
        ->transform(WholeNumber(0, 10080))
        ->needs(newOnly);
    AddFlag(command, "--ask-absent", o.askAbsent,
            "with --new, ask every clock of the sweep this run, those\nleft out as absent too")
        ->needs(newOnly);
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
a comment; a port may be listed once, however it is written
(COM1 and /dev/ttyS0, a converter's host by name and by
address): such a file is refused before any clock is read.
The table at the end names port and clock)",
                [&o](const std::string& v) {
                    o.site = ReadSiteFile(v);
                    o.siteFile = v;
                })
            ->transform(PathArgument())
            ->needs(newOnly);
    AddStatusFile(command, o);
    AddText(command, "--push", "URI", R"(with --new, push the store to the central database URI
at the end of the run (as the command push --to URI does))",
            [&o](const std::string& v) { o.central = v; })
        ->check(NotEmpty("database URI"))
        ->needs(newOnly);
    AddSiteName(command, o)->needs(newOnly);
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
    AddPort(command, o, "COMn|PATH", R"(only the records of this port (as download --new named
it); a port the store never saw is refused, naming those
it knows)");
    AddClock(command, o, "only the records of clock N");
    CLI::Option* from = AddText(command, "--from", "DATE", R"(only records dated from this day on: yymmdd or
yyyy/mm/dd (Solar Hijri, such as 1405/09/10), or
yyyy-mm-dd (Gregorian, such as 2026-12-01); a year from
1200 to 1599 is Solar, from 1900 to 2199 Gregorian)",
                                [&o](const std::string& v) { o.exportFrom = v; })
                            ->check(ExportDate(false));
    CLI::Option* to = AddText(command, "--to", "DATE", R"(... and before this day, itself not included
(--from 1405/09/01 --to 1405/10/01 is the month Azar))",
                              [&o](const std::string& v) { o.exportTo = v; })
                          ->check(ExportDate(false));
    CLI::Option* day =
        AddText(command, "--day", "DAY", R"(only the records of one day: today, yesterday (by the
computer's date) or a date written as for --from)",
                [&o](const std::string& v) { o.exportDay = v; })
            ->check(ExportDate(true));
    AddText(command, "--month", "MONTH", R"(only the records of one Solar Hijri month, the calendar
the records are compared in: this, last (by the
computer's date) or yyyy/mm, such as 1405/09)",
            [&o](const std::string& v) { o.exportMonth = v; })
        ->excludes(from)
        ->excludes(to)
        ->excludes(day);
    day->excludes(from)->excludes(to);
    AddText(command, "--format", "FORMAT", R"(dump (default): the dump lines of the good records, as
Dump-*.Txt has them; csv: a header and one row a record,
flagged ones included: record, port, bus, clock, position,
card, solar_date, iso_date, time, type, flagged,
collected_at; daily: a header and one row a card and day,
over all clocks: site, card, day (yyyy-mm-dd), first and
last (hh:mm), punches; xlsx (with --file): an Excel
workbook, a sheet "daily" and one a clock, named by its
port and number (COM7 clock 1, 10.0.0.5 4001 clock 3),
each with the Solar day beside the Gregorian one)",
            [&o](const std::string& v) { o.exportFormat = v; })
        ->check(CLI::IsMember({"dump", "csv", "daily", "xlsx"}));
    AddText(command, "--layout", "LAYOUT", R"(standard or vireo: decode the stored raw records again in
this record layout, for records collected with the wrong
one (default: the lines as collected))",
            [&o](const std::string& v) { o.exportLayout = v; })
        ->check(CLI::IsMember({"standard", "vireo"}));
    AddText(command, "--file", "F", R"(write to F instead of standard output: the whole export
beside it under a temporary name, then renamed over it, so
a failed export leaves F as it was. Never Punches.db, its
-wal or -shm, Punches.lock, Punches.published or a
published Dump-*.Txt or BadRecs-*.Txt in --out)",
            [&o](const std::string& v) { o.exportFile = v; })
        ->check(NotEmpty("file name"))
        ->transform(PathArgument());
    CLI::Option* fromDb =
        AddText(command, "--from-db", "URI", R"(read the central database URI (as push --to names it)
instead of a punch store: every branch's records in one
file, each row with its site (csv: site first; the
workbook: a sheet a site's clock). A role that may only
read its views is enough (docs/central.md))",
                [&o](const std::string& v) { o.fromDb = v; })
            ->check(NotEmpty("database URI"));
    AddText(command, "--site", "NAME", "with --from-db, only the records of this site",
            [&o](const std::string& v) { o.exportSite = v; })
        ->check(NotEmpty("site name"))
        ->needs(fromDb);
    for (const char* local : {"--out", "--port", "--clock", "--layout"}) fromDb->excludes(local);
}

void AddPushOptions(CLI::App& command, Options& o)
{
    AddStatusFile(command, o);
    AddOut(command, o, "the folder of Punches.db (default: the current folder)");
    CLI::Option* to = AddText(command, "--to", "URI", R"(the central database: a libpq URI, such as
postgresql://collector@db.example/attendance?sslmode=verify-full,
or key=value text. The password comes from the password
file (~/.pgpass, PGPASSFILE, %APPDATA%\postgresql\pgpass.conf)
or a service file, never from the command line; one
written in the URI works but is never printed. The first
push makes the schema clockreader when the role may)",
                              [&o](const std::string& v) { o.central = v; })
                          ->check(NotEmpty("database URI"));
    AddText(command, "--timeout", "SEC",
            "how long to wait for each answer of the database\n(default 120; connecting: 10, or the URI's "
            "connect_timeout)",
            [&o](const std::string& v) { o.answerSeconds = static_cast<int>(std::stoll(v)); })
        ->transform(WholeNumber(1, 86400));
    AddSiteName(command, o);
    AddFlag(command, "--schema-sql", o.schemaSql,
            "print the SQL that makes the central schema, for a DBA\nto run where the role may not")
        ->excludes(to);
}

void AddSiteOptions(CLI::App& command, Options& o)
{
    AddOut(command, o, "the folder of Punches.db (default: the current folder)");
    CLI::Option* newIdentity = AddFlag(command, "--new-identity", o.newIdentity,
                                       R"(the store is a copy of another branch's: give it a site
of its own, a new identity named --site-name NAME (default:
the computer's name), at home here. The records it held
when it was copied stay the original site's, which pushes
them; those it collected since and collects from now on
push as the new site. The original store is not touched.
Waits up to 60 s for a run that collects into the folder)");
    AddFlag(command, "--moved", o.moved, R"(the store was moved here on purpose: it keeps its site and
takes this folder on this computer as its home)")
        ->excludes(newIdentity);
    AddSiteName(command, o);
    CLI::Option* publication =
        AddText(command, "--publication", "off|on", R"(off: download --new keeps the records it collects from
now on in the store (for push and export) and publishes
no Dump-*.Txt or BadRecs-*.Txt files for them, for a site
that feeds only the central database; on: publishes
again, the records collected from then on (stored; on by
default). Waits up to 60 s for a run that collects into
the folder)",
                [&o](const std::string& v) { o.publication = v; })
            ->transform(CLI::IsMember({"off", "on"}, CLI::ignore_case));
    AddFlag(command, "--backlog", o.backlog, R"(with --publication on: the records collected while it
was off are published too, once, by the next download --new)")
        ->needs(publication);
}

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
local time in ISO 8601, such as 2026-12-07T19:30:05+03:30. A clock that
does not answer (not in a sweep) is asked once more on the other bus, and a
clock that answers there is pointed out; the exit status stays the same.

)" + std::string(kStopHelp) +
           "\n" + kExamples +
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
       with --new for a clock the store already has a position for; with
       --new a clock whose first records fit the other record layout (none
       of them is stored), or one read in another layout than the store
       remembers for it (see relayout); export --file naming a file of the
       punch store or one it published, or --port a port the store never
       saw; with push and download --push, a punch store found away from
       the computer and folder it was made in (a copy, or moved), until site
       says which; export --from-db --site naming a site the central
       database holds no records of
  3    communication error: the clock does not answer, stops answering during
       the download (also part-way through an answer), gives a pointer that
       cannot be read, or refuses the date search
  4    record error: six unusable record replies in a row from a clock that
       goes on answering
  5    port error: the serial port cannot be opened, read or written
  6    some clocks failed: with --clocks, at least one clock was collected
       and at least one failed (the table says which); when every clock
       fails, the status is that of the first failure. A clock left out as
       absent (not asked) is neither
  7    central database error (push, download --push): the database cannot
       be reached, refuses the role or the password, fails or does not
       answer within --timeout; named by host, port and database, with
       libpq's reason. What it acknowledged stays acknowledged; the next
       push goes on from there. A URI that does not read, or a database
       whose schema clockreader is of a newer version or another program's,
       is bad input (2). download --push exits 7 only when the collection
       itself was complete. export --from-db exits 7 when the database
       cannot be read (a role without the grants of docs/central.md)
  8    central conflict (push, download --push): the central database holds
       other bytes under the key (site, clock, lap, position) of a record
       pushed, as when this store is a copy of another site's; named by
       key. Nothing after the last batch that went in whole is pushed or
       acknowledged; see site --new-identity. download --push exits 8 only
       when the collection itself was complete
)" + kStopStatusHelp;
}

}  // namespace

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
                ->transform(PathArgument())
                ->required();
            break;
        case Command::Push: AddPushOptions(*command, o); break;
        case Command::Relayout:
            AddOut(*command, o, "the folder of Punches.db (default: the current folder)");
            AddPort(*command, o, "COMn|PATH", "the port the clock was collected under")->required();
            AddClock(*command, o, "the clock's number")->required();
            AddText(*command, "--layout", "LAYOUT",
                    "standard or vireo: the clock's record layout from now on",
                    [&o](const std::string& v) { o.exportLayout = v; })
                ->check(CLI::IsMember({"standard", "vireo"}))
                ->required();
            AddText(*command, "--push", "URI", R"(also correct the central database's rows of these
records (a role that may UPDATE clockreader.record))",
                    [&o](const std::string& v) { o.central = v; })
                ->check(NotEmpty("database URI"));
            break;
        case Command::Site: AddSiteOptions(*command, o); break;
        case Command::Help:
        case Command::Version: break;
        }
    }
    return app;
}

}  // namespace cli
