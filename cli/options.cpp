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

#include "collect/exportdates.h"
#include "commandline.h"
#include "serial/comport.h"
#include "utils/calendar.h"
#include "utils/text.h"
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

}  // namespace

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

// A day as an export takes it (collect/exportdates.h); `named` also takes
// today and yesterday.
CLI::Validator ExportDate(bool named)
{
    return CLI::Validator(
        [named](std::string& value) {
            if (!named && (value == "today" || value == "yesterday"))
                return "'" + value + "' is a day for --day";
            return collect::ExportDateProblem(value);
        },
        "", "date");
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

std::string TakePathArgument(std::string& value, bool windows)
{
    if (!windows) return "";
    if (const std::size_t quote = value.find('"'); quote != std::string::npos && quote + 1 < value.size())
        return "'" + value + "' holds a '\"': the '\\' before a closing quote makes cmd take the quote" +
               " as part of the name and the next words with it; write \"" + value.substr(0, quote) +
               "\" without the last '\\'";
    if (!value.empty() && value.back() == '"') value.pop_back();
    return "";
}

CLI::Validator PathArgument(bool windows)
{
    return CLI::Validator([windows](std::string& value) { return TakePathArgument(value, windows); }, "", "");
}

// The number at the end of a device path ("/dev/ttyUSB3" gives "3"), without
// leading zeros; "1" when the path does not end in a digit.
static std::string TrailingNumber(const std::string& path)
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
    const std::optional<std::string> utf8 = SettingsFileText(text);
    if (!utf8)
        throw UsageError("--site: '" + name + "' is UTF-16 that is cut short or holds half a character");
    return ParseSiteFile(*utf8, name);
}

namespace {

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
    {"--absent-interval", "--new", "--absent-interval applies to --new only"},
    {"--ask-absent", "--new", "--ask-absent applies to --new only"},
    {"--site", "--new", "--site needs --new"},
    {"--out", "--download", "--out: 'find' writes records only with --download"},
    {"--site", "--from-db", "--site names a site of the central database: it needs --from-db URI"},
    {"--out", "--from-db", "--out names a punch store; --from-db reads the central database instead"},
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
    for (const SettingsLine& entry : SettingsLines(text)) {
        const std::string& line = entry.text;
        const std::vector<std::string>& fields = entry.words;
        const std::string where = fileName + " line " + std::to_string(entry.number) + ": ";
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
        if (const auto [at, added] = ports.emplace(port, entry.number); !added)
            throw UsageError(where + "the port " + port + " is listed twice (also on line " +
                             std::to_string(at->second) + ")");
        options.siteLine = entry.number;
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
    // "/?" is the help of Windows programs, asked for on every system.
    if (args[0] == "help" || std::find(args.begin(), args.end(), "--help") != args.end() ||
        std::find(args.begin(), args.end(), "-h") != args.end() ||
        std::find(args.begin(), args.end(), "/?") != args.end()) {
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
    if (options.command == Command::Export || options.command == Command::Relayout) {
        options.selectPort = command->count("--port") > 0;
        options.selectClock = command->count("--clock") > 0;
        if (options.exportFormat == "xlsx" && options.exportFile.empty())
            throw UsageError(
                "--format xlsx: a workbook cannot go to standard output; name it with --file F.xlsx");
        try {
            const collect::ExportSpan span = collect::ResolveExportDates(
                {options.exportFrom, options.exportTo, options.exportDay, options.exportMonth},
                collect::LocalToday());
            options.exportSpanFrom = span.from;
            options.exportSpanTo = span.to;
        } catch (const std::invalid_argument& error) {
            throw UsageError(error.what());
        }
    }
    if (options.command == Command::Push && options.central.empty() && !options.schemaSql)
        throw UsageError("--to: 'push' needs the central database's URI");
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
