// Sweeps of an RS-485 bus with "clockreader-cli download --new --clocks".
//
// 1. 32 clocks with 50 new records each, paced at the line rate at 9600 and
//    at 57600 baud. The line's limit counts every byte on the wire, the
//    commands and answers of every clock, at 10 bits a byte; at 57600 baud a
//    command of two or more bytes takes the 1 ms pause the program keeps
//    after each of its bytes but the last, the clock answering during the
//    last one. Which answers went out is worked out by replaying
//    the commands of clocksim's wire log against the same simulated clocks.
//    The ratio of that limit to the measured time of the whole run (start of
//    the program to its exit) says how close a sweep comes to the line.
// 2. 32 addresses of which 24 are absent, at 57600: the same sweep with
//    only the 8 present clocks is timed too, and the difference is spread
//    over the 24 absent ones: the cost of one absent clock.
// 3. A sweep with nothing new at 9600 of 32 addresses, every fourth of them
//    absent, after a first sweep into the same folder has collected the 24
//    present clocks and met the absent ones; against the same sweep of the
//    24 present alone, also after a first one (the quickest of three each).
//
// Usage: sweepbench [--quick] (8 clocks instead of 32, but for the sweep at
// 57600 baud: there 8 clocks take under 4 s of line time, and what a run
// does once, starting, opening the store and publishing, is a tenth of
// that, so the ratio would tell the size of the bus, not the sweep's pace;
// a whole bus is what a user sweeps). Exits 1 when a goal is missed: a
// ratio below 0.9, an absent clock costing more than one 5 s time-out and a
// second at the first sweep that meets it, or a later sweep with absent
// addresses taking more than 1.1 times the sweep of the present clocks
// alone.
#include <fstream>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "clirun.h"
#include "simprocess.h"
#include "tempdir.h"
#include "toolargs.h"
#include "tools/clocksim/clock.h"
#include "tools/clocksim/protocol.h"
#include "tools/clocksim/records.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the program to its end; returns its exit status and the seconds it took.
std::pair<int, double> RunCli(const std::vector<std::string>& args)
{
    const ChildResult ended = RunChild(CliArgv(kCliPath, args), kNoOutput, kNoOutput, std::chrono::hours(1));
    return {ended.status, ended.seconds};
}

// Seconds the line needs for what the wire log shows: each command the
// clocks took and the answer each gave, replayed against clocks made as
// clocksim made them.
double LineSeconds(const std::string& wireLog, int clocks, int records, int baud)
{
    clocksim::RecordSettings settings;
    settings.count = static_cast<std::uint32_t>(records);
    settings.clockDate = clocksim::Date{1405, 9, 16};  // clocksim's default
    std::map<int, std::unique_ptr<clocksim::SimClock>> simulated;
    for (int n = 1; n <= clocks; ++n)
        simulated[n] = std::make_unique<clocksim::SimClock>(
            n, settings.calendar, settings.clockDate, clocksim::RecordRing(makeRecords(settings, n), 0));
    double seconds = 0;
    std::istringstream lines(wireLog);
    std::string line;
    while (std::getline(lines, line)) {
        std::string bytes;
        std::istringstream hex(line.substr(line.find(" hex=") + 5));
        for (std::string pair; hex >> pair;) bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
        // At 57600 baud the program pauses 1 ms after each byte of a longer
        // command, and the line time of all but the last byte falls inside
        // those pauses; the clock answers during the last one.
        if (baud == 57600 && bytes.size() >= 2)
            seconds += (bytes.size() - 1) * 0.001 + 10.0 / baud;
        else
            seconds += bytes.size() * 10.0 / baud;
        if (line.find(" ignored=") != std::string::npos || line.find(" unanswered") != std::string::npos)
            continue;
        clocksim::BusFrameDecoder decoder;
        for (const clocksim::Received& r : decoder.feed(bytes)) {
            const int number = std::stoi(line.substr(line.find(" clock=") + 7));
            if (auto reply = simulated.at(number)->answer(r.text, clocksim::Bus::Rs485))
                seconds += reply->size() * 10.0 / baud;
        }
    }
    return seconds;
}

struct Sweep {
    int status = -1;
    double seconds = 0;
    double lineSeconds = 0;
};

// One --new sweep of clocks 1..`addressed` on a bus where 1..`present` answer.
Sweep RunSweep(int present, int addressed, int records, int baud)
{
    const TempDir out("sweepbench");
    SimProcess sim({"--bus", "rs485", "--clocks", "1-" + std::to_string(present), "--records",
                    std::to_string(records), "--baud", std::to_string(baud), "--line-rate"},
                   /*quiet=*/true);
    Sweep sweep;
    std::tie(sweep.status, sweep.seconds) = RunCli(
        {"download", "--new", "--bus", "rs485", "--clocks", "1-" + std::to_string(addressed), "--baud",
         std::to_string(baud), "--ports-dir", sim.PortDirectory(), "--port", "COM7", "--out", out.path()});
    sweep.lineSeconds = LineSeconds(sim.ReadWireLog(), present, records, baud);
    return sweep;
}

// The clock list "1-3,5-7,..." of the first `addresses` numbers, every
// fourth left out when `withAbsent` is false.
std::string ClockList(int addresses, bool withAbsent)
{
    std::string list;
    for (int first = 1; first <= addresses; first += 4) {
        const int last = std::min(addresses, first + (withAbsent ? 3 : 2));
        list += (list.empty() ? "" : ",") + std::to_string(first) + "-" + std::to_string(last);
    }
    return list;
}

// --new sweeps of `clocks` into one folder at 9600 baud: the first collects
// what `sim` holds, the next three find nothing new; the quickest of those
// and the exit status of the last. A sweep with nothing new takes about a
// second and a half, a good part of it the state and the store written
// and synced a clock at a time, which a disk other work shares delays by
// tenths of a second at random.
std::pair<int, double> NothingNewSweep(const SimProcess& sim, const std::string& clocks)
{
    const TempDir out("sweepbench");
    const std::vector<std::string> sweep{
        "download", "--new",  "--bus", "rs485",       "--clocks",          clocks,  "--baud",
        "9600",     "--port", "COM7",  "--ports-dir", sim.PortDirectory(), "--out", out.path()};
    RunCli(sweep);
    std::pair<int, double> quickest{0, 1e9};
    for (int run = 0; run < 3; ++run) {
        const auto [status, seconds] = RunCli(sweep);
        quickest = {status, std::min(quickest.second, seconds)};
    }
    return quickest;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    if (!ToolArgs("sweepbench").Switch("--quick", quick).Parse(argc, argv)) return 2;
    const int clocks = quick ? 8 : 32;
    bool goalsMet = true;

    std::printf("| sweep | baud | clocks | records each | seconds | line limit s | line-limit ratio |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (int baud : {9600, 57600}) {
        const int swept = baud == 57600 ? 32 : clocks;
        const Sweep s = RunSweep(swept, swept, 50, baud);
        const double ratio = s.lineSeconds / s.seconds;
        std::printf("| all present | %d | %d | 50 | %.2f | %.2f | %.3f%s |\n", baud, swept, s.seconds,
                    s.lineSeconds, ratio,
                    s.status == 0 ? "" : (" (exit status " + std::to_string(s.status) + ")").c_str());
        std::fflush(stdout);
        if (s.status != 0 || ratio < 0.9) goalsMet = false;
    }

    const int present = clocks / 4, absent = clocks - present;
    const Sweep some = RunSweep(present, present, 5, 57600);
    const Sweep all = RunSweep(present, clocks, 5, 57600);
    const double perAbsent = (all.seconds - some.seconds) / absent;
    std::printf(
        "\n%d addresses, %d absent, 5 records on each present clock, 57600 baud: %.2f s against %.2f s "
        "for the %d present alone; %.2f s per absent clock (exit status %d)\n",
        clocks, absent, all.seconds, some.seconds, present, perAbsent, all.status);
    if (some.status != 0 || all.status != 6 || perAbsent > 6.0) goalsMet = false;

    // Absent addresses met before cost a later sweep nothing.
    const int missing = clocks / 4;
    const std::string presentList = ClockList(clocks, false);
    const SimProcess mostly(
        {"--bus", "rs485", "--clocks", presentList, "--records", "5", "--baud", "9600", "--line-rate"},
        /*quiet=*/true);
    const auto [aloneStatus9600, presentAlone] = NothingNewSweep(mostly, presentList);
    const auto [withAbsentStatus, withAbsent] = NothingNewSweep(mostly, ClockList(clocks, true));
    const double absentRatio = withAbsent / presentAlone;
    std::printf(
        "\nnothing new, 9600 baud, %d addresses of which %d absent and met before: %.2f s against %.2f s for "
        "the %d present alone; ratio %.3f (goal <= 1.1; exit statuses %d, %d)\n",
        clocks, missing, withAbsent, presentAlone, clocks - missing, absentRatio, withAbsentStatus,
        aloneStatus9600);
    std::fflush(stdout);
    if (aloneStatus9600 != 0 || withAbsentStatus != 0 || absentRatio > 1.1) goalsMet = false;

    // A site of 8 buses at 57600 baud read side by side, against one of its
    // buses read alone.
    const int buses = quick ? 3 : 8;
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::string site, oneBus;
    for (int bus = 0; bus < buses; ++bus) {
        sims.push_back(std::make_unique<SimProcess>(
            std::vector<std::string>{"--bus", "rs485", "--clocks", "1-" + std::to_string(clocks), "--records",
                                     "50", "--baud", "57600", "--line-rate", "--seed",
                                     std::to_string(bus + 1)},
            /*quiet=*/true));
        site += sims.back()->PtyPath() + " rs485 1-" + std::to_string(clocks) + " 57600 standard\n";
        if (bus == 0) oneBus = site;
    }
    const auto runSite = [&](const std::string& text) {
        const TempDir out("sweepbench");
        std::ofstream(out / "site.txt") << text;
        return RunCli({"download", "--new", "--site", out / "site.txt", "--out", out.path()});
    };
    const auto [aloneStatus, alone] = runSite(oneBus);
    // Each run has a fresh store, so the first bus is read whole again.
    const auto [siteStatus, whole] = runSite(site);
    const double siteRatio = whole / alone;
    std::printf(
        "\nsite of %d buses x %d clocks x 50 records, 57600 baud: %.2f s; one bus alone %.2f s; "
        "ratio %.3f (goal <= 1.2; exit statuses %d, %d)\n",
        buses, clocks, whole, alone, siteRatio, siteStatus, aloneStatus);
    if (siteStatus != 0 || aloneStatus != 0 || siteRatio > 1.2) goalsMet = false;
    std::printf(
        "goals (ratio >= 0.9; an absent clock costs one 5 s time-out, under 6 s, and a later sweep no more "
        "than 1.1 times the present clocks alone; a site within 1.2 of its slowest bus): %s\n",
        goalsMet ? "met" : "MISSED");
    return goalsMet ? 0 : 1;
}
