// Kill loop: "clockreader-cli download --new" killed with SIGKILL at random
// instants while punches arrive and an importer takes the published files,
// checked for every record exactly once.
//
// Each round starts clocksim (RS-232, an RS-485 bus of two clocks swept with
// --clocks, or a full ring whose every punch overwrites its oldest record),
// paced at the line rate, with flagged records and a punch every few
// milliseconds, and one output folder. A round then starts the program again
// and again and kills each run after a random delay: before it takes the
// folder's lock, while it finishes an earlier run's publications, asks the
// pointers, reads a record, commits or publishes. Meanwhile an importer
// moves the published Dump-*.Txt and BadRecs-*.Txt files away at random
// instants. Every few kills one run is let finish; the records in the
// published files (taken or not) must then be exactly the first records the
// clocks wrote, each once, in order, with one BadRecs line per flagged one.
// At the end of a round, once the punches stop, a last run must leave every
// record published, and the store must pass SQLite's integrity check. A
// failing round prints its seed.
//
// Usage: collectionkills [--kills N] [--seed S] [--max-delay MS] [--verbose].
// Prints a line per round and a table (rounds, runs, kills, records, lost,
// duplicated, out of order, partial lines, failed runs, files the importer
// took, and the runs that finished an earlier run's publications); exits 1
// when any record was lost, doubled, out of order or cut, a finished run
// failed or the store is damaged.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <vector>

#include "clirun.h"
#include "dumplines.h"
#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"
#include "tempdir.h"
#include "toolargs.h"

namespace {

struct Settings {
    int kills = 200;
    std::uint64_t seed = 1;
    int maxDelayMs = 1000;
    int killsPerRound = 25;  // at most; a short loop has two rounds
    // Every this many kills a run is let finish and checked.
    int killsPerCheck = 5;
    bool verbose = false;
};

struct Tally {
    long rounds = 0, runs = 0, kills = 0, records = 0, flagged = 0;
    long lost = 0, duplicated = 0, reordered = 0, partial = 0, failedRuns = 0;
    long recoveries = 0;  // runs that finished publications a killed run left
    long imported = 0;    // files the importer took
    long damaged = 0;     // stores that failed the integrity check
};

// The program's command line with `args`.
std::vector<std::string> Cli(const std::vector<std::string>& args) { return CliArgv(kCliPath, args); }

// Runs the program with `args` to its end; its output goes to `log`.
int RunCli(const std::vector<std::string>& args, const std::string& log)
{
    return RunChild(Cli(args), log, log, std::chrono::hours(1)).status;
}

// The lines of a file that end in CR LF, and whether anything follows the last.
std::vector<std::string> WholeLines(const std::string& text, bool& partial)
{
    std::string rest;
    std::vector<std::string> lines = CrLfLines(text, &rest);
    partial = !rest.empty();
    return lines;
}

// What went wrong between the lines expected and the lines found, for one
// clock. `whole`: every expected line must be there; otherwise only those
// before the last one found.
struct Comparison {
    long found = 0, lost = 0, duplicated = 0, reordered = 0;
};

Comparison Compare(const std::vector<std::string>& expected, const std::vector<std::string>& found,
                   bool whole)
{
    std::map<std::string, std::vector<std::size_t>> where;
    for (std::size_t i = expected.size(); i-- > 0;) where[expected[i]].push_back(i);
    std::vector<bool> matched(expected.size(), false);
    Comparison c;
    long last = -1;
    for (const std::string& line : found) {
        auto at = where.find(line);
        if (at == where.end() || at->second.empty()) {
            ++c.duplicated;  // again, or never written by the clock
            continue;
        }
        const std::size_t index = at->second.back();
        at->second.pop_back();
        matched[index] = true;
        if (static_cast<long>(index) < last) ++c.reordered;
        last = std::max(last, static_cast<long>(index));
        ++c.found;
    }
    const std::size_t end = whole ? expected.size() : static_cast<std::size_t>(last + 1);
    for (std::size_t i = 0; i < end; ++i) c.lost += !matched[i];
    return c;
}

class Round {
public:
    Round(const Settings& settings, std::uint64_t seed, bool rs232, Tally& tally)
        : m_settings(settings),
          m_seed(seed),
          m_rs232(rs232),
          m_tally(tally),
          m_rng(seed),
          m_logs(m_folder.path()),
          m_out(m_folder / "out"),
          m_imported(m_folder / "imported")
    {
        std::filesystem::create_directories(m_out);
        std::filesystem::create_directories(m_imported);
        m_clocks = rs232 ? std::vector<int>{1} : std::vector<int>{1, 2};
    }

    // Returns false when the round found a fault. `fullRing`: the clock's
    // ring is full from the start, and the first run begins 60 records before
    // its write index.
    bool Run(int kills, bool fullRing)
    {
        // Punches go on for about as long as the kills do.
        m_punches = kills * (m_settings.maxDelayMs / 2 + 250) / kPunchEveryMs;
        m_firstRecord = fullRing ? kRingSize - kRecordsAtStart : 0;
        std::vector<std::string> simArgs{"--records",      std::to_string(m_firstRecord + kRecordsAtStart),
                                         "--flagged-rate", "0.05",
                                         "--seed",         std::to_string(m_seed)};
        simArgs.insert(simArgs.end(),
                       {"--baud", "19200", "--line-rate", "--punch-every", std::to_string(kPunchEveryMs),
                        "--punches", std::to_string(m_punches)});
        if (!m_rs232) simArgs.insert(simArgs.end(), {"--bus", "rs485", "--clocks", "1,2"});
        SimProcess sim(simArgs, /*quiet=*/true);
        m_args = {"download", "--new", "--baud", "19200", "--ports-dir", sim.PortDirectory(),
                  "--port",   "COM7",  "--out",  m_out,   "--lock-wait", "30"};
        if (!m_rs232) m_args.insert(m_args.end(), {"--bus", "rs485", "--clocks", "1,2"});

        if (fullRing) {
            std::vector<std::string> first = m_args;
            first.insert(first.end(), {"--start", std::to_string(m_firstRecord)});
            RunCli(first, m_logs + "/first.log");
        }

        // The importer moves what was published away at random instants,
        // while runs go on and while they are killed.
        std::atomic<bool> done{false};
        std::thread importer([&] {
            std::mt19937_64 rng(m_seed ^ 0x5eed);
            std::uniform_int_distribution<int> pause(0, 400);
            while (!done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
                Import();
            }
        });

        std::uniform_int_distribution<int> delay(0, m_settings.maxDelayMs * 1000);
        bool ok = true;
        for (int k = 1; k <= kills; ++k) {
            ChildProcess killed(Cli(m_args), m_logs + "/killed.log", m_logs + "/killed.log");
            std::this_thread::sleep_for(std::chrono::microseconds(delay(m_rng)));
            killed.Signal(SIGKILL);
            killed.Wait();
            CountRecovery(m_logs + "/killed.log");
            ++m_tally.kills;
            ++m_tally.runs;
            if (k % m_settings.killsPerCheck == 0) ok = FinishAndCheck(sim, false) && ok;
        }
        // The last punches, then a run that must collect everything.
        for (int i = 0; i < 3000 && !AllPunched(sim); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ok = FinishAndCheck(sim, true) && ok;
        done = true;
        importer.join();
        return IntegrityChecked() && ok;
    }

private:
    void CountRecovery(const std::string& log)
    {
        if (ReadWholeFile(log).find("an earlier run had not published yet") != std::string::npos)
            ++m_tally.recoveries;
    }

    // Moves every published file into the importer's folder.
    void Import()
    {
        std::lock_guard<std::mutex> hold(m_importing);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(m_out, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("Dump-", 0) != 0 && name.rfind("BadRecs-", 0) != 0) continue;
            std::filesystem::rename(entry.path(), m_imported + "/" + name, error);
            if (!error) ++m_tally.imported;
        }
    }

    // The lines of every published file of `prefix`, taken or not, in the
    // order of their names; `partial` counts files that end in half a line.
    std::vector<std::string> PublishedLines(const std::string& prefix, long& partial)
    {
        std::lock_guard<std::mutex> hold(m_importing);
        std::vector<std::filesystem::path> files;
        for (const std::string& folder : {m_out, m_imported})
            for (const auto& entry : std::filesystem::directory_iterator(folder))
                if (entry.path().filename().string().rfind(prefix + "-", 0) == 0)
                    files.push_back(entry.path());
        std::sort(files.begin(), files.end(),
                  [](const auto& a, const auto& b) { return a.filename() < b.filename(); });
        std::vector<std::string> lines;
        for (const auto& file : files) {
            bool cut = false;
            for (std::string& line : WholeLines(ReadWholeFile(file.string()), cut)) lines.push_back(line);
            partial += cut;
        }
        return lines;
    }

    bool IntegrityChecked()
    {
        sqlite3* db = nullptr;
        std::string verdict;
        if (sqlite3_open_v2((m_out + "/Punches.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
            sqlite3_exec(
                db, "PRAGMA integrity_check",
                [](void* out, int, char** values, char**) {
                    *static_cast<std::string*>(out) += values[0] ? values[0] : "";
                    return 0;
                },
                &verdict, nullptr);
        sqlite3_close(db);
        if (verdict == "ok") return true;
        ++m_tally.damaged;
        std::printf("  integrity check of the store: %s\n", verdict.c_str());
        return false;
    }

    static constexpr int kRecordsAtStart = 60;
    static constexpr int kPunchEveryMs = 25;

    bool AllPunched(const SimProcess& sim) const
    {
        return sim.ExpectedRecords().size() ==
               m_clocks.size() * static_cast<std::size_t>(m_firstRecord + kRecordsAtStart + m_punches);
    }

    // A run that is let finish, then the files against the clocks' records.
    bool FinishAndCheck(const SimProcess& sim, bool whole)
    {
        const std::string log = m_logs + "/finished.log";
        const int status = RunCli(m_args, log);
        CountRecovery(log);
        ++m_tally.runs;
        bool ok = true;
        if (status != 0) {
            ++m_tally.failedRuns;
            std::printf("  a run that was let finish exited %d:\n%s\n", status, ReadWholeFile(log).c_str());
            ok = false;
        }
        long partial = 0;
        const std::vector<std::string> dump = PublishedLines("Dump", partial);
        const std::vector<std::string> bad = PublishedLines("BadRecs", partial);

        Comparison all;
        long records = 0, flagged = 0;
        for (int clock : m_clocks) {
            std::vector<SimRecord> held = sim.ExpectedRecords(clock);
            held.erase(held.begin(), held.begin() + m_firstRecord);
            const Comparison c = Compare(GoodLines(held, clock), LinesOfClock(dump, clock), whole);
            all.found += c.found;
            all.lost += c.lost;
            all.duplicated += c.duplicated;
            all.reordered += c.reordered;
            records += static_cast<long>(held.size());
            for (const SimRecord& r : held) flagged += r.flagged;
        }
        // Raw flagged replies do not name their clock, and those of a run
        // cut short may lie past its last good line: only the whole check
        // counts them exactly.
        const bool badCountWrong = whole && static_cast<long>(bad.size()) != flagged;
        if (whole) {
            m_tally.records += records;
            m_tally.flagged += flagged;
        }
        m_tally.partial += partial;
        m_tally.lost += all.lost;
        m_tally.duplicated += all.duplicated;
        m_tally.reordered += all.reordered;
        const bool clean = all.lost + all.duplicated + all.reordered + partial == 0 && !badCountWrong;
        if (!clean || m_settings.verbose)
            std::printf(
                "  check after %ld runs: %ld lines, lost %ld, duplicated %ld, out of order %ld, partial %ld, "
                "BadRecs %zu lines%s\n",
                m_tally.runs, all.found, all.lost, all.duplicated, all.reordered, partial, bad.size(),
                badCountWrong ? (" (WRONG: " + std::to_string(flagged) + " flagged)").c_str() : "");
        return ok && clean;
    }

    // The dump lines of the good records among `held`, in order.
    static std::vector<std::string> GoodLines(const std::vector<SimRecord>& held, int clock)
    {
        FakeWindow window;
        window.selectedClock = std::to_string(clock);
        window.com = "7";  // SimProcess's link on this system
        DownloadRun run;
        run.ClockIsSolar = true;
        run.ClockDateText = "1405/09/16";  // clocksim's default date
        std::vector<std::string> lines;
        for (const SimRecord& record : held)
            if (!record.flagged) lines.push_back(DecodeRecord(window, run, record.payload));
        return lines;
    }

    const Settings& m_settings;
    std::uint64_t m_seed;
    bool m_rs232;
    Tally& m_tally;
    std::mt19937_64 m_rng;
    TempDir m_folder{"collectionkills"};
    std::string m_logs, m_out, m_imported;
    std::mutex m_importing;
    std::vector<int> m_clocks;
    int m_firstRecord = 0;
    std::vector<std::string> m_args;
    int m_punches = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    ToolArgs args("collectionkills");
    args.Value("--kills", settings.kills, "N")
        .Value("--seed", settings.seed, "S")
        .Value("--max-delay", settings.maxDelayMs, "MS")
        .Switch("--verbose", settings.verbose);
    if (!args.Parse(argc, argv)) return 2;
    std::signal(SIGPIPE, SIG_IGN);
    Tally tally;
    bool ok = true;
    const auto began = std::chrono::steady_clock::now();
    for (int done = 0, round = 0; done < settings.kills; ++round) {
        const int perRound = std::max(1, std::min(settings.killsPerRound, (settings.kills + 2) / 3));
        const int kills = std::min(perRound, settings.kills - done);
        const std::uint64_t seed = settings.seed * 1000 + static_cast<std::uint64_t>(round);
        // RS-232, an RS-485 sweep, a full ring on RS-232, in turn.
        const bool rs232 = round % 3 != 1, fullRing = round % 3 == 2;
        Round r(settings, seed, rs232, tally);
        const bool roundOk = r.Run(kills, fullRing);
        ++tally.rounds;
        done += kills;
        std::printf("round %d (%s, seed %llu): %d runs killed, %s\n", round,
                    fullRing ? "RS-232, full ring"
                    : rs232  ? "RS-232"
                             : "RS-485 sweep",
                    static_cast<unsigned long long>(seed), kills,
                    roundOk ? "every record once, in order" : "FAULT");
        std::fflush(stdout);
        ok = ok && roundOk;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf(
        "\n| rounds | runs | killed | records | flagged | lost | duplicated | out of order | partial lines | "
        "failed runs | damaged stores | files imported | runs that finished a publication |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld |\n",
                tally.rounds, tally.runs, tally.kills, tally.records, tally.flagged, tally.lost,
                tally.duplicated, tally.reordered, tally.partial, tally.failedRuns, tally.damaged,
                tally.imported, tally.recoveries);
    std::printf("%.0f s; %s\n", seconds, ok ? "every record exactly once" : "FAULTS FOUND");
    return ok ? 0 : 1;
}
