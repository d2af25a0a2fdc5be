// Fault soak: many downloads against clocksim with line faults drawn from a
// seed, on both buses and in both record layouts, each checked against the
// records the clock holds.
//
// Every session runs in a process of its own, with its own clocksim and pty,
// up to --jobs of them side by side. Session i of a soak started with
// --seed S has the seed S + i, and everything about it (bus, layout, range,
// faults) follows from that seed and the size options, so any session can be
// replayed alone with --seed and --runs 1; each line shows its seed.
//
// A run may end in three ways only: complete (every record of the range
// exactly once, in order, flagged ones raw in the bad-records lines), by
// the record error after six unusable answers in a row, or by the error
// report when the clock hangs up. In the last two cases the lines written
// before the end must be the range's first records, in order. A run must also
// end within a time budget worked out from its records and the faults the
// clock injected; one that does not is stopped and counted as hung.
//
// Prints a line per session and one table; exits 1 when any record was
// lost, doubled, put out of order or garbled, when a session ended in a way
// the faults do not explain, or when one hung or could not be run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <list>
#include <memory>
#include <optional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "childprocess.h"
#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "toolargs.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kRecordError = "خطا در رکورد";
const char* const kFaultKinds[] = {"drop", "late", "trickle", "corrupt", "garbage"};
enum { kDrop, kLate, kTrickle, kCorrupt, kGarbage, kKinds };

// What one fault costs the reader at most, in milliseconds: a dropped or late
// answer a whole query time-out (plus the late answer's own delay), a
// trickled one its slow arrival, the others one more round trip.
constexpr int kFaultCostMs[kKinds] = {5600, 5600, 500, 50, 50};
constexpr int kSlackMs = 10000;

struct Settings {
    int runs = 12;
    int jobs = 1;
    std::uint64_t seed = 1;
    int maxRecords = 600;
    // Upper ends of the per-run rates of the two faults that cost a time-out.
    double dropRate = 0.003;
    double lateRate = 0.001;
    bool verbose = false;
};

struct Plan {
    bool rs232 = true;
    bool vireo = false;
    bool solar = true;
    bool paced = false;
    int clock = 1;
    long records = 0;
    long ari = 0;
    long firstOffset = 0;  // first record read, counted from ARI
    long count = 0;
    double flaggedRate = 0;
    double rates[kKinds] = {};
    long hangupAfter = -1;
    std::uint64_t faultSeed = 1;

    std::string clockDate() const { return solar ? "14050916" : "20261207"; }
    std::string clockDateText() const { return solar ? "1405/09/16" : "2026/12/07"; }
    long startPosition() const { return (ari + firstOffset) % kRingSize; }
    int perRecordMs() const { return paced ? 25 : 10; }

    std::vector<std::string> simArguments() const
    {
        std::string faults;
        for (int k = 0; k < kKinds; ++k) {
            if (rates[k] <= 0) continue;
            if (!faults.empty()) faults += ",";
            faults += std::string(kFaultKinds[k]) + "=" + std::to_string(rates[k]);
        }
        if (hangupAfter >= 0)
            faults +=
                (faults.empty() ? "" : ",") + std::string("hangup-after=") + std::to_string(hangupAfter);
        std::vector<std::string> args{"--bus",          rs232 ? "rs232" : "rs485",
                                      "--records",      std::to_string(records),
                                      "--layout",       vireo ? "vireo" : "standard",
                                      "--calendar",     solar ? "solar" : "gregorian",
                                      "--date",         clockDate(),
                                      "--ari",          std::to_string(ari),
                                      "--flagged-rate", std::to_string(flaggedRate),
                                      "--fault-seed",   std::to_string(faultSeed),
                                      "--seed",         std::to_string(faultSeed + 17)};
        // On the bus a second clock shares the line and must stay silent.
        args.insert(args.end(),
                    {"--clocks", rs232 ? std::to_string(clock)
                                       : std::to_string(clock) + "," + std::to_string(clock % 32 + 1)});
        if (paced) args.insert(args.end(), {"--baud", "57600", "--line-rate"});
        if (!faults.empty()) args.insert(args.end(), {"--faults", faults});
        return args;
    }
};

Plan MakePlan(const Settings& settings, std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto between = [&](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); };
    Plan p;
    // Every four sessions in a row cover both buses in both layouts.
    p.rs232 = seed % 2 == 0;
    p.vireo = seed / 2 % 2 == 1;
    p.solar = between(0, 1) == 0;
    p.paced = between(0, 3) == 0;
    p.clock = static_cast<int>(between(1, 32));
    p.records = between(std::max(50, settings.maxRecords / 4), settings.maxRecords);
    // Now and then the range runs across the end of the ring.
    p.ari = between(0, 2) == 0 ? kRingSize - between(1, p.records) : between(0, 1000);
    p.firstOffset = between(0, p.records / 4);
    p.count = p.records - p.firstOffset - between(0, 10);
    p.flaggedRate = uniform(0, 0.04);
    p.rates[kDrop] = uniform(0, settings.dropRate);
    p.rates[kLate] = uniform(0, settings.lateRate);
    p.rates[kTrickle] = uniform(0, 0.01);
    p.rates[kCorrupt] = uniform(0, 0.04);
    p.rates[kGarbage] = uniform(0, 0.04);
    if (between(0, 4) == 0) p.hangupAfter = between(1, p.count);
    p.faultSeed = rng();
    return p;
}

// At most this many faults of kind k earn a session more time: well above
// what its rate can give, so a reader stuck in a loop cannot earn itself
// more time by meeting more faults.
long FaultCap(const Plan& plan, int k)
{
    return static_cast<long>(3 * plan.rates[k] * static_cast<double>(plan.count + 50)) + 5;
}

// One entry of what a run wrote or should have written: a dump line, or a
// flagged record (its raw reply holds "???", which is all that tells it).
struct Entry {
    bool flagged = false;
    std::string line;
    bool operator==(const Entry&) const = default;
};

// The window of a soak run: keeps both output files as one sequence, and
// stops the run once it outlasts its budget.
class SoakWindow : public FakeWindow {
public:
    std::vector<Entry> written;
    std::function<bool()> overBudget;
    bool stoppedByWatchdog = false;

    void WriteDumpLine(const std::string& line) override
    {
        FakeWindow::WriteDumpLine(line);
        written.push_back({false, line});
    }
    void WriteBadRecordLine(const std::string& line) override
    {
        FakeWindow::WriteBadRecordLine(line);
        written.push_back({true, line.find("???") != std::string::npos ? "???" : line});
    }
    void ProcessMessages() override
    {
        FakeWindow::ProcessMessages();
        if (!stopRequested && overBudget && overBudget()) {
            stopRequested = true;
            stoppedByWatchdog = true;
        }
    }
};

// Reads the simulator's wire log as it grows and counts the faults in it.
class WireLogTail {
public:
    explicit WireLogTail(const std::string& path) : m_path(path) {}
    ~WireLogTail()
    {
        if (m_fd >= 0) close(m_fd);
    }

    void Poll()
    {
        if (m_fd < 0) m_fd = open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) return;
        char buffer[4096];
        ssize_t n;
        while ((n = read(m_fd, buffer, sizeof buffer)) > 0) {
            m_partial.append(buffer, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = m_partial.find('\n')) != std::string::npos) {
                Take(m_partial.substr(0, end));
                m_partial.erase(0, end + 1);
            }
        }
    }

    long faults[kKinds] = {};
    bool hungUp = false;
    // Per NAK the clock received, in order: whether its answer was lost,
    // late or spoilt (so the reader could not use it).
    std::vector<bool> nakFailed;

private:
    void Take(const std::string& line)
    {
        for (int k = 0; k < kKinds; ++k)
            if (line.find(std::string(" fault=") + kFaultKinds[k]) != std::string::npos) ++faults[k];
        if (line.find(" hangup") != std::string::npos) hungUp = true;
        if (line.find(" cmd=NAK") != std::string::npos && line.find(" ignored=") == std::string::npos)
            nakFailed.push_back(line.find("fault=drop") != std::string::npos ||
                                line.find("fault=late") != std::string::npos ||
                                line.find("fault=corrupt") != std::string::npos);
    }

    std::string m_path;
    int m_fd = -1;
    std::string m_partial;
};

struct Comparison {
    long lost = 0, duplicated = 0, outOfOrder = 0, garbled = 0;
    long matched = 0;
};

// Aligns what was written with what the clock holds. A record skipped over
// counts as lost until it turns up later (then it is out of order instead);
// one written again is duplicated; a line that is no record of the range is
// garbled. When the run ended early, the records after the last one written
// are not lost: they were never asked for.
Comparison Compare(const std::vector<Entry>& expected, const std::vector<Entry>& written, bool complete)
{
    Comparison c;
    std::vector<bool> used(expected.size(), false);
    std::size_t next = 0;
    for (const Entry& w : written) {
        std::size_t at = next;
        while (at < expected.size() && !(expected[at] == w)) ++at;
        if (at < expected.size()) {
            c.lost += static_cast<long>(at - next);
            used[at] = true;
            next = at + 1;
            ++c.matched;
            continue;
        }
        // Not ahead: a skipped record turning up late, an earlier one again,
        // or no record of the range.
        std::size_t skipped = 0;
        while (skipped < next && (used[skipped] || !(expected[skipped] == w))) ++skipped;
        const auto passed = expected.begin() + static_cast<std::ptrdiff_t>(next);
        if (skipped < next) {
            used[skipped] = true;
            --c.lost;
            ++c.outOfOrder;
        } else if (std::find(expected.begin(), passed, w) != passed) {
            ++c.duplicated;
        } else {
            ++c.garbled;
        }
    }
    if (complete) c.lost += static_cast<long>(expected.size() - next);
    return c;
}

struct Totals {
    long sessions = 0, complete = 0, recordErrors = 0, hangUps = 0;
    long records = 0, written = 0, flagged = 0;
    long faults[kKinds] = {};
    long hangupFaults = 0;
    long lost = 0, duplicated = 0, outOfOrder = 0, garbled = 0, unexplained = 0, hung = 0;

    void Add(const Totals& o)
    {
        long* mine = &sessions;
        const long* theirs = &o.sessions;
        for (std::size_t i = 0; i < sizeof(Totals) / sizeof(long); ++i) mine[i] += theirs[i];
    }
};
static_assert(sizeof(Totals) % sizeof(long) == 0);

// The records of the plan's range from the --dump-expected file, as lines
// the download writes for them.
std::vector<Entry> ExpectedEntries(const SimProcess& sim, const Plan& plan, const FakeWindow& window)
{
    const std::vector<SimRecord> records = sim.ExpectedRecords(plan.clock);
    DownloadRun run;
    run.ClockIsSolar = plan.solar;
    run.ClockDateText = plan.clockDateText();
    std::vector<Entry> entries;
    for (long i = plan.firstOffset;
         i < plan.firstOffset + plan.count && i < static_cast<long>(records.size()); ++i)
        entries.push_back(records[i].flagged ? Entry{true, "???"}
                                             : Entry{false, DecodeRecord(window, run, records[i].payload)});
    return entries;
}

// The run ended by the record error: the clock's log must show six answers
// in a row the reader could not use.
bool RecordErrorExplained(const WireLogTail& log)
{
    const std::vector<bool>& naks = log.nakFailed;
    if (naks.size() < 6) return false;
    for (std::size_t i = naks.size() - 6; i < naks.size(); ++i)
        if (!naks[i]) return false;
    return true;
}

// The longest a session may take before the parent stops it: the session's
// own budget with every fault kind at its cap, and then some. The session
// stops itself well before, unless it no longer calls back at all.
long HardLimitMs(const Plan& plan)
{
    long ms = kSlackMs + plan.count * plan.perRecordMs() + 30000;
    for (int k = 0; k < kKinds; ++k) ms += FaultCap(plan, k) * kFaultCostMs[k];
    return ms + 60000;
}

// Runs one session in this process: adds it to `totals` and returns its
// report lines.
std::string RunOne(const Settings& settings, std::uint64_t seed, const Plan& plan, Totals& totals)
{
    // Unless verbose, the simulator's fault summary stays out of the run lines.
    SimProcess sim(plan.simArguments(), !settings.verbose);
    SetComPortDirectory(sim.PortDirectory());

    SoakWindow window;
    window.com = std::to_string(sim.ComNumber());
    window.rs232 = plan.rs232;
    window.vireo = plan.vireo;
    window.selectedClock = std::to_string(plan.clock);
    window.baudRate = plan.paced ? "57600" : "9600";
    window.start = std::to_string(plan.startPosition());
    window.count = std::to_string(plan.count);

    // The budget grows with the faults the clock actually injected, each
    // kind capped well above what its rate can give, so a reader stuck in a
    // loop cannot earn itself more time by meeting more faults.
    WireLogTail log(sim.WireLogPath());
    long caps[kKinds];
    long capped = 0;
    for (int k = 0; k < kKinds; ++k) {
        caps[k] = FaultCap(plan, k);
        capped += caps[k] * kFaultCostMs[k];
    }
    const long baseMs = kSlackMs + plan.count * plan.perRecordMs();
    const Clock::time_point started = Clock::now();
    auto budgetMs = [&] {
        long ms = baseMs;
        for (int k = 0; k < kKinds; ++k) ms += std::min(log.faults[k], caps[k]) * kFaultCostMs[k];
        return ms;
    };
    auto elapsedMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    };
    window.overBudget = [&] {
        log.Poll();
        return elapsedMs() > budgetMs();
    };

    // Should the run stop calling back into the window altogether, the last
    // resort is to cut the line: the reader's next read then fails.
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::atomic<bool> lineCut{false};
    const pid_t simPid = sim.Pid();
    std::thread guard([&] {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::milliseconds(baseMs + capped + 30000),
                           [&] { return finished; })) {
            lineCut = true;
            kill(simPid, SIGKILL);
        }
    });

    RunDownload(window);
    const long tookMs = elapsedMs();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    guard.join();
    ReleaseSharedPort();
    sim.Stop();
    log.Poll();
    SetComPortDirectory("");

    const std::vector<Entry> expected = ExpectedEntries(sim, plan, window);
    const bool hung = window.stoppedByWatchdog || lineCut;
    std::string ending;
    bool explained = true;
    const auto& messages = window.messages;
    if (hung) {
        ending = "hung";
    } else if (messages.empty()) {
        ending = "complete";
    } else if (messages.size() == 1 && messages[0].kind == ShownMessage::MessageBox &&
               messages[0].text == kRecordError) {
        ending = "record error";
        explained = RecordErrorExplained(log);
    } else if (messages.size() == 1 && messages[0].kind == ShownMessage::ErrorReport) {
        ending = "hang-up: " + messages[0].text;
        explained = plan.hangupAfter >= 0 && log.hungUp;
    } else {
        ending = "unexpected:";
        for (const ShownMessage& m : messages) ending += " [" + m.text + "]";
        explained = false;
    }
    const Comparison c = Compare(expected, window.written, ending == "complete");

    ++totals.sessions;
    totals.complete += ending == "complete";
    totals.recordErrors += ending == "record error";
    totals.hangUps += ending.starts_with("hang-up");
    totals.records += static_cast<long>(expected.size());
    totals.written += static_cast<long>(window.written.size());
    totals.flagged += static_cast<long>(window.badRecordLines.size());
    for (int k = 0; k < kKinds; ++k) totals.faults[k] += log.faults[k];
    totals.hangupFaults += log.hungUp;
    totals.lost += c.lost;
    totals.duplicated += c.duplicated;
    totals.outOfOrder += c.outOfOrder;
    totals.garbled += c.garbled;
    totals.unexplained += !explained;
    totals.hung += hung;

    char line[400];
    std::snprintf(
        line, sizeof line,
        "seed %-4llu %s %-8s clock %2d%s start %6ld count %4ld  faults d%ld l%ld t%ld c%ld g%ld%s  %5.1f s "
        "of %5.1f  written %4zu  %s%s\n",
        static_cast<unsigned long long>(seed), plan.rs232 ? "rs232" : "rs485",
        plan.vireo ? "vireo" : "standard", plan.clock, plan.paced ? " 57600" : "      ", plan.startPosition(),
        plan.count, log.faults[kDrop], log.faults[kLate], log.faults[kTrickle], log.faults[kCorrupt],
        log.faults[kGarbage], log.hungUp ? " hangup" : "", static_cast<double>(tookMs) / 1000,
        static_cast<double>(budgetMs()) / 1000, window.written.size(), ending.c_str(),
        explained ? "" : " (NOT EXPLAINED BY THE FAULTS)");
    std::string report = line;
    if (c.lost || c.duplicated || c.outOfOrder || c.garbled) {
        std::snprintf(line, sizeof line, "        lost %ld, duplicated %ld, out of order %ld, garbled %ld\n",
                      c.lost, c.duplicated, c.outOfOrder, c.garbled);
        report += line;
    }
    return report;
}

void PrintTable(const Totals& t)
{
    const std::vector<std::pair<std::string, long>> columns{
        {"sessions", t.sessions},
        {"complete", t.complete},
        {"record error", t.recordErrors},
        {"hang-up", t.hangUps},
        {"records asked", t.records},
        {"written", t.written},
        {"flagged", t.flagged},
        {"drop", t.faults[kDrop]},
        {"late", t.faults[kLate]},
        {"trickle", t.faults[kTrickle]},
        {"corrupt", t.faults[kCorrupt]},
        {"garbage", t.faults[kGarbage]},
        {"hangups", t.hangupFaults},
        {"lost", t.lost},
        {"duplicated", t.duplicated},
        {"out of order", t.outOfOrder},
        {"garbled", t.garbled},
        {"unexplained", t.unexplained},
        {"hung", t.hung},
    };
    std::string header = "|", rule = "|", values = "|";
    for (const auto& [name, value] : columns) {
        const std::string v = std::to_string(value);
        const std::size_t width = std::max(name.size(), v.size());
        header += " " + name + std::string(width - name.size(), ' ') + " |";
        rule += std::string(width + 2, '-') + "|";
        values += " " + std::string(width - v.size(), ' ') + v + " |";
    }
    std::printf("\nfaults injected by kind: drop .. garbage, hangups\n%s\n%s\n%s\n", header.c_str(),
                rule.c_str(), values.c_str());
}

// What a session process sends back: its totals, then its report lines.
struct SessionOutcome {
    Totals totals;
    char report[1024] = "";
};

// A session running in a child process, which sends its outcome back
// through a pipe. The child leads a process group of its own, so that it can
// be stopped together with its clocksim.
struct Session {
    std::uint64_t seed = 0;
    int pipe = -1;
    Clock::time_point deadline;
    std::unique_ptr<ChildProcess> process;
};

Session StartSession(const Settings& settings, std::uint64_t seed)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    Session session;
    session.seed = seed;
    session.pipe = fds[0];
    session.deadline = Clock::now() + std::chrono::milliseconds(HardLimitMs(MakePlan(settings, seed)));
    session.process = std::make_unique<ChildProcess>(
        [&] {
            close(fds[0]);
            SessionOutcome outcome;
            std::string report;
            try {
                report = RunOne(settings, seed, MakePlan(settings, seed), outcome.totals);
            } catch (const std::exception& error) {
                report = "seed " + std::to_string(seed) + "  could not be run: " + error.what() + "\n";
                outcome.totals = Totals{};
                ++outcome.totals.sessions;
                ++outcome.totals.unexplained;
            }
            std::snprintf(outcome.report, sizeof outcome.report, "%s", report.c_str());
            return write(fds[1], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome) ? 0 : 1;
        },
        /*ownGroup=*/true);
    close(fds[1]);
    return session;
}

// Collects a finished session's outcome; a session that sent none (it
// crashed or was stopped) counts as not run, or as hung when stopped.
SessionOutcome FinishSession(const Session& session, const ChildResult& ended)
{
    SessionOutcome outcome;
    const bool got = read(session.pipe, &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome);
    close(session.pipe);
    if (got && ended.exited && ended.status == 0) return outcome;
    outcome = SessionOutcome{};
    ++outcome.totals.sessions;
    std::string why = ended.hung      ? "hung: stopped after its time limit"
                      : !ended.exited ? "crashed with signal " + std::to_string(ended.status - 128)
                                      : "ended without a result";
    if (ended.hung)
        ++outcome.totals.hung;
    else
        ++outcome.totals.unexplained;
    std::snprintf(outcome.report, sizeof outcome.report, "seed %llu  %s\n",
                  static_cast<unsigned long long>(session.seed), why.c_str());
    return outcome;
}

bool Failed(const Totals& t)
{
    return t.lost || t.duplicated || t.outOfOrder || t.garbled || t.unexplained || t.hung;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings;
    ToolArgs args("faultsoak");
    args.Value("--runs", settings.runs, "N")
        .Value("--jobs", settings.jobs, "J")
        .Value("--seed", settings.seed, "S")
        .Value("--max-records", settings.maxRecords, "N")
        .Value("--drop-rate", settings.dropRate, "R")
        .Value("--late-rate", settings.lateRate, "R")
        .Switch("--verbose", settings.verbose);
    if (!args.Parse(argc, argv) ||
        ((settings.runs < 1 || settings.jobs < 1 || settings.maxRecords < 50) && !args.Usage()))
        return 2;

    char sizes[160];
    std::snprintf(sizes, sizeof sizes, "--max-records %d --drop-rate %g --late-rate %g", settings.maxRecords,
                  settings.dropRate, settings.lateRate);
    std::printf(
        "fault soak: %d sessions, seeds %llu to %llu, %d at a time; %s\n", settings.runs,
        static_cast<unsigned long long>(settings.seed),
        static_cast<unsigned long long>(settings.seed + static_cast<std::uint64_t>(settings.runs) - 1),
        settings.jobs, sizes);
    const Clock::time_point started = Clock::now();

    Totals totals;
    std::vector<std::uint64_t> failedSeeds;
    std::list<Session> running;
    int next = 0;
    while (next < settings.runs || !running.empty()) {
        while (next < settings.runs && static_cast<int>(running.size()) < settings.jobs)
            running.push_back(StartSession(settings, settings.seed + static_cast<std::uint64_t>(next++)));
        // A session that ended, or one past its hard limit, which is stopped;
        // otherwise look again shortly.
        std::optional<ChildResult> ended;
        auto it = running.begin();
        for (; it != running.end(); ++it) {
            ended = it->process->Poll();
            if (!ended && Clock::now() > it->deadline)
                ended = it->process->Wait(std::chrono::milliseconds(0));
            if (ended) break;
        }
        if (!ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const SessionOutcome outcome = FinishSession(*it, *ended);
        totals.Add(outcome.totals);
        if (Failed(outcome.totals)) failedSeeds.push_back(it->seed);
        running.erase(it);
        std::fputs(outcome.report, stdout);
        std::fflush(stdout);
    }

    PrintTable(totals);
    const double minutes = std::chrono::duration<double>(Clock::now() - started).count() / 60;
    std::printf("wall time %.1f min\n", minutes);
    if (failedSeeds.empty()) {
        std::printf("soak passed: nothing lost, doubled or out of order; no session hung\n");
        return 0;
    }
    std::printf("soak FAILED in %zu sessions; replay one alone (scripts/soak takes the same options):\n",
                failedSeeds.size());
    for (std::uint64_t seed : failedSeeds)
        std::printf("  faultsoak --seed %llu --runs 1 %s\n", static_cast<unsigned long long>(seed), sizes);
    return 1;
}
