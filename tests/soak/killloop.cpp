// Kill loop: clockreader-cli runs (download or pointers) against a clocksim
// whose answers are paced at the line rate are killed with SIGKILL at random
// instants, often in the middle of an answer, and each kill is followed by a
// whole run that must be exactly right: exit status 0, and Dump.Txt holding
// exactly the records asked for, or the pointers the clock holds. Whatever a
// killed run left on the line (the rest of an answer, an answer to a command
// it sent just before it died, its lock file) must not reach the next run.
//
// The clocks stay up across kills, so one kill's leftovers meet the next
// run. Kills alternate between RS-232 and RS-485; the choices (operation,
// range, instant) come from the seed, which is printed, so a loop can be run
// again with the same choices (the instants relative to the line's bytes vary
// with the machine's load).
//
// Prints a line per kill with --verbose, then one table; exits 1 when any run
// after a kill was not exactly right.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "clirun.h"
#include "dumplines.h"
#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"
#include "tempdir.h"
#include "toolargs.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr long kRecords = 3000;
constexpr int kBaud = 9600;
constexpr int kGiveUpSeconds = 60;

struct Settings {
    int kills = 100;
    std::uint64_t seed = 1;
    bool verbose = false;
};

// clockreader-cli started with `args`; standard output and error go to files
// in `dir`. Killed after `killAfter` when that is given; waited for, and
// killed as hung after kGiveUpSeconds, otherwise.
CliRun RunCli(const std::vector<std::string>& args, const TempDir& dir,
              std::optional<std::chrono::microseconds> killAfter = std::nullopt)
{
    return RunCliIn(dir, kCliPath, args,
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        killAfter ? *killAfter : std::chrono::seconds(kGiveUpSeconds)));
}

// One clock on its own pty, paced at the line rate, for one bus.
struct Line {
    bool rs232;
    std::unique_ptr<SimProcess> sim;
    std::vector<SimRecord> records;

    explicit Line(bool rs232Bus) : rs232(rs232Bus)
    {
        sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--bus", rs232 ? "rs232" : "rs485", "--records",
                                     std::to_string(kRecords), "--flagged-rate", "0.02", "--baud",
                                     std::to_string(kBaud), "--line-rate"},
            true);
        records = sim->ExpectedRecords(1);
        if (static_cast<long>(records.size()) != kRecords)
            throw std::runtime_error("clocksim holds no records");
    }

    std::vector<std::string> Args(std::vector<std::string> args) const
    {
        args.insert(args.end(),
                    {"--ports-dir", sim->PortDirectory(), "--port", "COM" + std::to_string(sim->ComNumber()),
                     "--baud", std::to_string(kBaud), "--bus", rs232 ? "rs232" : "rs485"});
        return args;
    }
};

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::string rest;
    std::vector<std::string> lines = CrLfLines(text, &rest);
    if (!rest.empty()) lines.push_back("<no line end>" + rest);
    return lines;
}

// What a whole download of `count` records from `start` must write.
void ExpectedFiles(const Line& line, long start, long count, std::vector<std::string>& dump,
                   std::size_t& flagged)
{
    FakeWindow window;
    window.com = std::to_string(line.sim->ComNumber());
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1405/09/16";  // clocksim's default date
    dump.clear();
    flagged = 0;
    for (long i = start; i < start + count; ++i) {
        if (line.records[i].flagged)
            ++flagged;
        else
            dump.push_back(DecodeRecord(window, run, line.records[i].payload));
    }
}

// Runs one whole operation and says what was wrong with it, "" when nothing.
std::string CheckWholeRun(const Line& line, bool download, long start, long count, const TempDir& dir)
{
    if (!download) {
        const CliRun o = RunCli(line.Args({"pointers"}), dir);
        const std::string expected = "ARI 0\nAWI " + std::to_string(kRecords) + "\n";
        if (o.status != 0 || o.out != expected)
            return "pointers: status " + std::to_string(o.status) + ", output '" + o.out + "', " + o.err;
        return "";
    }
    const std::string out = dir / "out";
    fs::create_directories(out);
    const CliRun o = RunCli(line.Args({"download", "--start", std::to_string(start), "--count",
                                       std::to_string(count), "--out", out}),
                            dir);
    if (o.status != 0) return "download: status " + std::to_string(o.status) + ": " + o.err;
    std::vector<std::string> dump;
    std::size_t flagged = 0;
    ExpectedFiles(line, start, count, dump, flagged);
    const std::vector<std::string> written = SplitCrLf(ReadWholeFile(out + "/Dump.Txt"));
    const std::vector<std::string> bad = SplitCrLf(ReadWholeFile(out + "/BadRecs.Txt"));
    if (written != dump) {
        std::size_t at = 0;
        while (at < written.size() && at < dump.size() && written[at] == dump[at]) ++at;
        return "download: Dump.Txt differs at line " + std::to_string(at + 1) + " (" +
               std::to_string(written.size()) + " lines, " + std::to_string(dump.size()) + " expected)";
    }
    if (bad.size() != flagged)
        return "download: " + std::to_string(bad.size()) + " bad records, " + std::to_string(flagged) +
               " expected";
    const std::string summary =
        "total " + std::to_string(kRecords) + "\nread " + std::to_string(count) + "\n";
    if (o.out != summary) return "download: output '" + o.out + "'";
    return "";
}

struct Totals {
    int kills[2][2] = {};  // [rs232][download killed]
    int endedFirst = 0;    // runs that ended before their kill came
    int exact = 0, wrong = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    ToolArgs args("killloop");
    args.Value("--kills", settings.kills, "N")
        .Value("--seed", settings.seed, "S")
        .Switch("--verbose", settings.verbose);
    if (!args.Parse(argc, argv) || (settings.kills < 1 && !args.Usage())) return 2;

    std::printf("kill loop: %d kills from seed %llu, clocks paced at %d baud\n", settings.kills,
                static_cast<unsigned long long>(settings.seed), kBaud);
    std::fflush(stdout);
    std::mt19937_64 rng(settings.seed);
    auto between = [&](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); };

    Line lines[2] = {Line(false), Line(true)};
    TempDir dir("clockreader-kill");
    Totals totals;
    const auto started = Clock::now();
    int kills = 0;
    for (int attempt = 0; kills < settings.kills && attempt < 3 * settings.kills; ++attempt) {
        const Line& line = lines[attempt % 2];
        // The killed run: a download of up to a few seconds, or the pointers,
        // killed anywhere from before its first command to its last answer.
        const bool killDownload = between(0, 2) != 0;
        const long killStart = between(0, kRecords - 200);
        const auto killAfter = std::chrono::microseconds(between(0, killDownload ? 1'500'000 : 160'000));
        const std::string out = dir / "killed";
        fs::create_directories(out);
        const CliRun killed =
            RunCli(line.Args(killDownload
                                 ? std::vector<std::string>{"download", "--start", std::to_string(killStart),
                                                            "--count", "150", "--out", out}
                                 : std::vector<std::string>{"pointers"}),
                   dir, killAfter);
        if (killed.status == 128 + SIGKILL) {
            ++kills;
            ++totals.kills[line.rs232][killDownload];
        } else {
            ++totals.endedFirst;
        }

        // The whole run after it.
        const bool download = between(0, 1) == 0;
        const long start = between(0, kRecords - 40);
        const long count = between(1, 30);
        const std::string problem = CheckWholeRun(line, download, start, count, dir);
        problem.empty() ? ++totals.exact : ++totals.wrong;
        if (settings.verbose || !problem.empty()) {
            std::printf("run %3d  %s  %-9s killed after %4ld ms (%s)  then %-9s %s\n", attempt + 1,
                        line.rs232 ? "rs232" : "rs485", killDownload ? "download" : "pointers",
                        static_cast<long>(killAfter.count() / 1000),
                        killed.status == 128 + SIGKILL ? "killed"
                                                       : ("ended " + std::to_string(killed.status)).c_str(),
                        download ? "download" : "pointers", problem.empty() ? "exact" : problem.c_str());
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    std::printf(
        "\n| kills | RS-232 download | RS-232 pointers | RS-485 download | RS-485 pointers | "
        "ended before the kill | next run exact | next run wrong | seconds |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %d | %d | %d | %d | %d | %d | %d | %d | %.0f |\n", kills, totals.kills[1][1],
                totals.kills[1][0], totals.kills[0][1], totals.kills[0][0], totals.endedFirst, totals.exact,
                totals.wrong, seconds);
    if (totals.wrong != 0 || kills < settings.kills) {
        std::printf("kill loop FAILED; replay with: killloop --kills %d --seed %llu --verbose\n",
                    settings.kills, static_cast<unsigned long long>(settings.seed));
        return 1;
    }
    std::printf("kill loop passed: every run after a kill was exactly right\n");
    return 0;
}
