// The command line of clockreader-cli.
//
// clockreader-cli COMMAND [OPTION...] runs one of the window's three
// operations without a window, or looks after the punch store. Every
// argument is checked here, before any operation runs, so a mistake never
// reaches the clock: the parser either returns complete settings or raises
// UsageError naming the argument. Each command and its options are declared
// once to CLI11, which parses them and writes the help; the checks that are
// ours (whole numbers as written, Solar Hijri dates, clock lists, site
// files, port names) are its validators. Defaults are those of the window.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

enum class Command {
    Download,
    Pointers,
    Find,
    Export,
    Clocks,
    Verify,
    Backup,
    Push,
    Relayout,
    Site,
    Help,
    Version
};

struct Options {
    Command command = Command::Help;
    // Link settings, as the window's eCom, cbBuadRate, bus buttons and SelectedClock.
    std::string comText = "1";  // the port number that the dump lines carry
    std::string portPath;       // a device path opened instead of "COM" + comText
    std::string baudRate = "9600";
    bool rs232 = true;
    std::string clock = "1";
    std::string portsDirectory;  // where COMn is looked for; empty: beside the executable
    // Records, as eStart, eCount and ChboxIsVireo.
    std::string start = "0";
    std::string count = "19500";
    bool countGiven = false;  // without --count, what the clock holds from start on
    bool vireo = false;
    // Date range, as edFromDate and edToDate; find only.
    std::string fromDate = "880101";
    std::string toDate = "880501";
    bool downloadAfterFind = false;
    // Folder of Dump.Txt and BadRecs.Txt.
    std::string outDirectory = ".";
    // Scheduled collection: only the records new since the last --new run,
    // appended to the output files; the clocks of an RS-485 sweep; how long
    // to wait for another run that holds the output folder.
    bool newOnly = false;
    bool startGiven = false;
    std::vector<int> clockList;
    double lockWaitSeconds = 60;
    // A sweep into the store leaves out a clock silent when last asked
    // until this many minutes have passed since (0: never); --ask-absent
    // asks every clock this run.
    int absentIntervalMinutes = 60;
    bool askAbsent = false;
    // Where a JSON summary of the run goes once it has ended; empty: none.
    std::string statusFile;
    // Export: which stored records (a port or clock only when given, a date
    // range, a day or a month only when given), in which format (dump, csv, daily, xlsx),
    // decoded again in which layout (empty: the stored lines), to a file or
    // stdout.
    bool selectPort = false, selectClock = false;
    std::string exportFrom, exportTo, exportDay, exportMonth;
    // The span they name, Solar yyyy/mm/dd, resolved against today.
    std::string exportSpanFrom, exportSpanTo;
    std::string exportFormat = "dump";
    std::string exportLayout;
    std::string exportFile;
    // export --from-db: the central database to read instead of the store,
    // and the one site to read (empty: every site).
    std::string fromDb, exportSite;
    // A whole site (--site FILE): one line's settings each, read side by side.
    std::string siteFile;
    std::vector<Options> site;
    int siteLine = 0;  // a site's line: its number in the site file
    // The central database (push --to, download --new --push): its libpq
    // URI or key=value text, how long to wait for each of its answers, and
    // the name of the store's site, stored when given. push --schema-sql
    // prints the central schema instead.
    std::string central;
    int answerSeconds = 120;
    std::string siteName;
    bool schemaSql = false;
    // site: a copy of another branch's store takes an identity of its own;
    // a store moved on purpose takes its new place as its home.
    bool newIdentity = false;
    bool moved = false;
    // site: "off" or "on" to change the store's publication of Dump-*.Txt
    // files (empty: as it is); with `backlog`, turning it on also
    // publishes what was collected while it was off.
    std::string publication;
    bool backlog = false;
    // Help: the command whose options to show; empty: the commands.
    std::string helpTopic;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the arguments after the program name. Raises UsageError.
Options ParseOptions(const std::vector<std::string>& args);

// The text of --help, of `command` when given, else the list of commands
// and the exit statuses; `program` is the name the program was started as.
std::string HelpText(const std::string& program, const std::string& command = "");
// The line --version prints: the program's name and the project's version.
std::string VersionText(const std::string& program);

// Whether the command writes Dump.Txt and BadRecs.Txt.
bool Downloads(const Options& options);

// The lines of a site file: each line "PORT BUS CLOCKS BAUD LAYOUT", read
// into the settings of a "download --new" of that line; blank lines and
// "#" comments are left out. `fileName` names the file in the UsageError
// that refuses a line that does not read so, or a port listed twice.
std::vector<Options> ParseSiteFile(const std::string& text, const std::string& fileName);
// The lines of the site file `name` (--site): UTF-8 with or without a
// byte-order mark, or UTF-16 with one.
std::vector<Options> ReadSiteFile(const std::string& name);

// A file or folder name as given. With Windows' rules (`windows`, the
// default on Windows), where no name holds a '"', a last '"' is dropped:
// cmd hands --out "C:\My Records\" over as C:\My Records" (the backslash
// escapes the quote). A '"' before the end means cmd joined the next
// arguments to this one: the refusal, with the name to write instead, is
// returned. Empty when `value` is taken.
#ifdef _WIN32
inline constexpr bool kWindowsPaths = true;
#else
inline constexpr bool kWindowsPaths = false;
#endif
std::string TakePathArgument(std::string& value, bool windows = kWindowsPaths);

// The clock numbers of a --clocks list such as "1-32" or "1,4,9-12", in the
// order given. Raises UsageError naming --clocks.
std::vector<int> ParseClockList(const std::string& text);

// Exit statuses, listed in --help.
enum ExitStatus : int {
    kExitComplete = 0,
    kExitOtherError = 1,
    kExitBadInput = 2,
    kExitCommunicationError = 3,
    kExitRecordError = 4,
    kExitPortError = 5,
    kExitSomeClocksFailed = 6,
    kExitCentralError = 7,
    kExitCentralConflict = 8,
};
// A stop by a signal exits with 128 + the signal's number (129 SIGHUP,
// 130 SIGINT, 143 SIGTERM).

}  // namespace cli
