#include "tools/clocksim/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace clocksim {

namespace {

bool toNumber(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (!allDigits(text)) return false;
    errno = 0;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && out <= max;
}

}  // namespace

const char* helpText()
{
    return R"(Usage: clocksim [OPTION]...
A time-and-attendance clock on a pseudo-terminal, for trying and testing
ClockReader without hardware. Prints the pty's path as its first line, then
answers the clock commands until it is stopped (SIGINT, SIGTERM, SIGHUP) or
the hang-up fault closes the line. SIGUSR1 and SIGUSR2 make the clocks other
clocks on the same line while it runs (see Signals). Exit status 0 on a
clean stop, 2 on bad options or files, 1 when the pty or its link cannot be
set up (also when another clocksim still serves the --link path).

Line:
  --bus rs232|rs485      wire form of commands and replies (default rs232)
  --clocks LIST          clock numbers 1..32, comma-separated, ranges such
                         as 1-32 or 1,4,9-12 allowed (default 1);
                         RS-485 hosts them all on one line, only the
                         addressed clock answers; RS-232 takes one
  --link PATH            place a symlink to the pty at PATH (creating its
                         folder), e.g. build/bin/ports/COM1; removed on exit.
                         A link left by an earlier clocksim is replaced; one
                         that another clocksim still serves is refused
  --baud B               line speed in bit/s (default 9600); used for pacing
  --line-rate            pace the line at 10 bits per byte at --baud: a
                         command is taken once its last byte is complete,
                         and byte i of a reply arrives (i + 1) byte times
                         after the reply starts; without it a reply goes
                         out in one write as soon as the command is in
  --turnaround MS        wait MS milliseconds before each reply (default 0)

Records (each clock has its own ring of 253579 positions):
  --records N            records per clock (default 1000)
  --records-file FILE    load records instead: one payload a line, a
                         leading "!" marks a flagged record; every clock
                         gets the same records
  --layout standard|vireo
                         payload layout of made records (default standard:
                         card(8) mmdd hhmm type(2) extra(2) last(1); vireo:
                         card(10) yymmdd hhmm type(2) extra(2) last(1))
  --calendar solar|gregorian
                         the clock's calendar (default solar)
  --date YYYYMMDD        the clock's date in its calendar (default 14050916
                         for solar, 20261207 for gregorian); made records
                         run up to it, several a day; standard-layout
                         records (mmdd only) stay in the clock's year, or
                         from month 11 of the year before while the clock
                         is in month 1 or 2, so a reader dates them right
  --seed S               seed of made records (default 1)
  --flagged-rate R       share of records the clock flags "???" (default 0)
  --flagged-forms N      a flagged record answers in one of N forms in turn
                         (1 to 9, default 1): "???" alone, then with the
                         first 1, 2, ... characters of its payload before it
  --ari N                ring position of the first record (default 0);
                         records fill ARI..ARI+N-1 around the ring end,
                         AWI = ARI+N, AUR starts at ARI

Punches (new records while it runs; AWI moves on, a full ring overwrites
its oldest records and ARI moves with AWI):
  --punch-every MS       every MS milliseconds each clock gets new records
  --punch-batch K        records each clock gets every time (default 1)
  --punches N            stop after N new records per clock (default: no end)

Signals (acted on between commands; the clocks keep their line, numbers
and date):
  SIGUSR1                replaced: every clock's records give way to others,
                         made as from another seed; no record answers as
                         the old one at its position did
  --replace-records N    records per clock after SIGUSR1 (default: as many
                         as each clock held at start)
  --replace-seed S       seed of those records (default --seed + 1000); each
                         later SIGUSR1 adds 1, so each gives another clock
  --replace-ari N        ring position of the first of them (default 0);
                         AUR starts there, AWI = ARI+N
  --replace-keeps-flagged
                         the new clock flags the positions the old one
                         flagged (by default it flags none of them)
  SIGUSR2                cleared: every clock's ring is emptied; ARI, AWI
                         and AUR are 0, and later punches go from 0

Faults (the first five apply to record replies only):
  --faults LIST          comma-separated, e.g. drop=0.01,late=0.01,
                         trickle=0.05,corrupt=0.01,garbage=0.01,hangup-after=500,
                         pointer-noise=0.02
                           drop     no reply (the command is lost; AUR stays)
                           late     reply after 5.5 s
                           trickle  reply in pieces with gaps
                           corrupt  wrong check byte
                           garbage  junk bytes before the reply
                           hangup-after=N  close the line and exit after
                                    N records were delivered (replies a
                                    reader can use: not dropped, late or
                                    corrupted)
                           vanish-at-open=US  the line vanishes (closes,
                                    and clocksim exits) US microseconds
                                    after the reader opens it (clocksim
                                    keeps a processor busy watching for
                                    the open, for its first 5 seconds)
                           vanish-after-command=N  ... 1 to 100 ms after
                                    the N-th command the clock takes,
                                    instead of answering it
                           vanish-in-answer=N  ... part-way through the
                                    answer to the N-th command
                           pointer-noise=RATE  share of ARI?, AWI?, AUR?
                                    and SO answers with one digit
                                    replaced by another; an RS-485
                                    pointer's check byte stays the one of
                                    the true digits (its own draw, apart
                                    from the rates above)
                         the wire log gives the moment of a vanish as
                         "vanish=WHEN monotonic=SECONDS" (CLOCK_MONOTONIC)
                         rates are shares of one draw per reply; sum <= 1;
                         counts go to stderr at exit ("faults: ...")
  --fault-seed S         seed of the fault draws (default 1)

Output:
  --wire-log FILE        one line per received command or ignored frame:
                         seconds since start, clock, bus, cmd (decoded),
                         hex (raw bytes), and fault= or ignored= when so;
                         a SIGUSR1 or SIGUSR2 adds a line "replaced" or
                         "cleared" with cmd=-
  --dump-expected FILE   the records at start, one a line in ring order
                         from ARI: clock TAB position TAB good|flagged TAB
                         payload; then each punch's record as it is made.
                         SIGUSR1 adds "#replaced" TAB N, SIGUSR2 "#cleared"
                         TAB 0, then the N records all clocks hold now
                         (clock by clock, in ring order), then new punches
  --help                 show this text and exit

Commands answered: SO (record count), ENQ (clock date), NAK (record at AUR,
then AUR moves on), ARI?, AWI?, AUR?, AUR=n, AURD=yymmdd ("I" when the date
is not six digits). Anything else gets no answer.
)";
}

std::string parseOptions(int argc, char** argv, Options& o)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        if (const std::size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        auto need = [&](std::string& out) -> bool {
            if (hasValue) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        unsigned long long n = 0;
        std::string v;
        static const char* const kValueOptions[] = {"--bus",           "--clocks",      "--records",
                                                    "--records-file",  "--layout",      "--calendar",
                                                    "--date",          "--seed",        "--flagged-rate",
                                                    "--ari",           "--link",        "--wire-log",
                                                    "--dump-expected", "--baud",        "--turnaround",
                                                    "--faults",        "--fault-seed",  "--punch-every",
                                                    "--punch-batch",   "--punches",     "--replace-records",
                                                    "--replace-seed",  "--replace-ari", "--flagged-forms"};
        const bool takesValue =
            std::find(std::begin(kValueOptions), std::end(kValueOptions), name) != std::end(kValueOptions);
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--replace-keeps-flagged") {
            o.replaceKeepsFlagged = true;
        } else if (name == "--line-rate") {
            o.lineRate = true;
        } else if (!takesValue) {
            if (name.starts_with("-")) return "unknown option \"" + name + "\" (see --help)";
            return "unknown argument \"" + name + "\"";
        } else if (!need(v)) {
            return name + " needs a value";
        } else if (name == "--bus") {
            if (v == "rs232")
                o.bus = Bus::Rs232;
            else if (v == "rs485")
                o.bus = Bus::Rs485;
            else
                return "--bus takes rs232 or rs485, not \"" + v + "\"";
        } else if (name == "--clocks") {
            o.clocks.clear();
            std::string_view rest = v;
            while (true) {
                const std::size_t comma = rest.find(',');
                const std::string item(rest.substr(0, comma));
                const std::size_t dash = item.find('-');
                unsigned long long last = 0;
                if (!toNumber(item.substr(0, dash), 32, n) || n < 1 ||
                    !toNumber(dash == std::string::npos ? item : item.substr(dash + 1), 32, last) || last < n)
                    return "--clocks takes numbers or ranges from 1 to 32, not \"" + item + "\"";
                for (; n <= last; ++n) {
                    if (std::find(o.clocks.begin(), o.clocks.end(), static_cast<int>(n)) != o.clocks.end())
                        return "clock " + std::to_string(n) + " is listed twice";
                    o.clocks.push_back(static_cast<int>(n));
                }
                if (comma == std::string_view::npos) break;
                rest = rest.substr(comma + 1);
            }
        } else if (name == "--records") {
            if (!toNumber(v, kRingSize, n)) return "--records takes 0 to " + std::to_string(kRingSize);
            o.records.count = static_cast<std::uint32_t>(n);
        } else if (name == "--records-file") {
            o.recordsFile = v;
        } else if (name == "--layout") {
            if (v == "standard")
                o.records.layout = Layout::Standard;
            else if (v == "vireo")
                o.records.layout = Layout::Vireo;
            else
                return "--layout takes standard or vireo, not \"" + v + "\"";
        } else if (name == "--calendar") {
            if (v == "solar")
                o.records.calendar = Calendar::Solar;
            else if (v == "gregorian")
                o.records.calendar = Calendar::Gregorian;
            else
                return "--calendar takes solar or gregorian, not \"" + v + "\"";
        } else if (name == "--date") {
            // Checked against the calendar once all options are read.
            if (v.size() != 8 || !toNumber(v, 99999999, n)) return "--date takes yyyymmdd, not \"" + v + "\"";
            o.records.clockDate =
                Date{static_cast<int>(n / 10000), static_cast<int>(n / 100 % 100), static_cast<int>(n % 100)};
            o.dateGiven = true;
        } else if (name == "--seed") {
            if (!toNumber(v, ~0ULL, n)) return "--seed takes a number";
            o.records.seed = n;
        } else if (name == "--flagged-rate") {
            char* end = nullptr;
            const double r = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(r >= 0 && r <= 1)) return "--flagged-rate takes a number from 0 to 1";
            o.records.flaggedRate = r;
        } else if (name == "--flagged-forms") {
            if (!toNumber(v, 9, n) || n == 0) return "--flagged-forms takes 1 to 9";
            o.flaggedForms = static_cast<int>(n);
        } else if (name == "--ari") {
            if (!toNumber(v, kRingSize - 1, n))
                return "--ari takes a position from 0 to " + std::to_string(kRingSize - 1);
            o.ari = static_cast<std::uint32_t>(n);
        } else if (name == "--link") {
            o.link = v;
        } else if (name == "--wire-log") {
            o.wireLog = v;
        } else if (name == "--dump-expected") {
            o.dumpExpected = v;
        } else if (name == "--baud") {
            if (!toNumber(v, 10000000, n) || n == 0) return "--baud takes a positive number of bit/s";
            o.baud = static_cast<long>(n);
        } else if (name == "--turnaround") {
            if (!toNumber(v, 60000, n)) return "--turnaround takes milliseconds from 0 to 60000";
            o.turnaroundMs = static_cast<int>(n);
        } else if (name == "--punch-every") {
            if (!toNumber(v, 3600000, n) || n == 0)
                return "--punch-every takes milliseconds from 1 to 3600000";
            o.punchEveryMs = static_cast<int>(n);
        } else if (name == "--punch-batch") {
            if (!toNumber(v, 10 * kRingSize, n) || n == 0)
                return "--punch-batch takes 1 to " + std::to_string(10 * kRingSize);
            o.punchBatch = n;
        } else if (name == "--punches") {
            if (!toNumber(v, ~0ULL, n) || n == 0) return "--punches takes a positive number";
            o.punchLimit = n;
        } else if (name == "--replace-records") {
            if (!toNumber(v, kRingSize, n))
                return "--replace-records takes 0 to " + std::to_string(kRingSize);
            o.replaceRecords = static_cast<std::uint32_t>(n);
        } else if (name == "--replace-seed") {
            if (!toNumber(v, ~0ULL, n)) return "--replace-seed takes a number";
            o.replaceSeed = n;
        } else if (name == "--replace-ari") {
            if (!toNumber(v, kRingSize - 1, n))
                return "--replace-ari takes a position from 0 to " + std::to_string(kRingSize - 1);
            o.replaceAri = static_cast<std::uint32_t>(n);
        } else if (name == "--faults") {
            if (std::string err = parseFaultPlan(v, o.faults); !err.empty()) return "--faults: " + err;
        } else if (name == "--fault-seed") {
            if (!toNumber(v, ~0ULL, n)) return "--fault-seed takes a number";
            o.faultSeed = n;
        }
    }
    if (!o.dateGiven)
        o.records.clockDate = o.records.calendar == Calendar::Solar ? Date{1405, 9, 16} : Date{2026, 12, 7};
    if (!isValidDate(o.records.calendar, o.records.clockDate))
        return "--date is not a date of the clock's calendar";
    if ((o.punchLimit != 0 || o.punchBatch != 1) && o.punchEveryMs == 0)
        return "--punches and --punch-batch need --punch-every";
    if (o.bus == Bus::Rs232 && o.clocks.size() != 1)
        return "RS-232 connects one clock; give --clocks one number";
    return {};
}

}  // namespace clocksim
