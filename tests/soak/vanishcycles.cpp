// Vanishing devices: download sessions whose line disappears at a random
// moment, as when a USB adapter is pulled out.
//
// Each cycle starts clocksim, begins a download and makes the line vanish
// at one of four moments, in turn:
//   open     while the port is being opened: the test kills clocksim as
//            the port's open begins, or once the device is set up and
//            the event thread runs but the modem lines are still to be
//            read; or clocksim closes the line a drawn 0 to 80
//            microseconds after the reader's open of the device
//   between  between two commands (the test kills clocksim right after a
//            drawn record was written, before the next is asked for)
//   answer   in the middle of an answer (clocksim cuts a drawn answer short)
//   waiting  while the reader and the port's event thread wait for an
//            answer (clocksim takes a drawn command and vanishes instead)
// The moment of each vanish comes from clocksim's wire log (its monotonic
// clock, the one this process reads too) or from the kill. Each vanish must
// be reported as an error; the time from the vanish to the report is
// gathered into a distribution. After every cycle this process must hold
// the same descriptors and threads as before the first, and the lock
// directory must be empty again.
//
// Then the same through clockreader-cli: the program must end with the port
// error status (5) and leave no lock file naming it. The "between" moment
// is replaced there by a kill at a drawn time, which lands anywhere.
//
// Last, network ports: clocksim behind a converter (ser2net with RFC 2217,
// or socat with raw TCP, in turn), which is killed at a drawn instant of a
// download in this process, so its connection is closed or reset wherever
// the port is: connecting, negotiating, writing, waiting. The download must
// fail (a port or a communication error) unless it was already done, and the
// process must hold no more sockets or threads than before.
//
// Cycle i of a run started with --seed S has the seed S + i and depends on
// nothing else, so a failed cycle is replayed with --seed and --cycles 1.
//
// Usage: vanishcycles [--cycles N] [--cli-cycles M] [--net-cycles K] [--seed S] [--verbose]
// Exits 1 when a vanish went unreported or was reported as something else,
// or when a descriptor, a thread or a lock file was left behind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <thread>
#include <unistd.h>
#include <vector>

#include "childprocess.h"
#include "clocklink/clocklink.h"
#include "converter.h"
#include "download/download.h"
#include "fakewindow.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "tempdir.h"
#include "toolargs.h"

#ifndef CLOCKREADER_CLI_PATH
#define CLOCKREADER_CLI_PATH "clockreader-cli"
#endif

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kRecords = 120;  // asked for; the clock holds a few more
constexpr int kCliExitPortError = 5;

enum Moment { kOpen, kBetween, kAnswer, kWaiting, kMoments };
// Where in the port's open the line vanishes.
enum OpenStep { kAtDeviceOpen, kBeforeOpen, kAfterOpen };
const char* const kMomentNames[kMoments] = {"open", "between", "answer", "waiting"};

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Plan {
    std::uint64_t seed = 0;
    Moment moment = kOpen;
    bool rs232 = true;
    int baud = 0;    // 0: no pacing
    int value = 0;   // microseconds (open), record (between), command number (answer, waiting)
    int killMs = 0;  // through the CLI, "between" becomes a kill this long after the start
    OpenStep openStep = kAtDeviceOpen;

    std::vector<std::string> simArguments() const
    {
        std::vector<std::string> args{"--bus",        rs232 ? "rs232" : "rs485",
                                      "--records",    std::to_string(kRecords + 10),
                                      "--fault-seed", std::to_string(seed)};
        if (baud) args.insert(args.end(), {"--baud", std::to_string(baud), "--line-rate"});
        if (moment == kOpen && openStep == kAtDeviceOpen)
            args.insert(args.end(), {"--faults", "vanish-at-open=" + std::to_string(value)});
        if (moment == kAnswer)
            args.insert(args.end(), {"--faults", "vanish-in-answer=" + std::to_string(value)});
        if (moment == kWaiting)
            args.insert(args.end(), {"--faults", "vanish-after-command=" + std::to_string(value)});
        return args;
    }
    std::string baudText() const { return std::to_string(baud ? baud : 9600); }
    std::string describe() const
    {
        char text[160];
        std::snprintf(text, sizeof text, "seed %-5llu %-7s %s %5s  %s %d",
                      static_cast<unsigned long long>(seed), kMomentNames[moment], rs232 ? "rs232" : "rs485",
                      baud ? std::to_string(baud).c_str() : "-",
                      moment == kOpen      ? (openStep == kBeforeOpen  ? "kill as it begins"
                                              : openStep == kAfterOpen ? "kill before modem lines"
                                                                       : "us")
                      : moment == kBetween ? (killMs ? "kill ms" : "after record")
                                           : "command",
                      killMs ? killMs : value);
        return text;
    }
};

Plan MakePlan(std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    auto between = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Plan p;
    p.seed = seed;
    p.moment = static_cast<Moment>(seed % kMoments);
    p.rs232 = seed / kMoments % 2 == 0;
    const int bauds[] = {0, 0, 9600, 57600};
    p.baud = bauds[between(0, 3)];
    // Commands of a download: record counter, date, pointer, then the records
    // (and a resync now and then), so a drawn command number up to 40 lands
    // anywhere from the first command to well into the records.
    switch (p.moment) {
    case kOpen:
        p.openStep = static_cast<OpenStep>(between(0, 2));
        p.value = p.openStep == kAtDeviceOpen ? between(0, 80) : 0;
        break;
    case kBetween: p.value = between(1, p.baud == 9600 ? 20 : kRecords - 1); break;
    case kAnswer:
    case kWaiting: p.value = between(1, 40); break;
    default: break;
    }
    return p;
}

// The descriptors this process holds, with what each refers to.
std::map<int, std::string> OpenDescriptors()
{
    std::map<int, std::string> open;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return open;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own) continue;
        char target[512];
        const ssize_t n = readlinkat(own, entry->d_name, target, sizeof target - 1);
        open[fd] = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?";
    }
    closedir(dir);
    return open;
}

std::size_t ThreadCount()
{
    std::error_code error;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/task", error), fs::directory_iterator()));
}

// When clocksim made the line vanish, from its wire log; 0 when it did not.
double VanishTimeFromLog(const std::string& log)
{
    const std::size_t at = log.find(" monotonic=");
    return at == std::string::npos ? 0 : std::atof(log.c_str() + at + 11);
}

struct Outcome {
    bool ok = false;
    double latency = -1;  // seconds from the vanish to the report
    std::string report;   // the error as reported
    std::string problem;  // why the cycle failed
};

// A window that notes when the first error is reported and can pull the
// plug once a given record has been written.
class VanishWindow : public FakeWindow {
public:
    std::function<void(long)> onRecordCounted;
    // Called once, when the first command is about to go out and open the
    // port: the port object exists by then.
    mutable std::function<void()> onFirstSend;
    Clock::time_point reportedAt{};

    bool IsRs232() const override
    {
        if (onFirstSend) std::exchange(onFirstSend, nullptr)();
        return FakeWindow::IsRs232();
    }
    void SetRecordsReadText(const std::string& text) override
    {
        FakeWindow::SetRecordsReadText(text);
        if (onRecordCounted && !text.empty()) onRecordCounted(std::atol(text.c_str()));
    }
    void ReportError(const std::exception& error) override
    {
        if (reportedAt == Clock::time_point{}) reportedAt = Clock::now();
        FakeWindow::ReportError(error);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption) override
    {
        if (reportedAt == Clock::time_point{}) reportedAt = Clock::now();
        FakeWindow::ShowMessageBox(text, caption);
    }
};

// A network cycle: which converter, which bus, and when it is killed.
struct NetPlan {
    std::uint64_t seed = 0;
    ConverterKind kind = ConverterKind::Rfc2217;
    bool rs232 = true;
    int killMs = 0;

    std::string describe() const
    {
        char text[120];
        std::snprintf(
            text, sizeof text, "seed %-5llu net %-7s %s  kill %d ms", static_cast<unsigned long long>(seed),
            kind == ConverterKind::Rfc2217 ? "rfc2217" : "socat", rs232 ? "rs232" : "rs485", killMs);
        return text;
    }
};

NetPlan MakeNetPlan(std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    NetPlan p;
    p.seed = seed;
    p.kind = seed % 2 == 0 ? ConverterKind::Rfc2217 : ConverterKind::Socat;
    p.rs232 = seed / 2 % 2 == 0;
    // A paced download of these records at 57600 takes about a second after
    // the connection is made; the kill lands anywhere from the connect on.
    p.killMs = std::uniform_int_distribution<int>(0, 1200)(rng);
    return p;
}

// Whether the window came back once its download ended with a report: its
// buttons enabled again and its port closed. Sets `outcome`'s verdict and,
// when it did, the report shown.
bool Recovered(const VanishWindow& window, Outcome& outcome)
{
    if (!window.buttonsEnabled) {
        outcome.problem = "the buttons stayed disabled";
    } else if (SharedPort() && SharedPort()->Connected()) {
        outcome.problem = "the port stayed open";
    } else {
        outcome.ok = true;
        outcome.report = window.messages.front().text;
    }
    return outcome.ok;
}

// Returns ok when the download failed with an error report or a
// communication error, or `skipped` when it had ended before the kill.
Outcome RunThroughNetwork(const NetPlan& plan, bool& skipped)
{
    Outcome outcome;
    skipped = false;
    SimProcess sim({"--bus", plan.rs232 ? "rs232" : "rs485", "--records", std::to_string(kRecords + 10),
                    "--baud", "57600", "--line-rate"},
                   /*quiet=*/true);
    Converter converter(plan.kind, sim.PtyPath(), 57600);
    VanishWindow window;
    window.portName = converter.Url();
    window.rs232 = plan.rs232;
    window.baudRate = "57600";
    window.count = std::to_string(kRecords);
    Clock::time_point killedAt{};
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(plan.killMs));
        killedAt = Clock::now();
        converter.Kill();
    });
    RunDownload(window);
    killer.join();
    sim.Stop();
    const auto& messages = window.messages;
    if (messages.empty()) {
        if (window.reportedAt == Clock::time_point{} && window.progressPosition >= window.progressMaximum &&
            window.dumpLines.size() + window.badRecordLines.size() == static_cast<std::size_t>(kRecords)) {
            skipped = true;  // every record was read before the kill
        } else {
            outcome.problem = "no error reported";
        }
    } else if (Recovered(window, outcome)) {
        outcome.latency = std::chrono::duration<double>(window.reportedAt - killedAt).count();
    }
    ReleaseSharedPort();
    return outcome;
}

Outcome RunInProcess(const Plan& plan, const std::string& lockDirectory)
{
    Outcome outcome;
    SimProcess sim(plan.simArguments(), /*quiet=*/true);
    SetComPortDirectory(sim.PortDirectory());
    VanishWindow window;
    window.com = std::to_string(sim.ComNumber());
    window.rs232 = plan.rs232;
    window.baudRate = plan.baudText();
    window.count = std::to_string(kRecords);
    double killedAt = 0;
    auto pullThePlug = [&] {
        if (killedAt != 0) return;
        killedAt = Seconds(Clock::now());
        sim.Stop(SIGKILL);
    };
    if (plan.moment == kBetween)
        window.onRecordCounted = [&](long records) {
            if (records == plan.value) pullThePlug();
        };
    if (plan.moment == kOpen && plan.openStep != kAtDeviceOpen)
        window.onFirstSend = [&] {
            if (TComPort* port = SharedPort())
                (plan.openStep == kBeforeOpen ? port->OnBeforeOpen
                                              : port->OnAfterOpen) = [&](TCustomComPort&) { pullThePlug(); };
        };
    RunDownload(window);
    SetComPortDirectory("");
    sim.Stop();

    const double vanishedAt = killedAt != 0 ? killedAt : VanishTimeFromLog(sim.ReadWireLog());
    const auto& messages = window.messages;
    if (vanishedAt == 0) {
        outcome.problem = "the line did not vanish";
    } else if (messages.size() != 1 || messages[0].kind != ShownMessage::ErrorReport) {
        outcome.problem = messages.empty() ? "no error reported" : "reported as \"" + messages[0].text + "\"";
    } else if (Recovered(window, outcome)) {
        outcome.latency = Seconds(window.reportedAt) - vanishedAt;
    }
    ReleaseSharedPort();
    std::error_code error;
    if (outcome.ok && !fs::is_empty(lockDirectory, error)) {
        outcome.ok = false;
        outcome.problem = "a lock file was left behind";
        for (const auto& entry : fs::directory_iterator(lockDirectory, error))
            fs::remove(entry.path(), error);
    }
    return outcome;
}

// The lock file of the device `ptyPath` in the system lock directory, when
// one is there naming `pid`.
bool LockNames(const std::string& ptyPath, pid_t pid)
{
    if (ptyPath.compare(0, 5, "/dev/") != 0) return false;
    std::string name = ptyPath.substr(5);
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string content = ReadWholeFile(ComLockDirectory() + "/LCK.." + name);
    return !content.empty() && std::atol(content.c_str()) == pid;
}

Outcome RunThroughCli(const Plan& plan, const std::string& workDirectory)
{
    Outcome outcome;
    SimProcess sim(plan.simArguments(), /*quiet=*/true);
    const std::string errPath = workDirectory + "/stderr";
    std::vector<std::string> argv{CLOCKREADER_CLI_PATH,
                                  "download",
                                  "--ports-dir",
                                  sim.PortDirectory(),
                                  "--port",
                                  "COM" + std::to_string(sim.ComNumber()),
                                  "--bus",
                                  plan.rs232 ? "rs232" : "rs485",
                                  "--baud",
                                  plan.baudText(),
                                  "--count",
                                  std::to_string(kRecords),
                                  "--out",
                                  workDirectory};
    ChildProcess cli(argv, "/dev/null", errPath);
    const pid_t pid = cli.Pid();
    const Clock::time_point started = Clock::now();
    double killedAt = 0;
    std::optional<ChildResult> ended;
    while (!(ended = cli.Poll())) {
        const Clock::time_point now = Clock::now();
        if (plan.killMs && killedAt == 0 && now - started >= std::chrono::milliseconds(plan.killMs)) {
            killedAt = Seconds(Clock::now());
            sim.Stop(SIGKILL);
        }
        if (now - started > std::chrono::seconds(60)) {
            outcome.problem = "clockreader-cli did not end";
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const Clock::time_point endedAt = Clock::now();
    sim.Stop();
    const double vanishedAt = plan.killMs ? killedAt : VanishTimeFromLog(sim.ReadWireLog());
    const std::string err = ReadWholeFile(errPath);
    const int exitStatus = ended->status;
    if (vanishedAt == 0) {
        outcome.problem = "the line did not vanish";
        // A kill drawn after the end of the download comes too late to count.
        if (plan.killMs && exitStatus == 0) outcome.problem.clear();
    } else if (exitStatus != kCliExitPortError) {
        outcome.problem = "exit status " + std::to_string(exitStatus) + ": " + err;
    } else if (LockNames(sim.PtyPath(), pid)) {
        outcome.problem = "a lock file naming the program was left behind";
    } else {
        outcome.ok = true;
        // The program's message line among the progress lines, without the
        // program's name and the port it names ("COM7 -> /tmp/...: "),
        // which differ from cycle to cycle.
        const std::string prefix = fs::path(CLOCKREADER_CLI_PATH).filename().string() + ": ";
        const std::size_t at = err.find(prefix);
        outcome.report = err.substr(at == std::string::npos ? 0 : at + prefix.size());
        outcome.report = outcome.report.substr(0, outcome.report.find('\n'));
        if (const std::size_t arrow = outcome.report.find(" -> "); arrow != std::string::npos) {
            const std::size_t colon = outcome.report.find(": ", arrow);
            if (colon != std::string::npos) outcome.report.erase(0, colon + 2);
        }
        outcome.latency = Seconds(endedAt) - vanishedAt;
    }
    if (outcome.problem.empty() && !outcome.ok) outcome.report = "(download ended before the kill)";
    return outcome;
}

std::string TallyName(const Plan& plan)
{
    if (plan.moment != kOpen) return kMomentNames[plan.moment];
    return plan.openStep == kBeforeOpen  ? "open/begin"
           : plan.openStep == kAfterOpen ? "open/lines"
                                         : "open/device";
}

// Latencies of one group, and the error texts met.
struct Tally {
    std::vector<double> latencies;
    std::map<std::string, long> reports;
    long failed = 0, skipped = 0;
};

std::string Distribution(std::vector<double> v)
{
    if (v.empty()) return "-";
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))] * 1000;
    };
    const long over = std::count_if(v.begin(), v.end(), [](double s) { return s > 1.0; });
    char text[200];
    std::snprintf(text, sizeof text, "%6zu | %8.2f | %8.2f | %8.2f | %8.2f | %8.2f | %5ld", v.size(), at(0),
                  at(0.5), at(0.9), at(0.99), v.back() * 1000, over);
    return text;
}

void PrintTallies(const char* title, const std::map<std::string, Tally>& tallies)
{
    std::printf("\n%s: milliseconds from the vanish to the error\n", title);
    std::printf(
        "| moment      | cycles | min      | median   | 90%%      | 99%%      | max      | > 1 s |\n");
    std::printf("|-------------|--------|----------|----------|----------|----------|----------|-------|\n");
    std::vector<double> all;
    for (const auto& [moment, tally] : tallies) {
        std::printf("| %-11s | %s |\n", moment.c_str(), Distribution(tally.latencies).c_str());
        all.insert(all.end(), tally.latencies.begin(), tally.latencies.end());
    }
    std::printf("| all         | %s |\n", Distribution(all).c_str());
    std::printf("errors reported:\n");
    for (const auto& [moment, tally] : tallies)
        for (const auto& [report, count] : tally.reports)
            std::printf("  %-11s %5ld  %s\n", moment.c_str(), count, report.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    long cycles = 40, cliCycles = 12, netCycles = 0;
    std::uint64_t seed = 1;
    bool verbose = false;
    ToolArgs args("vanishcycles");
    args.Value("--cycles", cycles, "N")
        .Value("--cli-cycles", cliCycles, "M")
        .Value("--net-cycles", netCycles, "K")
        .Value("--seed", seed, "S")
        .Switch("--verbose", verbose);
    if (!args.Parse(argc, argv) || ((cycles < 0 || cliCycles < 0 || netCycles < 0) && !args.Usage()))
        return 2;

    const TempDir folder("vanishcycles");
    const std::string work = folder.path();
    const std::string lockDirectory = folder / "locks";
    fs::create_directories(lockDirectory);
    const Clock::time_point started = Clock::now();
    std::printf(
        "vanishing devices: %ld cycles in this process, %ld through clockreader-cli and %ld of network "
        "ports, "
        "seeds from %llu\n",
        cycles, cliCycles, netCycles, static_cast<unsigned long long>(seed));

    // The port keeps no state between operations: what the process holds
    // before the first cycle is what it must hold after each.
    const std::string systemLocks = ComLockDirectory();
    SetComLockDirectory(lockDirectory);
    const std::map<int, std::string> descriptors = OpenDescriptors();
    const std::size_t threads = ThreadCount();

    std::vector<std::string> failures;
    std::map<std::string, Tally> inProcess, throughCli;
    for (long i = 0; i < cycles; ++i) {
        const Plan plan = MakePlan(seed + static_cast<std::uint64_t>(i));
        Outcome outcome;
        try {
            outcome = RunInProcess(plan, lockDirectory);
        } catch (const std::exception& error) {
            outcome.problem = std::string("could not be run: ") + error.what();
        }
        if (outcome.ok && OpenDescriptors() != descriptors) {
            outcome.ok = false;
            outcome.problem = "descriptors were left open";
        }
        if (outcome.ok && ThreadCount() != threads) {
            outcome.ok = false;
            outcome.problem = "threads were left running";
        }
        Tally& tally = inProcess[TallyName(plan)];
        if (outcome.ok) {
            tally.latencies.push_back(outcome.latency);
            ++tally.reports[outcome.report];
        } else {
            ++tally.failed;
            failures.push_back(plan.describe() + "  " + outcome.problem);
            std::printf("FAILED %s  %s\n", plan.describe().c_str(), outcome.problem.c_str());
        }
        if (verbose)
            std::printf("%s  %.2f ms  %s\n", plan.describe().c_str(), outcome.latency * 1000,
                        outcome.report.c_str());
        if ((i + 1) % 100 == 0) std::printf("  %ld cycles\n", i + 1);
        std::fflush(stdout);
    }
    SetComLockDirectory(systemLocks);

    for (long i = 0; i < cliCycles; ++i) {
        Plan plan = MakePlan(seed + static_cast<std::uint64_t>(i));
        if (plan.moment == kBetween) {
            // Paced at 9600 a download of these records takes over three
            // seconds, so a kill in its first two lands while it runs.
            plan.baud = 9600;
            plan.killMs = 1 + static_cast<int>(std::mt19937_64(plan.seed)() % 2000);
        }
        if (plan.moment == kOpen) {
            // Only clocksim can reach into another program's open.
            plan.openStep = kAtDeviceOpen;
            plan.value = static_cast<int>(std::mt19937_64(plan.seed)() % 81);
        }
        Outcome outcome;
        try {
            outcome = RunThroughCli(plan, work);
        } catch (const std::exception& error) {
            outcome.problem = std::string("could not be run: ") + error.what();
        }
        Tally& tally = throughCli[plan.killMs ? "kill" : TallyName(plan)];
        if (outcome.ok) {
            tally.latencies.push_back(outcome.latency);
            ++tally.reports[outcome.report];
        } else if (outcome.problem.empty()) {
            ++tally.skipped;
        } else {
            ++tally.failed;
            failures.push_back("cli " + plan.describe() + "  " + outcome.problem);
            std::printf("FAILED cli %s  %s\n", plan.describe().c_str(), outcome.problem.c_str());
        }
        if (verbose)
            std::printf("cli %s  %.2f ms  %s\n", plan.describe().c_str(), outcome.latency * 1000,
                        outcome.report.c_str());
        if ((i + 1) % 100 == 0) std::printf("  %ld cycles through clockreader-cli\n", i + 1);
        std::fflush(stdout);
    }

    std::map<std::string, Tally> throughNetwork;
    for (long i = 0; i < netCycles; ++i) {
        const NetPlan plan = MakeNetPlan(seed + static_cast<std::uint64_t>(i));
        Outcome outcome;
        bool skipped = false;
        try {
            outcome = RunThroughNetwork(plan, skipped);
        } catch (const std::exception& error) {
            outcome.problem = std::string("could not be run: ") + error.what();
        }
        if ((outcome.ok || skipped) && OpenDescriptors() != descriptors) {
            outcome.ok = skipped = false;
            outcome.problem = "descriptors (sockets) were left open";
        }
        if ((outcome.ok || skipped) && ThreadCount() != threads) {
            outcome.ok = skipped = false;
            outcome.problem = "threads were left running";
        }
        Tally& tally = throughNetwork[plan.kind == ConverterKind::Rfc2217 ? "rfc2217" : "socket"];
        if (outcome.ok) {
            tally.latencies.push_back(outcome.latency);
            ++tally.reports[outcome.report];
        } else if (skipped) {
            ++tally.skipped;
        } else {
            ++tally.failed;
            failures.push_back(plan.describe() + "  " + outcome.problem);
            std::printf("FAILED %s  %s\n", plan.describe().c_str(), outcome.problem.c_str());
        }
        if (verbose)
            std::printf("%s  %.2f ms  %s\n", plan.describe().c_str(), outcome.latency * 1000,
                        skipped ? "(done before the kill)" : outcome.report.c_str());
        if ((i + 1) % 100 == 0) std::printf("  %ld network cycles\n", i + 1);
        std::fflush(stdout);
    }

    if (cycles) PrintTallies("in this process (error reported)", inProcess);
    if (cliCycles) PrintTallies("through clockreader-cli (program ended, status 5)", throughCli);
    if (netCycles) {
        PrintTallies("network ports, converter killed (error reported)", throughNetwork);
        for (const auto& [kind, tally] : throughNetwork)
            std::printf("  %-11s %5ld cycles done before the kill\n", kind.c_str(), tally.skipped);
    }
    std::printf("descriptors before %zu, after %zu; threads before %zu, after %zu; lock files left: %s\n",
                descriptors.size(), OpenDescriptors().size(), threads, ThreadCount(),
                fs::is_empty(lockDirectory) ? "none" : "some");
    std::printf("wall time %.1f min\n", std::chrono::duration<double>(Clock::now() - started).count() / 60);
    if (failures.empty()) {
        std::printf("every vanish was reported as an error; nothing was left behind\n");
        return 0;
    }
    std::printf("%zu cycles FAILED; replay one with --seed S --cycles 1 (or --cycles 0 --cli-cycles 1)\n",
                failures.size());
    return 1;
}
