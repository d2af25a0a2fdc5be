// Kill loop: "clockreader-cli download --new" killed with SIGKILL at random
// instants while punches arrive, checked for every record exactly once.
//
// Each round starts clocksim (RS-232, or an RS-485 bus of two clocks swept
// with --clocks), paced at the line rate, with flagged records and a punch
// every few milliseconds, and one output folder. A round then starts the
// program again and again and kills each run after a random delay: before it
// takes the folder's lock, while it repairs, asks the pointers, reads a
// record or saves its position. Every few kills one run is let finish; the
// records in Dump.Txt must then be exactly the first records the clocks
// wrote, each once, in order, and BadRecs.Txt must hold one line per flagged
// one among them. At the end of a round, once the punches stop, a last run
// must leave every record written. A failing round prints its seed.
//
// Usage: collectionkills [--kills N] [--seed S] [--max-delay MS] [--verbose].
// Prints a line per round and a table (rounds, runs, kills, records, lost,
// duplicated, out of order, partial lines, failed runs, and the runs that
// found and cut back lines a killed run left); exits 1 when any
// record was lost, doubled, out of order or cut, or a finished run failed.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"

#ifndef CLOCKREADER_CLI_PATH
#define CLOCKREADER_CLI_PATH "clockreader-cli"
#endif

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
    long cutBacks = 0;  // runs that found lines a killed run wrote after its last save
    bool clean() const { return lost + duplicated + reordered + partial + failedRuns == 0; }
};

// Starts the program with `args`; its output goes to `log`.
pid_t Start(const std::vector<std::string>& args, const std::string& log)
{
    std::vector<std::string> argv{CLOCKREADER_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    return pid;
}

int WaitFor(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The lines of a file that end in CR LF, and whether anything follows the last.
std::vector<std::string> WholeLines(const std::string& text, bool& partial)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(text.substr(begin, end - begin));
    partial = begin != text.size();
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
        : m_settings(settings), m_seed(seed), m_rs232(rs232), m_tally(tally), m_rng(seed)
    {
        char pattern[] = "/tmp/collectionkills-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        m_out = pattern;
        m_clocks = rs232 ? std::vector<int>{1} : std::vector<int>{1, 2};
    }
    ~Round()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_out, ignored);
    }

    // Returns false when the round found a fault.
    bool Run(int kills)
    {
        // Punches go on for about as long as the kills do.
        m_punches = kills * (m_settings.maxDelayMs / 2 + 250) / kPunchEveryMs;
        std::vector<std::string> simArgs{"--records",      std::to_string(kRecordsAtStart),
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

        std::uniform_int_distribution<int> delay(0, m_settings.maxDelayMs * 1000);
        bool ok = true;
        for (int k = 1; k <= kills; ++k) {
            const pid_t pid = Start(m_args, m_out + "/killed.log");
            std::this_thread::sleep_for(std::chrono::microseconds(delay(m_rng)));
            kill(pid, SIGKILL);
            WaitFor(pid);
            CountCutBack(m_out + "/killed.log");
            ++m_tally.kills;
            ++m_tally.runs;
            if (k % m_settings.killsPerCheck == 0) ok = FinishAndCheck(sim, false) && ok;
        }
        // The last punches, then a run that must collect everything.
        for (int i = 0; i < 3000 && !AllPunched(sim); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ok = FinishAndCheck(sim, true) && ok;
        return ok;
    }

private:
    void CountCutBack(const std::string& log)
    {
        if (ReadWholeFile(log).find(": cut back to the ") != std::string::npos) ++m_tally.cutBacks;
    }

    static constexpr int kRecordsAtStart = 60;
    static constexpr int kPunchEveryMs = 25;

    bool AllPunched(const SimProcess& sim) const
    {
        return sim.ExpectedRecords().size() ==
               m_clocks.size() * static_cast<std::size_t>(kRecordsAtStart + m_punches);
    }

    // A run that is let finish, then the files against the clocks' records.
    bool FinishAndCheck(const SimProcess& sim, bool whole)
    {
        const std::string log = m_out + "/finished.log";
        const int status = WaitFor(Start(m_args, log));
        CountCutBack(log);
        ++m_tally.runs;
        bool ok = true;
        if (status != 0) {
            ++m_tally.failedRuns;
            std::printf("  a run that was let finish exited %d:\n%s\n", status, ReadWholeFile(log).c_str());
            ok = false;
        }
        bool partialDump = false, partialBad = false;
        const std::vector<std::string> dump = WholeLines(ReadWholeFile(m_out + "/Dump.Txt"), partialDump);
        const std::vector<std::string> bad = WholeLines(ReadWholeFile(m_out + "/BadRecs.Txt"), partialBad);
        const long partial = partialDump + partialBad;

        Comparison all;
        long records = 0, flagged = 0;
        for (int clock : m_clocks) {
            const std::vector<SimRecord> held = sim.ExpectedRecords(clock);
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

    // The lines of clock `clock`: its number, three digits, after three STX.
    static std::vector<std::string> LinesOfClock(const std::vector<std::string>& lines, int clock)
    {
        char number[8];
        std::snprintf(number, sizeof number, "%03d", clock);
        std::vector<std::string> own;
        for (const std::string& line : lines)
            if (line.compare(3, 3, number) == 0) own.push_back(line);
        return own;
    }

    const Settings& m_settings;
    std::uint64_t m_seed;
    bool m_rs232;
    Tally& m_tally;
    std::mt19937_64 m_rng;
    std::string m_out;
    std::vector<int> m_clocks;
    std::vector<std::string> m_args;
    int m_punches = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--kills" && i + 1 < argc)
            settings.kills = std::atoi(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc)
            settings.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--max-delay" && i + 1 < argc)
            settings.maxDelayMs = std::atoi(argv[++i]);
        else if (arg == "--verbose")
            settings.verbose = true;
        else {
            std::fprintf(stderr,
                         "usage: collectionkills [--kills N] [--seed S] [--max-delay MS] [--verbose]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    Tally tally;
    bool ok = true;
    const auto began = std::chrono::steady_clock::now();
    for (int done = 0, round = 0; done < settings.kills; ++round) {
        const int perRound = std::max(1, std::min(settings.killsPerRound, (settings.kills + 1) / 2));
        const int kills = std::min(perRound, settings.kills - done);
        const std::uint64_t seed = settings.seed * 1000 + static_cast<std::uint64_t>(round);
        const bool rs232 = round % 2 == 0;
        Round r(settings, seed, rs232, tally);
        const bool roundOk = r.Run(kills);
        ++tally.rounds;
        done += kills;
        std::printf("round %d (%s, seed %llu): %d runs killed, %s\n", round,
                    rs232 ? "RS-232" : "RS-485 sweep", static_cast<unsigned long long>(seed), kills,
                    roundOk ? "every record once, in order" : "FAULT");
        std::fflush(stdout);
        ok = ok && roundOk;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf(
        "\n| rounds | runs | killed | records | flagged | lost | duplicated | out of order | partial lines | "
        "failed runs | cut back |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::printf("| %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld | %ld |\n", tally.rounds,
                tally.runs, tally.kills, tally.records, tally.flagged, tally.lost, tally.duplicated,
                tally.reordered, tally.partial, tally.failedRuns, tally.cutBacks);
    std::printf("%.0f s; %s\n", seconds, ok ? "every record exactly once" : "FAULTS FOUND");
    return ok ? 0 : 1;
}
