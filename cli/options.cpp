#include "options.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <fstream>
#include <sstream>

#include "serial/comport.h"
#include "utils/calendar.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

// Which commands an option belongs to.
enum Scope : unsigned {
    kDownload = 1,
    kPointers = 2,
    kFind = 4,
    kFindDownload = 8,
    kExport = 16,
    kClocks = 32,
    kVerify = 64,
    kBackup = 128,
    kLink = 1 | 2 | 4,
    kStore = 16 | 32 | 64 | 128,  // the commands that look after the punch store
};

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// A whole decimal number of plain digits within [low, high]; no sign, no blanks.
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

// A date yymmdd of the Solar Hijri calendar. The clock compares the date
// texts, not the days, so the text is kept as given. The year's century is
// not written: a date is accepted when it exists in 13yy or in 14yy, which
// differ only in which years have an Esfand 30.
std::string CheckedDate(const std::string& option, const std::string& value)
{
    const std::optional<std::int64_t> n = value.size() == 6 ? DecimalInRange(value, 0, 999999) : std::nullopt;
    const int yy = n ? static_cast<int>(*n / 10000) : 0, month = n ? static_cast<int>(*n / 100 % 100) : 0,
              day = n ? static_cast<int>(*n % 100) : 0;
    const int monthLength = month <= 6    ? 31
                            : month <= 11 ? 30
                            : IsSolarLeapYear(static_cast<std::uint16_t>(1300 + yy)) ||
                                    IsSolarLeapYear(static_cast<std::uint16_t>(1400 + yy))
                                ? 30
                                : 29;
    if (!n || month < 1 || month > 12 || day < 1 || day > monthLength)
        throw UsageError(option + ": '" + value + "' is not a Solar Hijri date yymmdd");
    return value;
}

std::string CheckedNumber(const std::string& option, const std::string& value, std::int64_t low,
                          std::int64_t high)
{
    std::optional<std::int64_t> n = DecimalInRange(value, low, high);
    if (!n)
        throw UsageError(option + ": '" + value + "' is not a whole number from " + std::to_string(low) +
                         " to " + std::to_string(high));
    return std::to_string(*n);
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
    std::string lower = Lower(value);
    if (lower.size() > 3 && lower.compare(0, 3, "com") == 0) {
        std::optional<std::int64_t> n = DecimalInRange(value.substr(3), 1, 255);
        if (!n) throw UsageError("--port: '" + value + "' is not COM1 to COM255");
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
    throw UsageError("--port: '" + value + "' is neither COMn, a device path nor a network address");
}

struct OptionRule {
    unsigned scope;
    bool takesValue;
    std::function<void(Options&, const std::string&)> apply;
};

const std::map<std::string, OptionRule>& Rules()
{
    static const std::map<std::string, OptionRule> rules = {
        {"--port", {kLink | kExport, true, SetPort}},
        {"--baud",
         {kLink, true,
          [](Options& o, const std::string& v) {
              static const char* const rates[] = {"2400", "4800", "9600", "19200", "57600"};
              if (std::find(std::begin(rates), std::end(rates), v) == std::end(rates))
                  throw UsageError("--baud: '" + v + "' is not one of 2400 4800 9600 19200 57600");
              o.baudRate = v;
          }}},
        {"--bus",
         {kLink, true,
          [](Options& o, const std::string& v) {
              std::string bus = Lower(v);
              if (bus == "rs232" || bus == "rs-232")
                  o.rs232 = true;
              else if (bus == "rs485" || bus == "rs-485")
                  o.rs232 = false;
              else
                  throw UsageError("--bus: '" + v + "' is neither rs232 nor rs485");
          }}},
        {"--clock",
         {kLink | kExport, true,
          [](Options& o, const std::string& v) { o.clock = CheckedNumber("--clock", v, 1, 32); }}},
        {"--ports-dir",
         {kLink, true,
          [](Options& o, const std::string& v) {
              std::error_code error;
              if (v.empty() || !std::filesystem::is_directory(PathFromUtf8(v), error))
                  throw UsageError("--ports-dir: '" + v + "' is not a folder");
              o.portsDirectory = Utf8FromPath(std::filesystem::absolute(PathFromUtf8(v)).lexically_normal());
          }}},
        {"--start",
         {kDownload, true,
          [](Options& o, const std::string& v) {
              o.start = CheckedNumber("--start", v, 0, kLastRingPosition);
              o.startGiven = true;
          }}},
        {"--count",
         {kDownload, true,
          [](Options& o, const std::string& v) {
              if (o.newOnly)
                  throw UsageError(
                      "--count does not go with --new, which reads every record the clock "
                      "wrote since the last run");
              o.count = CheckedNumber("--count", v, 0, std::numeric_limits<std::int32_t>::max());
              o.countGiven = true;
          }}},
        {"--new", {kDownload, false, [](Options& o, const std::string&) { o.newOnly = true; }}},
        {"--clocks",
         {kDownload, true, [](Options& o, const std::string& v) { o.clockList = ParseClockList(v); }}},
        {"--site",
         {kDownload, true,
          [](Options& o, const std::string& v) {
              std::error_code error;
              if (!v.empty() && std::filesystem::is_directory(PathFromUtf8(v), error))
                  throw UsageError("--site: '" + v + "' is a folder, not a site file");
              std::string text;
              try {
                  std::ifstream in(PathFromUtf8(v), std::ios::binary);
                  if (v.empty() || !in) throw UsageError("--site: cannot read '" + v + "'");
                  text.assign(std::istreambuf_iterator<char>(in), {});
                  if (in.bad()) throw UsageError("--site: cannot read '" + v + "'");
              } catch (const std::ios_base::failure&) {
                  throw UsageError("--site: cannot read '" + v + "'");
              }
              o.site = ParseSiteFile(text, v);
              o.siteFile = v;
          }}},
        {"--lock-wait",
         {kDownload, true,
          [](Options& o, const std::string& v) {
              o.lockWaitSeconds = static_cast<double>(std::stoll(CheckedNumber("--lock-wait", v, 0, 86400)));
          }}},
        {"--vireo", {kDownload, false, [](Options& o, const std::string&) { o.vireo = true; }}},
        {"--out",
         {kDownload | kFindDownload | kStore, true,
          [](Options& o, const std::string& v) {
              if (v.empty()) throw UsageError("--out: the folder name is empty");
              o.outDirectory = v;
          }}},
        {"--from",
         {kFind | kExport, true,
          [](Options& o, const std::string& v) { o.fromDate = CheckedDate("--from", v); }}},
        {"--to",
         {kFind | kExport, true,
          [](Options& o, const std::string& v) { o.toDate = CheckedDate("--to", v); }}},
        {"--format",
         {kExport, true,
          [](Options& o, const std::string& v) {
              if (v != "dump" && v != "csv")
                  throw UsageError("--format: '" + v + "' is neither dump nor csv");
              o.csv = v == "csv";
          }}},
        {"--file",
         {kExport | kBackup, true,
          [](Options& o, const std::string& v) {
              if (v.empty()) throw UsageError("--file: the file name is empty");
              o.exportFile = v;
          }}},
        {"--download", {kFind, false, [](Options& o, const std::string&) { o.downloadAfterFind = true; }}},
    };
    return rules;
}

const char* CommandName(Command command)
{
    switch (command) {
    case Command::Download: return "download";
    case Command::Pointers: return "pointers";
    case Command::Find: return "find";
    case Command::Export: return "export";
    case Command::Clocks: return "clocks";
    case Command::Verify: return "verify";
    case Command::Backup: return "backup";
    case Command::Help:
    case Command::Version: break;
    }
    return "help";
}

unsigned CommandScope(const Options& options)
{
    switch (options.command) {
    case Command::Download: return kDownload;
    case Command::Pointers: return kPointers;
    case Command::Find: return options.downloadAfterFind ? kFind | kFindDownload : kFind;
    case Command::Export: return kExport;
    case Command::Clocks: return kClocks;
    case Command::Verify: return kVerify;
    case Command::Backup: return kBackup;
    case Command::Help:
    case Command::Version: break;
    }
    return 0;
}

bool Given(const std::vector<std::pair<std::string, std::string>>& given, const std::string& name)
{
    return std::any_of(given.begin(), given.end(), [&](const auto& option) { return option.first == name; });
}

// The options of scheduled collection that only make sense together.
void CheckCollection(const Options& options, const std::vector<std::pair<std::string, std::string>>& given)
{
    if (!options.clockList.empty()) {
        if (options.rs232) throw UsageError("--clocks needs --bus rs485: RS-232 connects one clock");
        if (Given(given, "--clock")) throw UsageError("--clocks and --clock do not go together");
    }
    if (Given(given, "--lock-wait") && !options.newOnly)
        throw UsageError("--lock-wait applies to --new only");
    if (Given(given, "--site")) {
        if (!options.newOnly) throw UsageError("--site needs --new");
        for (const char* own : {"--port", "--bus", "--clock", "--clocks", "--baud", "--vireo", "--start"})
            if (Given(given, own))
                throw UsageError(std::string(own) + " does not go with --site, whose lines name it");
    }
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
    if (args[0] == "help") return options;
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return options;
    if (std::find(args.begin(), args.end(), "--version") != args.end()) {
        options.command = Command::Version;
        return options;
    }

    const std::string& command = args[0];
    if (command == "download")
        options.command = Command::Download;
    else if (command == "pointers")
        options.command = Command::Pointers;
    else if (command == "find")
        options.command = Command::Find;
    else if (command == "export")
        options.command = Command::Export;
    else if (command == "clocks")
        options.command = Command::Clocks;
    else if (command == "verify")
        options.command = Command::Verify;
    else if (command == "backup")
        options.command = Command::Backup;
    else
        throw UsageError("unknown command '" + command + "'");

    // Options are applied after all are read, so that "--out" before
    // "--download" in find is judged with the whole command line in view.
    std::vector<std::pair<std::string, std::string>> given;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i], value;
        bool hasValue = false;
        if (std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        auto rule = Rules().find(name);
        if (rule == Rules().end()) throw UsageError("unknown option '" + args[i] + "'");
        if (rule->second.takesValue && !hasValue) {
            // An option in the value's place means the value was left out
            // ("--out --count 5"); a value that starts with "--" can still
            // be given as --out=--name.
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
                throw UsageError(name + ": a value is missing");
            value = args[++i];
        } else if (!rule->second.takesValue && hasValue) {
            throw UsageError(name + " takes no value");
        }
        if (name == "--download") options.downloadAfterFind = true;
        if (name == "--new") options.newOnly = true;
        given.emplace_back(name, value);
    }

    // The date search is for Vireo clocks only, and its records are read in
    // the Vireo layout, as the window requires its Vireo box for the search.
    if (options.command == Command::Find) options.vireo = true;

    const unsigned scope = CommandScope(options);
    for (const auto& [name, value] : given) {
        const OptionRule& rule = Rules().at(name);
        if ((rule.scope & scope) == 0) {
            if (name == "--out" && options.command == Command::Pointers)
                throw UsageError(
                    "--out: 'pointers' writes no files; it prints the pointers on standard output");
            if (name == "--out") throw UsageError("--out: 'find' writes records only with --download");
            throw UsageError(name + " does not apply to '" + CommandName(options.command) + "'");
        }
        rule.apply(options, value);
    }
    // The range ends before --to, and the clock compares the date texts.
    if (options.command == Command::Find && options.fromDate > options.toDate)
        throw UsageError("--from: " + options.fromDate + " comes after --to " + options.toDate);
    if (options.command == Command::Find && options.fromDate == options.toDate)
        throw UsageError("--from and --to are both " + options.fromDate +
                         ": the range ends before --to, so it holds no day");
    if (options.command == Command::Export) {
        options.selectPort = Given(given, "--port");
        options.selectClock = Given(given, "--clock");
        if (Given(given, "--from")) options.exportFrom = options.fromDate;
        if (Given(given, "--to")) options.exportTo = options.toDate;
        if (!options.exportFrom.empty() && !options.exportTo.empty() &&
            options.exportFrom >= options.exportTo)
            throw UsageError("--from: " + options.exportFrom + " is not before --to " + options.exportTo);
    }
    if (options.command == Command::Backup && options.exportFile.empty())
        throw UsageError("--file: backup needs the file to write the copy to");
    CheckCollection(options, given);
    return options;
}

bool Downloads(const Options& options)
{
    return options.command == Command::Download ||
           (options.command == Command::Find && options.downloadAfterFind);
}

namespace {
// The paragraphs of the help that differ between the systems: port names,
// the ports folder, and the requests that stop a run.
#ifdef _WIN32
constexpr const char* kPortHelp =
    R"(  --port COMn|NAME|URL
                    serial port (default COM1). COMn opens the system's port
                    COMn (COM10 and above too), or the converter that a file
                    COMn in the ports folder names on its first line (a
                    URL); the dump lines carry n as the port number. A
                    device NAME such as \\.\CNCA0 opens that device; the dump
                    lines then carry the number the name ends in without
                    leading zeros, or 1 when it ends in none. A URL reaches
                    a serial-to-Ethernet converter: socket://HOST:PORT (raw
                    TCP) or rfc2217://HOST:PORT (RFC 2217, which sets the
                    converter's line to --baud, 8N1)
  --ports-dir DIR   the ports folder: where a COMn entry holding a network
                    URL is looked for. Default: the window's, ports\ beside
                    the program in a copy you unpacked, else
                    Documents\ClockReader\ports
)";
constexpr const char* kStopHelp = R"(A port that cannot be used is named with the device tried, as in
"COM1 -> \\.\COM1, RS-232, clock 1: Unable to open com port (win error
code: 2)." or "COM7 -> rfc2217://10.0.0.5:4001, RS-232, clock 1: Unable to
open com port (win error code: 10061).". A URL that does not read or whose host does not resolve is bad
input.

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
constexpr const char* kPortHelp =
    R"(  --port COMn|PATH|URL
                    serial port (default COM1). COMn opens the link COMn in
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
                    may take 5 s; the dump lines carry the number it ends in
  --ports-dir DIR   the ports folder: where COMn is looked for. Default: the
                    window's, ports/ beside the program when the user may
                    write to the program's folder and it is no installed copy,
                    else ~/ClockReader/ports
)";
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

}  // namespace

std::string HelpText(const std::string& program)
{
    return "Usage: " + program + R"( COMMAND [OPTION...]

Downloads the records of a time-and-attendance clock over a serial line,
without a window, for scheduled jobs. The settings and their defaults are
those of the window.

Commands:
  download   read the record counter and the clock's date, then the records
             from index START on: COUNT of them, or without --count all the
             clock holds from START on (up to its write index AWI); a COUNT
             beyond that reads what the clock holds and says so. Good
             records go decoded to Dump.Txt, records the clock flags as
             unreadable go raw to BadRecs.Txt. Prints
             "total n", the number of records the clock says it holds, and
             "read n", the records received (lines in Dump.Txt plus lines in
             BadRecs.Txt)
  pointers   print the clock's read and write pointers, as "ARI n" and "AWI n"
  find       (Vireo clocks) find the records of a Solar Hijri date range and
             print them as "start n" and "count n", counting only records
             the clock holds (a range past the newest record ends there, one
             before the oldest holds none); with --download, go on to
             download exactly those records
  export     write records kept in the punch store of --out again, for an
             audit or a payroll query; talks to no clock and changes
             nothing that was published
  clocks     list the clocks the punch store of --out knows: the names each
             was collected under, its lives (a clock found replaced,
             cleared or reset begins a new one), where its next run begins,
             its records and its last collection
  verify     check every page of the punch store of --out and say what is
             damaged (exit 2 when something is)
  backup     copy the punch store of --out to --file F, consistently, also
             while a run collects

Link options (every command):
)" + std::string(kPortHelp) +
           R"(  --baud RATE       2400, 4800, 9600, 19200 or 57600 (default 9600)
  --bus BUS         rs232 (one clock, default) or rs485 (a bus of clocks)
  --clock N         the clock's number on the rs485 bus, 1 to 32 (default 1);
                    the dump lines carry it on either bus

download options:
  --start N         first record index, 0 to 253578 (default 0)
  --count N         number of records to read (default: all the clock holds
                    from --start on)
  --vireo           the clock's records use the Vireo layout: a card of 10
                    digits, the date yymmdd and the time hhmm (characters
                    1-10, 11-16, 17-20). Without it, the standard layout: a
                    card of 8 digits, the date mmdd and the time hhmm (1-8,
                    9-12, 13-16). When most records read have no plausible
                    date and time in the layout chosen, the download ends
                    with a warning that names the other one (status 0)
  --out DIR         folder for Dump.Txt and BadRecs.Txt (default: the current
                    folder; made when missing). The files are held while the
                    program runs, and emptied only once the clock has answered
                    its record counter: a run that is refused or reaches no
                    clock leaves the last run's files as they were;
                    with --new, the folder of the punch store instead
  --new             only the records the clock wrote since the last --new run
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
                    published file once, even when a run is killed
  --clocks LIST     (rs485) every listed clock in turn, e.g. 1-32 or 1,4,9-12;
                    a clock that does not answer costs one time-out and the
                    run goes on; a table (clock, records, flagged, status)
                    ends the output
  --lock-wait SEC   with --new, how long to wait for another run that holds
                    the folder before giving up (default 60)
  --site FILE       with --new, every line of a whole site side by side, each
                    in a thread of its own with its own port, into one punch
                    store: FILE has a line per port, "PORT BUS CLOCKS BAUD
                    LAYOUT" (e.g. "COM1 rs485 1-32 57600 standard" or
                    "rfc2217://10.0.0.5:4001 rs232 1 9600 vireo"), "#" starts
                    a comment; a port may be listed once. The table at the end
                    names port and clock

find options (find always uses the Vireo layout):
  --from YYMMDD     first day of the range (default 880101)
  --to YYMMDD       end of the range, itself not included (default 880501);
                    both are Solar Hijri dates of six digits, --from before
                    --to
  --download        download the records found (then --out applies)

export options:
  --out DIR         the folder of Punches.db (default: the current folder)
  --port COMn|PATH  only the records of this port (as download --new named it)
  --clock N         only the records of clock N
  --from YYMMDD     only records dated from this Solar Hijri day on
  --to YYMMDD       ... and before this one
  --format FORMAT   dump (default): the dump lines of the good records, as
                    Dump-*.Txt has them; csv: a header and one row a record,
                    flagged ones included: record, port, bus, clock, position,
                    card, solar_date, iso_date, time, type, flagged,
                    collected_at
  --file F          write to F instead of standard output

clocks, verify and backup options:
  --out DIR         the folder of Punches.db (default: the current folder)
  --file F          backup: the copy to make; an existing file is never
                    replaced

Output: results on standard output; progress and messages on standard
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
Other options:
  --help            show this text
  --version         show the program's version

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
)" + std::string(kStopStatusHelp) +
           R"()";
}

std::string VersionText(const std::string& program) { return program + " " + CLOCKREADER_VERSION + "\n"; }

}  // namespace cli
