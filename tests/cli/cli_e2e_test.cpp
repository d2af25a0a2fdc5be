// clockreader-cli as a scheduled job runs it: the real executable as a child
// process against clocksim on a pseudo-terminal, judged by its exit status,
// its standard output and error, the files it writes and what reached the
// clock's wire.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sqlite3.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "asnobody.h"
#include "childprocess.h"
#include "converter.h"
#include "collect/clockidentity.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "download/download.h"
#include "scriptedclock.h"
#include "serial/comlock.h"
#include "serial/comport.h"
#include "fakewindow.h"
#include "messages.h"
#include "simprocess.h"
#include "clirun.h"
#include "dumplines.h"
#include "tempdir.h"

namespace {

namespace fs = std::filesystem;

// How the program is started: which copy of it, with which HOME, and as
// the unprivileged user "nobody" or not.
struct Launch {
    std::string program = kCliPath;
    std::string home;  // unchanged when empty
    bool asNobody = false;
    // Started as a script starts a job in the background, with SIGINT ignored.
    bool ignoreInterrupt = false;
    // Standard error on a terminal (a pseudo-terminal), as for an operator.
    bool terminal = false;
    std::string workDir{};  // the current folder; unchanged when empty
    // The largest file it may write, in bytes, as a full disk would stop it.
    rlim_t fileSizeLimit = RLIM_INFINITY;
};

// The program started with `args`, its output captured in files of `dir`
// (standard error on a pseudo-terminal of its own when asked).
class CliProcess {
public:
    CliProcess(const std::vector<std::string>& args, const TempDir& dir, const Launch& launch = {})
        : m_dir(dir),
          m_terminal(OpenTerminal(launch.terminal)),
          m_child(CliArgv(launch.program, args), CliOutPath(dir), CliErrPath(dir), [launch, this] {
              if (m_terminal >= 0) dup2(open(ptsname(m_terminal), O_RDWR | O_NOCTTY), STDERR_FILENO);
              if (!launch.home.empty()) setenv("HOME", launch.home.c_str(), 1);
              if (launch.asNobody && !BecomeNobody()) _exit(126);
              if (launch.ignoreInterrupt) signal(SIGINT, SIG_IGN);
              if (!launch.workDir.empty() && chdir(launch.workDir.c_str()) != 0) _exit(126);
              if (launch.fileSizeLimit != RLIM_INFINITY) {
                  const rlimit size{launch.fileSizeLimit, launch.fileSizeLimit};
                  signal(SIGXFSZ, SIG_IGN);
                  if (setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(126);
              }
          })
    {
    }

    void Signal(int signal) { m_child.Signal(signal); }

    // Waits for the end; a program that hangs is killed and fails the test.
    CliRun Wait(std::chrono::seconds limit = std::chrono::seconds(90))
    {
        const ChildResult result = m_child.Wait(limit);
        if (result.hung) ADD_FAILURE() << "clockreader-cli did not end";
        CliRun run = CliRunOf(result, m_dir);
        if (m_terminal >= 0) run.err = ReadTerminal();
        return run;
    }

private:
    static int OpenTerminal(bool wanted)
    {
        if (!wanted) return -1;
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo-terminal");
        return terminal;
    }

    // What the program wrote to its terminal; the terminal turns LF into CR LF.
    std::string ReadTerminal()
    {
        std::string text;
        fcntl(m_terminal, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        for (ssize_t n; (n = read(m_terminal, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
        close(m_terminal);
        m_terminal = -1;
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    }

    const TempDir& m_dir;
    int m_terminal = -1;
    ChildProcess m_child;
};

CliRun RunCli(const std::vector<std::string>& args, const Launch& launch = {},
              std::chrono::seconds limit = std::chrono::seconds(90))
{
    TempDir dir;
    return CliProcess(args, dir, launch).Wait(limit);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::string rest;
    std::vector<std::string> lines = CrLfLines(text, &rest);
    EXPECT_EQ(rest, "") << "a line without its CR LF";
    return lines;
}

// The records of the simulated clock numbered `clock`.
std::vector<SimRecord> SimRecords(const SimProcess& sim, const std::string& clock = "1")
{
    return sim.ExpectedRecords(std::stoi(clock));
}

struct DecodeSettings {
    std::string clock = "1";
    std::string com = "7";  // SimProcess's link on this system
    bool vireo = false;
    bool solar = true;
    std::string clockDate = "1405/09/16";  // clocksim's default Solar date
};

// The dump lines that records `first` .. `first + count - 1` of the sim give.
std::vector<std::string> ExpectedDump(const std::vector<SimRecord>& records, std::size_t first,
                                      std::size_t count, const DecodeSettings& settings)
{
    FakeWindow window;
    window.selectedClock = settings.clock;
    window.com = settings.com;
    window.vireo = settings.vireo;
    DownloadRun run;
    run.ClockIsSolar = settings.solar;
    run.ClockDateText = settings.clockDate;
    std::vector<std::string> lines;
    for (std::size_t i = first; i < first + count && i < records.size(); ++i)
        if (!records[i].flagged) lines.push_back(DecodeRecord(window, run, records[i].payload));
    return lines;
}

std::size_t FlaggedAmong(const std::vector<SimRecord>& records, std::size_t first, std::size_t count)
{
    std::size_t n = 0;
    for (std::size_t i = first; i < first + count && i < records.size(); ++i) n += records[i].flagged;
    return n;
}

std::vector<std::string> Link(const SimProcess& sim, std::vector<std::string> args)
{
    args.insert(args.end(), {"--ports-dir", sim.PortDirectory(), "--port", "COM7"});
    return args;
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(CliDownload, EveryRequestedRecordOnBothBuses)
{
    // Without --count the download reads what the clock holds from --start
    // on; a --count beyond that reads the same and says so. Either way the
    // run is complete.
    struct Case {
        std::string bus, clock, count, ari;  // no count: none given
        std::size_t read;
        std::string_view said;
    };
    const Case cases[] = {
        {"rs232", "1", "120", "0", 120, ""},
        {"rs485", "12", "120", "0", 120, ""},
        {"rs232", "1", "", "253500", 295, ""},
        {"rs485", "3", "1000", "0", 295,
         "the clock holds 295 records from position 5 on, not 1000; reading those"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clock + " " + std::to_string(c.read));
        SimProcess sim({"--bus", c.bus, "--clocks", c.bus == "rs232" ? "1" : "1,3,12,32", "--records", "300",
                        "--flagged-rate", "0.05", "--ari", c.ari});
        std::vector<std::string> cliArgs = {"--bus", c.bus, "--clock", c.clock};
        if (!c.count.empty()) cliArgs.insert(cliArgs.end(), {"--count", c.count});
        const std::string busInLog = "bus=" + c.bus;
        TempDir out;
        std::vector<SimRecord> records = SimRecords(sim, c.clock);
        const std::string start = std::to_string((records[0].position + 5) % 253579);
        std::vector<std::string> args = Link(sim, {"download", "--start", start, "--out", out.path()});
        args.insert(args.end(), cliArgs.begin(), cliArgs.end());
        CliRun run = RunCli(args);
        ASSERT_EQ(run.status, 0) << run.err;

        DecodeSettings settings;
        settings.clock = c.clock;
        EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")), ExpectedDump(records, 5, c.read, settings));
        std::vector<std::string> bad = Lines(ReadWholeFile(out / "BadRecs.Txt"));
        EXPECT_EQ(bad.size(), FlaggedAmong(records, 5, c.read));
        for (const std::string& line : bad) EXPECT_TRUE(Contains(line, "???")) << line;

        const std::string read = std::to_string(c.read);
        EXPECT_EQ(run.out, "total 300\nread " + read + "\n");
        // Standard error is a file here: plain progress lines, the last one complete.
        EXPECT_TRUE(Contains(run.err, "records " + read + "/" + read + " (100%)")) << run.err;
        EXPECT_TRUE(Contains(run.err, c.said)) << run.err;
        EXPECT_FALSE(Contains(run.err, "--vireo")) << run.err;
        std::string wire = sim.ReadWireLog();
        EXPECT_TRUE(
            Contains(wire, "AUR=" + std::string(start.size() < 5 ? 5 - start.size() : 0, '0') + start))
            << wire;
        EXPECT_TRUE(Contains(wire, busInLog)) << wire;
    }
}

TEST(CliDownload, DevicePathCarriesItsTrailingNumberAndFilesAreRecreated)
{
    SimProcess sim({"--records", "40", "--layout", "vireo", "--calendar", "gregorian"});
    TempDir out;
    // A run before leaves its files; the next run starts them empty.
    ASSERT_EQ(RunCli(Link(sim, {"download", "--count", "30", "--vireo", "--out", out.path()})).status, 0);
    std::string ptyNumber = sim.PtyPath().substr(sim.PtyPath().find_last_not_of("0123456789") + 1);
    ASSERT_FALSE(ptyNumber.empty()) << sim.PtyPath();

    CliRun run =
        RunCli({"download", "--port", sim.PtyPath(), "--count", "25", "--vireo", "--out", out.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    DecodeSettings settings;
    settings.vireo = true;
    settings.solar = false;
    settings.clockDate = "2026/12/07";
    settings.com = std::to_string(std::stol(ptyNumber));
    // The first run read records 0..29 and left AUR at 30; the second starts at 0 again.
    EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")), ExpectedDump(SimRecords(sim), 0, 25, settings));
}

TEST(CliPointers, ReadAndWritePointerOnBothBuses)
{
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"--records", "400", "--ari", "100"}, {}},
        {{"--bus", "rs485", "--clocks", "32", "--records", "400", "--ari", "100"},
         {"--bus", "rs485", "--clock", "32"}},
    };
    for (const auto& [simArgs, cliArgs] : cases) {
        SimProcess sim(simArgs);
        std::vector<std::string> args = Link(sim, {"pointers"});
        args.insert(args.end(), cliArgs.begin(), cliArgs.end());
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "ARI 100\nAWI 500\n");
    }
}

TEST(CliPointers, COMnIsLookedUpInTheWindowsPortsFolder)
{
    // Copies of the program in a folder the user may write to (portable) and
    // in one the user may not (installed); homes with and without a ports
    // link. Root may write anywhere, so the program runs as "nobody".
    SimProcess sim({"--records", "400", "--ari", "100"});
    ASSERT_EQ(chmod(sim.PtyPath().c_str(), 0666), 0);
    TempDir root;
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    const fs::path portable = root / "portable", installed = root / "installed", home = root / "home",
                   bareHome = root / "bare";
    for (const fs::path& folder : {portable, installed}) {
        fs::create_directories(folder);
        fs::copy_file(kCliPath, folder / "clockreader-cli");
    }
    for (const fs::path& ports : {portable / "ports", home / "ClockReader" / "ports"}) {
        fs::create_directories(ports);
        fs::create_symlink(sim.PtyPath(), ports / "COM7");
    }
    fs::create_directories(bareHome);
    for (const fs::path& folder : {portable, home, home / "ClockReader", home / "ClockReader" / "ports"})
        ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    for (const fs::path& folder : {installed, bareHome}) ASSERT_EQ(chmod(folder.c_str(), 0555), 0);

    struct Case {
        fs::path program, home;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {portable, bareHome, 0, "ARI 100\nAWI 500\n", ""},
        {installed, home, 0, "ARI 100\nAWI 500\n", ""},
        // Nothing in the user's folder: COM7 is the seventh serial device.
        {installed, bareHome, 5, "",
         "clockreader-cli: COM7 -> /dev/ttyS6, RS-232, clock 1: there is no serial port COM7 on this "
         "computer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.string() + " with HOME " + c.home.string());
        Launch launch{(c.program / "clockreader-cli").string(), c.home.string(), geteuid() == 0};
        CliRun run = RunCli({"pointers", "--port", "COM7"}, launch);
        if (run.status == 126) GTEST_SKIP() << "cannot become uid 65534";
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, c.out);
        if (!c.err.empty()) {
            EXPECT_TRUE(Contains(run.err, c.err)) << run.err;
        }
    }
    // The program only looked: it made no folder in a home without one.
    EXPECT_TRUE(fs::is_empty(bareHome));
}

// The range's positions stay within the records the clock holds: a range
// that ends after the newest record counts what the clock holds, one before
// the oldest counts nothing, and one across the end of the ring counts
// across it.
TEST(CliFind, DateRangeFoundAndDownloadedWithinTheHeldRecords)
{
    // A date before every record of the sim, and one after all of them.
    const std::string beforeAll = "000101", afterAll = "991229";
    struct Case {
        std::vector<std::string> simArgs, cliArgs;
        std::function<std::string(const std::vector<std::string>&dates)> from, to;
    };
    const auto day = [](std::size_t i) {
        return [i](const std::vector<std::string>& dates) { return dates[i]; };
    };
    const auto fixed = [](std::string date) {
        return [date](const std::vector<std::string>&) { return date; };
    };
    const std::vector<Case> cases = {
        {{"--records", "3000", "--layout", "vireo"}, {}, day(1000), day(2000)},
        {{"--bus", "rs485", "--clocks", "5", "--records", "3000", "--layout", "vireo"},
         {"--bus", "rs485", "--clock", "5"},
         day(1000),
         day(2000)},
        {{"--records", "876", "--layout", "vireo"}, {}, day(700), fixed(afterAll)},
        {{"--records", "3000", "--layout", "vireo", "--ari", "1000"}, {}, fixed(beforeAll), fixed("000102")},
        {{"--records", "3000", "--layout", "vireo", "--ari", "252000"}, {}, day(1000), fixed(afterAll)},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.simArgs);
        const std::string clock = c.cliArgs.empty() ? "1" : c.cliArgs.back();
        std::vector<SimRecord> records = SimRecords(sim, clock);
        // Vireo payloads hold the date yymmdd at 11..16.
        std::vector<std::string> dates;
        for (const SimRecord& record : records) dates.push_back(record.payload.substr(10, 6));
        const std::string from = c.from(dates), to = c.to(dates);
        SCOPED_TRACE(from + " to " + to);
        // The range runs from the first record on or after --from up to the
        // first one on or after --to.
        const std::size_t start = std::lower_bound(dates.begin(), dates.end(), from) - dates.begin();
        const std::size_t end = std::lower_bound(dates.begin(), dates.end(), to) - dates.begin();

        TempDir out;
        std::vector<std::string> args =
            Link(sim, {"find", "--from", from, "--to", to, "--download", "--out", out.path()});
        args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
        CliRun run = RunCli(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string count = std::to_string(end - start);
        const long long position = (records[0].position + static_cast<long long>(start)) % 253579;
        EXPECT_EQ(run.out, "start " + std::to_string(position) + "\ncount " + count + "\ntotal " +
                               std::to_string(records.size()) + "\nread " + count + "\n");
        DecodeSettings settings;
        settings.clock = clock;
        settings.vireo = true;
        EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")),
                  ExpectedDump(records, start, end - start, settings));
    }
}

TEST(CliExitStatus, EachOutcomeHasItsOwnStatus)
{
    {
        // An empty clock has nothing to give: no failure, and nothing to read.
        SimProcess sim({"--records", "0"});
        TempDir out;
        CliRun download = RunCli(Link(sim, {"download", "--out", out.path()}));
        EXPECT_EQ(download.status, 0) << download.err;
        EXPECT_TRUE(Contains(download.err, "the clock holds no records")) << download.err;
        EXPECT_EQ(download.out, "total 0\nread 0\n");
        CliRun pointers = RunCli(Link(sim, {"pointers"}));
        EXPECT_EQ(pointers.status, 0) << pointers.err;
        EXPECT_TRUE(Contains(pointers.err, "the clock holds no records")) << pointers.err;
        EXPECT_EQ(pointers.out, "");
    }
    {
        // No answer to the record counter at all.
        ScriptedClock silent(false, [](const std::string&, int) { return std::string(); });
        CliRun run = RunCli({"pointers", "--port", silent.PortPath()});
        EXPECT_EQ(run.status, 3) << run.err;
        EXPECT_TRUE(Contains(run.err, "/dev/pts/")) << run.err;
        EXPECT_TRUE(Contains(run.err, ", RS-232, clock 1: no answer within 5 s (خطا در ارتباط)")) << run.err;
    }
    {
        // A pointer that cannot be read is shown as -1, and is a failure.
        ScriptedClock clock(false, [](const std::string& command, int) -> std::string {
            if (command == "\x0e") return "19500\r";
            return command == "ARI?\r" ? "12a45\r" : "00042\r";
        });
        CliRun run = RunCli({"pointers", "--port", clock.PortPath()});
        EXPECT_EQ(run.status, 3) << run.err;
        EXPECT_EQ(run.out, "ARI -1\nAWI 42\n");
        EXPECT_TRUE(Contains(run.err, "read pointer could not be read")) << run.err;
    }
    {
        // Every record reply has a wrong check byte: six in a row end the run.
        SimProcess sim({"--records", "50", "--faults", "corrupt=1"});
        TempDir out;
        CliRun run = RunCli(Link(sim, {"download", "--count", "10", "--out", out.path()}));
        EXPECT_EQ(run.status, 4) << run.err;
        EXPECT_TRUE(Contains(run.err, cli::kRecordErrorText)) << run.err;
    }
    {
        // The clock refuses the date search.
        ScriptedClock clock(false, [](const std::string& command, int) {
            return std::string(command.starts_with("AURD=") ? "I" : "");
        });
        CliRun refused = RunCli({"find", "--port", clock.PortPath()});
        EXPECT_EQ(refused.status, 3) << refused.err;
        EXPECT_TRUE(Contains(refused.err, "AURD1 Error : I")) << refused.err;
    }
    {
        TempDir nowhere;
        CliRun run = RunCli({"pointers", "--port", nowhere / "no-such-device"});
        EXPECT_EQ(run.status, 5) << run.err;
        // An absent port is said in words, with where the ports are listed.
        EXPECT_TRUE(Contains(run.err, "there is no serial port " + nowhere / "no-such-device" +
                                          " on this computer; the serial ports it has are listed in"
                                          " /dev/serial/by-id"))
            << run.err;
        EXPECT_FALSE(Contains(run.err, "error code")) << run.err;
    }
    if (geteuid() == 0) {
        // A user outside the device's group is told which group may use it,
        // and a read-only folder is called read-only. Root may do anything,
        // so these run as "nobody" (which takes root to set up).
        TempDir dir;
        fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const std::string device = dir / "ttyUSB9", readOnly = dir / "readonly";
        std::ofstream(device).close();
        fs::create_directory(readOnly);
        fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
        ASSERT_EQ(chown(device.c_str(), 0, 20), 0);  // group 20, "dialout" on Debian
        fs::permissions(device, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                    fs::perms::group_write);
        const Launch nobody{kCliPath, "", true};
        CliRun refused = RunCli({"pointers", "--port", device}, nobody);
        EXPECT_EQ(refused.status, 5) << refused.err;
        EXPECT_TRUE(
            Contains(refused.err, device + ", RS-232, clock 1: Unable to open com port (Permission denied); "
                                           "only members of the group "))
            << refused.err;
        CliRun out = RunCli({"download", "--port", device, "--out", readOnly + "/records"}, nobody);
        EXPECT_EQ(out.status, 1) << out.err;
        EXPECT_TRUE(Contains(out.err, "--out: cannot create Dump.Txt and BadRecs.Txt in " + readOnly +
                                          "/records: " + readOnly + " is read-only for this user"))
            << out.err;
    }
    {
        // An output folder that cannot be made or written.
        SimProcess sim({"--records", "50"});
        TempDir out;
        std::ofstream(out / "file") << "not a folder";
        for (const std::string& folder : {std::string("/proc/no-such-folder"), out / "file/sub"}) {
            CliRun run = RunCli(Link(sim, {"download", "--out", folder}));
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_TRUE(Contains(run.err, "--out")) << run.err;
            EXPECT_FALSE(Contains(run.err, "filesystem error")) << run.err;
        }
        EXPECT_EQ(sim.ReadWireLog(), "");
    }
}

// An operator whose clock does not answer is told when a clock answers on
// the other bus, at a terminal and in a job's log alike. Fault caught: only
// a plain run at a terminal was told, never --new nor a log. The failure
// keeps its exit status and stays the status file's last error.
TEST(CliMessages, AClockOnTheOtherBusIsPointedOutAtATerminalAndInALog)
{
    const std::string rs485 = "clock 3 answers on RS-485: try --bus rs485";
    const struct {
        std::vector<std::string> sim, cli;
        bool terminal;
        std::string hint;
    } cases[] = {
        {{"--bus", "rs485", "--clocks", "3"}, {"pointers", "--clock", "3"}, true, rs485},
        {{"--bus", "rs232"},
         {"pointers", "--bus", "rs485", "--clock", "4"},
         true,
         "a clock answers on RS-232: try --bus rs232"},
        {{"--bus", "rs485", "--clocks", "3"}, {"pointers", "--clock", "3"}, false, rs485},
        {{"--bus", "rs485", "--clocks", "3"}, {"download", "--new", "--clock", "3"}, false, rs485},
    };
    for (const auto& c : cases) {
        std::vector<std::string> simArgs = c.sim;
        simArgs.insert(simArgs.end(), {"--records", "50"});
        SimProcess sim(simArgs);
        TempDir out;
        std::vector<std::string> args = Link(sim, c.cli);
        if (c.cli[0] == "download")
            args.insert(args.end(), {"--out", out.path(), "--status-file", out / "run.json"});
        Launch launch;
        launch.terminal = c.terminal;
        CliRun run = RunCli(args, launch);
        EXPECT_EQ(run.status, 3) << run.err;
        EXPECT_TRUE(Contains(run.err, "no answer within 5 s")) << run.err;
        EXPECT_TRUE(Contains(run.err, "clockreader-cli: " + c.hint + "\n")) << run.err;
        // The time starts a log's lines only.
        EXPECT_EQ(run.err.starts_with("clockreader-cli: "), c.terminal) << run.err;
        if (c.cli[0] == "download") {
            EXPECT_FALSE(Contains(ReadWholeFile(out / "run.json"), "try --bus"));
        }
    }
}

// A monitor reads the exit status and the status file; both say the same.
// Faults caught: a bare --status-file name makes every run exit 1 (its
// folder flushed as ""); a refused store leaves "clocks": [] and no reason;
// a clock cut short by a hang-up shows as "new life", the identity note
// hiding its outcome; the system's error given as a "win error code"; a
// status file not written named by its temporary file.
TEST(CliExitStatus, TheStatusFileSaysWhatTheExitStatusSays)
{
    SimProcess sim(
        {"--bus", "rs485", "--records", "100", "--replace-records", "200", "--faults", "hangup-after=150"});
    TempDir out, damaged, here;
    std::ofstream(damaged / "Punches.db") << std::string(8192, 'x');
    Launch inHere;
    inHere.workDir = here.path();
    // The folder, the exit status, and what the status file and the table say: a bare
    // file name, a damaged store, then a new life that a hang-up cuts short.
    const std::vector<std::tuple<std::string, int, std::vector<std::string>>> cases = {
        {out.path(), 0, {"\"refused\": null,", "\"result\": \"complete\", \"records\": 100", "  complete\n"}},
        {damaged.path(), 2, {"\"refused\": \"" + damaged / "Punches.db: cannot read it"}},
        {out.path(),
         5,
         {"\"result\": \"port error\"", "(Input/output error)\", \"identity\": \"new life\"}",
          "  port error (new life)\n"}},
    };
    for (const auto& [folder, status, says] : cases) {
        SCOPED_TRACE(status);
        if (status == 5) sim.Replace();
        CliRun run = RunCli(Link(sim, {"download", "--new", "--bus", "rs485", "--clocks", "1", "--out",
                                       folder, "--status-file", "run.json"}),
                            inHere);
        EXPECT_EQ(run.status, status) << run.err;
        const std::string json = ReadWholeFile(here / "run.json");
        EXPECT_TRUE(Contains(json, "\"exit_status\": " + std::to_string(status) + ",")) << json;
        for (const std::string& part : says) EXPECT_TRUE(Contains(json + run.out, part)) << json << run.out;
        EXPECT_FALSE(Contains(run.err, "win error code")) << run.err;
    }
    // A status file that cannot be written is named as the user gave it, not
    // as the temporary file written beside it.
    const std::string missing = here / "no-such-folder/run.json";
    CliRun unwritten = RunCli(Link(sim, {"download", "--new", "--bus", "rs485", "--clocks", "1", "--out",
                                         out.path(), "--status-file", missing}));
    EXPECT_TRUE(Contains(unwritten.err, "Cannot create " + missing + ": ")) << unwritten.err;
}

TEST(CliExitStatus, BadInputReachesNoClock)
{
    SimProcess sim({"--records", "50", "--layout", "vireo"});
    TempDir out;
    const std::vector<std::pair<std::vector<std::string>, std::string_view>> cases = {
        {{"download", "--clock", "33"}, "--clock"},
        {{"download", "--baud", "115200"}, "--baud"},
        {{"download", "--count", "-1"}, "--count"},
        {{"download", "--start", "x"}, "--start"},
        {{"download", "--bus", "usb"}, "--bus"},
        {{"download", "--verbose"}, "--verbose"},
        {{"pointers", "--count", "3"}, "--count"},
        {{"download", "--start", "253579"}, "--start"},
        {{"download", "--out", "--count", "5"}, "--out: a value is missing"},
        {{"find", "--from", "abc"}, "--from"},
        {{"find", "--to", "-1"}, "--to"},
        {{"find", "--to", "8805"}, "--to"},
        {{"find", "--from", "881231"}, "--from"},
        {{"find", "--from", "880301", "--to", "880201"}, "--from"},
        {{"find", "--from", "880301", "--to", "880301"}, "--from and --to are both 880301"},
        {{"pointers", "--out", "records"}, "--out: 'pointers' writes no files"},
        {{"find", "--out", "records"}, "--out: 'find' writes records only with --download"},
        {{"download", "--new", "--site", out.path()}, "is a folder, not a site file"},
    };
    for (const auto& [args, named] : cases) {
        std::vector<std::string> full = Link(sim, args);
        if (args[0] == "download") full.insert(full.end(), {"--out", out.path()});
        CliRun run = RunCli(full);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(Contains(run.err, named)) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(sim.ReadWireLog(), "");
    EXPECT_FALSE(fs::exists(out / "Dump.Txt"));
}

// Dump.Txt and BadRecs.Txt are held while a run writes them and emptied only
// once the clock has answered: a run that is refused or reaches no clock
// leaves the last good files as they were.
TEST(CliOutputFiles, ARefusedOrFailedRunLeavesTheLastFilesAlone)
{
    SimProcess sim({"--records", "100", "--baud", "2400", "--line-rate"});
    TempDir out, logs, secondLogs;
    const std::vector<std::string> download =
        Link(sim, {"download", "--baud", "2400", "--count", "30", "--out", out.path()});
    CliProcess first(download, logs);
    for (int i = 0; i < 3000 && Lines(ReadWholeFile(out / "Dump.Txt")).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The same port and folder while the first run writes: refused untouched.
    CliRun second = CliProcess(download, secondLogs).Wait();
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_TRUE(Contains(second.err, "in use by another program")) << second.err;
    CliRun run = first.Wait();
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string good = ReadWholeFile(out / "Dump.Txt");
    EXPECT_EQ(Lines(good), ExpectedDump(SimRecords(sim), 0, 30, DecodeSettings{}));

    TempDir nowhere;
    ScriptedClock refusing(false, [](const std::string& command, int) {
        return std::string(command.starts_with("AURD=") ? "I" : "");
    });
    const std::vector<std::vector<std::string>> failing = {
        {"download", "--port", nowhere / "no-such-device", "--out", out.path()},
        {"find", "--download", "--port", refusing.PortPath(), "--out", out.path()},
    };
    for (const std::vector<std::string>& args : failing) {
        CliRun failed = RunCli(args);
        EXPECT_NE(failed.status, 0) << failed.err;
        EXPECT_EQ(ReadWholeFile(out / "Dump.Txt"), good) << args[0];
    }
}

// Every command stops within moments of SIGINT, SIGTERM or SIGHUP, even in
// the middle of a long wait for the clock, with 128 + the signal's number.
// It ends by itself (its port closed and its lock file gone), and a stopped
// run leaves the last good Dump.Txt as it was.
TEST(CliSignals, EveryCommandStopsPromptlyWithTheStatusOfItsSignal)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<int> signals;
        std::vector<int> statuses;  // the one expected, or either of two
    };
    const std::vector<Case> cases = {
        {{"pointers"}, {SIGINT}, {130}},
        // The search waits up to 30 s for its first answer.
        {{"find", "--download"}, {SIGHUP}, {129}},
        {{"download"}, {SIGTERM}, {143}},
        // A second signal ends the program at once; whichever way it ends,
        // no lock file is left behind.
        {{"download"}, {SIGINT, SIGTERM}, {130, 143}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.signals.back()));
        // A clock that hears everything and never answers.
        ScriptedClock silent(false, [](const std::string&, int) { return std::string(); });
        const std::string lockFile =
            ComLockDirectory() + "/" + comLockName(fs::canonical(silent.PortPath()).string());
        TempDir out, logs;
        std::ofstream(out / "Dump.Txt", std::ios::binary) << "last good run\r\n";
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--port", silent.PortPath()});
        if (c.args[0] != "pointers") args.insert(args.end(), {"--out", out.path()});
        Launch background;
        background.ignoreInterrupt = true;
        CliProcess cli(args, logs, background);
        for (int i = 0; i < 500 && silent.Commands().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(silent.Commands().empty());
        EXPECT_TRUE(fs::exists(lockFile)) << lockFile;
        for (int signal : c.signals) cli.Signal(signal);
        CliRun run = cli.Wait();
        EXPECT_TRUE(run.exited);
        EXPECT_THAT(c.statuses, ::testing::Contains(run.status)) << run.err;
        EXPECT_EQ(silent.Commands().size(), 1u);
        EXPECT_FALSE(fs::exists(lockFile));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadWholeFile(out / "Dump.Txt"), "last good run\r\n");
    }
}

TEST(CliSignals, StopKeepsEveryLineReadSoFar)
{
    // Paced at 2400 baud the clock takes about a tenth of a second a record,
    // so the stop comes in the middle of the run.
    SimProcess sim({"--records", "2000", "--baud", "2400", "--line-rate"});
    TempDir out, logs;
    CliProcess cli(Link(sim, {"download", "--baud", "2400", "--count", "2000", "--out", out.path()}), logs);
    for (int i = 0; i < 3000 && Lines(ReadWholeFile(out / "Dump.Txt")).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cli.Signal(SIGTERM);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_TRUE(Contains(run.err, "stopping after the current record")) << run.err;

    std::vector<std::string> lines = Lines(ReadWholeFile(out / "Dump.Txt"));
    ASSERT_GE(lines.size(), 3u);
    ASSERT_LT(lines.size(), 2000u);
    EXPECT_EQ(lines, ExpectedDump(SimRecords(sim), 0, lines.size(), DecodeSettings{}));
    EXPECT_EQ(run.out, "total 2000\nread " + std::to_string(lines.size()) + "\n");
}

// ---- scheduled collection: download --new and --clocks ----------------------

namespace {

// Every good record clock `clock` of `sim` holds or held, as dump lines.
std::vector<std::string> AllDumpLines(const SimProcess& sim, int clock)
{
    DecodeSettings settings;
    settings.clock = std::to_string(clock);
    std::vector<SimRecord> records = sim.ExpectedRecords(clock);
    return ExpectedDump(records, 0, records.size(), settings);
}

// The commands to clock `clock` in the wire log of `sim`.
std::size_t CommandsTo(const SimProcess& sim, int clock)
{
    const std::string log = sim.ReadWireLog(), mark = " clock=" + std::to_string(clock) + " ";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = log.find(mark, at)) != std::string::npos; ++at) ++count;
    return count;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The lines of the files a collection published in `dir` whose names start
// with `prefix` ("Dump" or "BadRecs"), in the order of their names.
std::vector<std::string> Published(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix + "-", 0) == 0 && entry.path().extension() == ".Txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> lines;
    for (const std::string& name : names)
        for (std::string& line : Lines(ReadWholeFile(dir + "/" + name))) lines.push_back(std::move(line));
    return lines;
}

// Waits until a run has asked `sim` for a few records (a run publishes its
// records when their clock is done, so the files do not tell).
void WaitForRecordsAsked(const SimProcess& sim)
{
    for (int i = 0; i < 3000; ++i) {
        const std::string log = sim.ReadWireLog();
        std::size_t asked = 0;
        for (std::size_t at = 0; (at = log.find("cmd=NAK", at)) != std::string::npos; ++at) ++asked;
        if (asked >= 5) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

TEST(CliCollection, NewRecordsOnlyEachOnceWhilePunchesArriveOnBothBuses)
{
    struct Case {
        std::vector<std::string> simArgs, cliArgs;
        std::vector<int> clocks;
    };
    const std::vector<std::string> punches = {"--records",     "40", "--flagged-rate", "0.1",
                                              "--punch-every", "30", "--punches",      "30"};
    std::vector<Case> cases = {{punches, {}, {1}},
                               {punches, {"--bus", "rs485", "--clocks", "1,12"}, {1, 12}}};
    cases[1].simArgs.insert(cases[1].simArgs.end(), {"--bus", "rs485", "--clocks", "1,12"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clocks.size());
        SimProcess sim(c.simArgs);
        TempDir out;
        std::vector<std::string> args = Link(sim, {"download", "--new", "--out", out.path()});
        args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
        const auto allPunched = [&] {
            for (int clock : c.clocks)
                if (sim.ExpectedRecords(clock).size() < 70) return false;
            return true;
        };
        // Runs while punches arrive, then one after the last punch.
        for (int run = 0; run < 3 || !allPunched(); ++run) {
            ASSERT_LT(run, 100);
            CliRun r = RunCli(args);
            ASSERT_EQ(r.status, 0) << r.err << sim.ReadWireLog();
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        CliRun last = RunCli(args);
        ASSERT_EQ(last.status, 0) << last.err;
        std::size_t flagged = 0;
        for (int clock : c.clocks) {
            EXPECT_EQ(LinesOfClock(Published(out.path(), "Dump"), clock), AllDumpLines(sim, clock));
            for (const SimRecord& record : sim.ExpectedRecords(clock)) flagged += record.flagged;
        }
        EXPECT_EQ(Published(out.path(), "BadRecs").size(), flagged);
        EXPECT_FALSE(fs::exists(out / "Dump.Txt"));

        // Nothing new is a success that says so.
        CliRun idle = RunCli(args);
        EXPECT_EQ(idle.status, 0) << idle.err;
        EXPECT_TRUE(Contains(idle.err, "nothing new since the last run")) << idle.err;
        if (c.clocks.size() > 1)
            EXPECT_TRUE(Contains(idle.out, "    1        0        0  nothing new\n")) << idle.out;
        else
            EXPECT_EQ(idle.out, "total 70\nread 0\n");
    }
}

TEST(CliCollection, WhatWasCollectedOutlivesAPlainDownloadAnImporterAndAnUndecodableRecord)
{
    // A Gregorian Vireo clock whose third record has a year that is no number.
    TempDir dir;
    WriteFile(dir / "records",
              "1234567890260101080001005\n!"
              "1234567890260101080001005\n1234567890xx0102090001005\n1234567890260103100001005\n");
    SimProcess sim({"--records-file", dir / "records", "--calendar", "gregorian"});
    TempDir out, imported;
    const std::vector<std::string> collect = Link(sim, {"download", "--new", "--vireo", "--out", out.path()});
    CliRun run = RunCli(collect);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "total 4\nread 4\n");
    DecodeSettings vireo;
    vireo.vireo = true;
    vireo.solar = false;
    vireo.clockDate = "2026/12/07";
    const std::vector<std::string> good = {ExpectedDump(SimRecords(sim), 0, 1, vireo)[0],
                                           ExpectedDump(SimRecords(sim), 3, 1, vireo)[0]};
    EXPECT_EQ(Published(out.path(), "Dump"), good);
    const std::vector<std::string> bad = Published(out.path(), "BadRecs");
    ASSERT_EQ(bad.size(), 2u);
    EXPECT_TRUE(Contains(bad[1], "COM7 rs232 clock 1, position 2: the date does not decode")) << bad[1];

    // A plain download into the folder writes Dump.Txt and leaves the rest.
    ASSERT_EQ(RunCli(Link(sim, {"download", "--count", "2", "--vireo", "--out", out.path()})).status, 0);
    EXPECT_EQ(Published(out.path(), "Dump"), good);
    // The importer takes everything; the next run goes on past the record
    // that did not decode, and --start cannot move a saved position (it
    // would read the last record a second time).
    for (const auto& entry : fs::directory_iterator(out.path()))
        if (entry.path().filename().string().find('-') != std::string::npos)
            fs::rename(entry.path(), imported / entry.path().filename().string());
    CliRun idle = RunCli(collect);
    EXPECT_EQ(idle.status, 0) << idle.err;
    EXPECT_TRUE(Contains(idle.err, "nothing new since the last run")) << idle.err;
    std::vector<std::string> again = collect;
    again.insert(again.end(), {"--start", "3"});
    CliRun refused = RunCli(again);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "--start: the store goes on from position 4")) << refused.err;
    EXPECT_EQ(Published(out.path(), "Dump"), std::vector<std::string>{});
    EXPECT_EQ(Published(imported.path(), "Dump"), good);
}

// A clock's records never reach the store in the wrong layout: a first
// collection whose records fit the other layout stores and publishes none,
// and a later run in another layout than the one remembered is refused.
// Records stored in the wrong one all the same (a store of an earlier
// version; here made so on purpose with relayout) are written again in the
// right one from their raw bytes: as dump lines, as each card's day, and
// as a workbook a spreadsheet reads back with typed cells. Catches Vireo
// records published with made-up cards and no day, a re-decoding that
// keeps the stored line, a daily row that takes the first punch read for
// the earliest, and a card, date or time cell written as the wrong type;
// in the workbook, columns too narrow for a date ("###"), a header row
// that scrolls away, a sheet without the Solar day beside the Gregorian,
// and a sheet named by the end of its port's name.
TEST(CliExport, RecordsCollectedInTheWrongLayoutAreRefusedOrWrittenAgainAsDumpDailyAndWorkbook)
{
    TempDir dir;
    WriteFile(dir / "records",
              "0000012345050901173001005\n0000012345050901080001005\n0000067890050901081501005\n"
              "0000012345050902080501005\n0000012345050901120001005\n");
    SimProcess sim({"--records-file", dir / "records"});
    TempDir out;
    DecodeSettings vireo;
    vireo.vireo = true;
    CliRun wrong = RunCli(Link(sim, {"download", "--new", "--out", out.path()}));
    EXPECT_EQ(wrong.status, 2) << wrong.err;
    EXPECT_TRUE(Contains(wrong.err, "nothing of this clock was stored. Collect it with --vireo"))
        << wrong.err;
    EXPECT_EQ(Published(out.path(), "Dump"), std::vector<std::string>{});
    CliRun run = RunCli(Link(sim, {"download", "--new", "--vireo", "--out", out.path()}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Published(out.path(), "Dump"), ExpectedDump(SimRecords(sim), 0, 5, vireo));
    CliRun forgot = RunCli(Link(sim, {"download", "--new", "--out", out.path()}));
    EXPECT_EQ(forgot.status, 2) << forgot.err;
    EXPECT_TRUE(Contains(forgot.err, "its records are in the vireo layout")) << forgot.err;
    for (const char* layout : {"standard", "vireo"}) {
        CliRun relayout =
            RunCli({"relayout", "--out", out.path(), "--port", "COM7", "--clock", "1", "--layout", layout});
        EXPECT_EQ(relayout.status, 0) << relayout.err;
        EXPECT_TRUE(Contains(relayout.err, "5 records of its current life decoded again")) << relayout.err;
        CliRun stored = RunCli({"export", "--out", out.path()});
        EXPECT_EQ(Lines(stored.out), ExpectedDump(SimRecords(sim), 0, 5,
                                                  layout == std::string("vireo") ? vireo : DecodeSettings{}))
            << stored.err;
    }
    // Stored in the wrong layout, as an earlier version could.
    ASSERT_EQ(
        RunCli({"relayout", "--out", out.path(), "--port", "COM7", "--clock", "1", "--layout", "standard"})
            .status,
        0);

    CliRun dump = RunCli({"export", "--out", out.path(), "--layout", "vireo"});
    EXPECT_EQ(Lines(dump.out), ExpectedDump(SimRecords(sim), 0, 5, vireo)) << dump.err;
    const std::string site =
        collect::PunchStore(out / collect::kStoreFileName, collect::PunchStore::Access::Read).SiteName();
    CliRun daily = RunCli({"export", "--out", out.path(), "--layout", "vireo", "--format", "daily"});
    EXPECT_EQ(Lines(daily.out), (std::vector<std::string>{"site,card,day,first,last,punches",
                                                          site + ",0000012345,2026-11-22,08:00,17:30,3",
                                                          site + ",0000012345,2026-11-23,08:05,08:05,1",
                                                          site + ",0000067890,2026-11-22,08:15,08:15,1"}))
        << daily.err;

    EXPECT_EQ(RunCli({"export", "--out", out.path(), "--format", "xlsx"}).status, 2);
    ASSERT_EQ(RunCli({"export", "--out", out.path(), "--layout", "vireo", "--format", "xlsx", "--file",
                      out / "punches.xlsx"})
                  .status,
              0);
    // Debian's python3-openpyxl, for Debian's interpreter. Each sheet with
    // its header row frozen and its columns' widths, then typed cells.
    WriteFile(dir / "read.py", R"(import sys, openpyxl
from openpyxl.utils import get_column_letter
book = openpyxl.load_workbook(sys.argv[1])
print(book.sheetnames)
for name in book.sheetnames:
    sheet = book[name]
    print(name, sheet.freeze_panes, [int(sheet.column_dimensions[get_column_letter(c)].width)
                                     for c in range(1, sheet.max_column + 1)])
    for row in sheet.iter_rows(min_row=2, max_row=3 if name == 'daily' else 2):
        print(name, [(type(c.value).__name__, str(c.value)) for c in row if c.value is not None])
)");
    RunChild({"/usr/bin/python3", dir / "read.py", out / "punches.xlsx"}, dir / "read.out", dir / "read.err");
    EXPECT_THAT(ReadWholeFile(dir / "read.out"),
                testing::StartsWith(
                    "['daily', 'COM7 clock 1']\n"
                    "daily A2 [18, 13, 12, 12, 7, 7, 9]\n"
                    "daily [('str', '" +
                    site +
                    "'), ('str', '0000012345'), ('datetime', '2026-11-22 00:00:00'), ('str', '1405/09/01'), "
                    "('time', '08:00:00'), ('time', '17:30:00'), ('int', '3')]\n"
                    "daily [('str', '" +
                    site +
                    "'), ('str', '0000012345'), ('datetime', '2026-11-23 00:00:00'), ('str', '1405/09/02'), "
                    "('time', '08:05:00'), ('time', '08:05:00'), ('int', '1')]\n"
                    "COM7 clock 1 A2 [18, 9, 26, 6, 6, 9, 13, 12, 12, 7, 6, 8, 27]\n"
                    "COM7 clock 1 [('str', '" +
                    site +
                    "'), ('int', '1'), ('str', 'COM7'), ('str', 'rs232'), ('int', '1'), ('int', '0'), "
                    "('str', '0000012345'), ('datetime', '2026-11-22 00:00:00'), ('str', '1405/09/01'), "
                    "('time', '17:30:00'), ('str', '01'), ('int', '0'), ('str', '2"))
        << ReadWholeFile(dir / "read.err");
}

// Export and backup write only files of their own, each whole or not at all.
// Faults caught: --file over the store's own files (Punches.db overwritten
// by a CSV header, then called damaged), also spelt another way or through
// a link; an export that fails half-way emptying the file it was to
// replace; --port for a port the store never saw as 0 records and success;
// a backup into a missing folder blamed on SQLite; messages without the
// time that starts every line of a job's log.
TEST(CliExport, ExportAndBackupWriteOnlyWholeFilesOfTheirOwn)
{
    SimProcess sim({"--records", "1000"});
    TempDir out, dir;
    ASSERT_EQ(RunCli(Link(sim, {"download", "--new", "--out", out.path()})).status, 0);
    fs::create_symlink(out / "Punches.db", dir / "link.db");
    WriteFile(dir / "kept.csv", "kept");
    std::string published;
    for (const auto& entry : fs::directory_iterator(out.path()))
        if (entry.path().filename().string().starts_with("Dump-")) published = entry.path();
    const std::string store = ReadWholeFile(out / "Punches.db"), dump = ReadWholeFile(published);
    Launch fullDisk;
    fullDisk.fileSizeLimit = 40 << 10;  // the store opens, the CSV does not fit
    const std::vector<std::tuple<std::vector<std::string>, Launch, int, std::string>> cases = {
        {{"--file", out / "Punches.db"}, {}, 2, out / "Punches.db is "},
        {{"--file", out / "./Punches.db-wal"}, {}, 2, "Punches.db-wal, a file of the punch store"},
        {{"--file", dir / "link.db"}, {}, 2, "link.db is " + out / "Punches.db"},
        {{"--file", out / "Punches.published"}, {}, 2, "a file of the punch store"},
        {{"--format", "csv", "--file", published}, {}, 2, "a file the punch store published"},
        {{"--format", "csv", "--file", dir / "kept.csv"}, fullDisk, 1, "cannot write " + dir / "kept.csv"},
        {{"--port", "COM9"}, {}, 2, "holds no records read on COM9; the ports it knows: COM7"},
        {{"backup", "--file", dir / "gone/copy.db"}, {}, 1, dir / "gone does not exist"},
    };
    for (const auto& [args, launch, status, says] : cases) {
        SCOPED_TRACE(args.back());
        std::vector<std::string> full = {args[0] == "backup" ? "backup" : "export", "--out", out.path()};
        full.insert(full.end(), args.begin() + (args[0] == "backup"), args.end());
        CliRun run = RunCli(full, launch);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_TRUE(Contains(run.err, says)) << run.err;
        std::istringstream err(run.err);
        for (std::string line; std::getline(err, line);)
            EXPECT_THAT(line, ::testing::MatchesRegex("20[-0-9]+T[:0-9]+[-+][:0-9]+ .*"));
    }
    EXPECT_EQ(ReadWholeFile(out / "Punches.db"), store);
    EXPECT_EQ(ReadWholeFile(published), dump);
    EXPECT_EQ(ReadWholeFile(dir / "kept.csv"), "kept");
    EXPECT_EQ(RunCli({"export", "--out", out.path(), "--format", "csv", "--file", dir / "kept.csv"}).status,
              0);
    EXPECT_EQ(Lines(ReadWholeFile(dir / "kept.csv")).size(), 1001u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(CliCollection, ARingThatWrappedPastTheSavedPositionIsReportedWithWhatItLost)
{
    // The clock held 1000 records from position 0 at the last run, all read;
    // since then 253629 more came, so its full ring now starts at 1050: the
    // 50 oldest new records were overwritten unread.
    SimProcess sim({"--records", "253579", "--ari", "1050", "--baud", "57600", "--line-rate"});
    TempDir out, logs;
    const collect::ClockName name{collect::PortKey(sim.PtyPath()), "COM7", true, 1};
    {
        collect::PunchStore store(out / collect::kStoreFileName, collect::PunchStore::Access::Collect);
        const std::int64_t clock = store.AddClock(name).id;
        store.Commit(store.StartRun("standard", "test"), {},
                     {{clock, {1000, 0}, "solar", "1405/09/16", "COM7", {{999, "overwritten since"}}}});
    }
    CliProcess cli(Link(sim, {"download", "--new", "--baud", "57600", "--out", out.path()}), logs);
    WaitForRecordsAsked(sim);
    cli.Signal(SIGTERM);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_TRUE(Contains(run.err, "warning: the ring overwrote 50 records written since the last run"))
        << run.err;
    // It reads what the ring still holds, from ARI, and saves how far it got.
    const std::vector<std::string> lines = Published(out.path(), "Dump");
    EXPECT_EQ(lines, ExpectedDump(SimRecords(sim), 0, lines.size(), DecodeSettings{}));
    collect::PunchStore store(out / collect::kStoreFileName, collect::PunchStore::Access::Collect);
    const std::optional<collect::ClockPosition> saved = store.ClockNamed(name)->position;
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->nextSerial, 1050 + static_cast<std::int64_t>(lines.size()));
    EXPECT_EQ(saved->ari, 1050);
}

TEST(CliCollection, SweepGoesOnPastAnAbsentClockAndTellsPartialFromTotalFailure)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "1,3", "--records", "30", "--flagged-rate", "0.2"});
    for (const char* mode : {"--new", "--count=30"}) {
        TempDir out;
        CliRun run =
            RunCli(Link(sim, {"download", "--bus", "rs485", "--clocks", "1-3", mode, "--out", out.path()}));
        EXPECT_EQ(run.status, 6) << run.err;
        const auto row = [&](int clock) {
            char text[64];
            std::snprintf(text, sizeof text, "%5d  %7d  %7zu  complete\n", clock, 30,
                          FlaggedAmong(SimRecords(sim, std::to_string(clock)), 0, 30));
            return std::string(text);
        };
        EXPECT_EQ(run.out, "clock  records  flagged  status\n" + row(1) +
                               "    2        0        0  communication error\n" + row(3));
        const std::vector<std::string> lines = std::string(mode) == "--new"
                                                   ? Published(out.path(), "Dump")
                                                   : Lines(ReadWholeFile(out / "Dump.Txt"));
        for (int clock : {1, 3}) EXPECT_EQ(LinesOfClock(lines, clock), AllDumpLines(sim, clock));
    }
    // The absent clock cost one time-out each time: one command, no more.
    EXPECT_EQ(CommandsTo(sim, 2), 2u);

    // Every clock failing is a total failure, with the first failure's status.
    TempDir nowhere;
    CliRun none = RunCli({"download", "--bus", "rs485", "--clocks", "1,3", "--port", nowhere / "no-device",
                          "--out", nowhere.path()});
    EXPECT_EQ(none.status, 5) << none.err;
}

// Faults caught: an address where no clock answers is waited out at every
// sweep; one left out is never asked again (after its interval, or with
// --ask-absent), so a clock connected there is never collected; a sweep
// that left one out fails for a monitor, or hides when it was last asked.
TEST(CliCollection, AnAbsentClockIsAskedAgainOnlyAfterItsIntervalAndCollectedOnceThere)
{
    const auto sweep = [](const SimProcess& sim, const std::string& out, std::vector<std::string> more) {
        more.insert(more.begin(), {"download", "--new", "--bus", "rs485", "--clocks", "1-3", "--out", out,
                                   "--status-file", out + "/status.json"});
        return RunCli(Link(sim, more));
    };
    SimProcess gap({"--bus", "rs485", "--clocks", "1,3", "--records", "5"});
    TempDir out;
    EXPECT_EQ(sweep(gap, out.path(), {}).status, 6);
    const CliRun again = sweep(gap, out.path(), {});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(CommandsTo(gap, 2), 1u);
    EXPECT_TRUE(Contains(again.out, "\n    2        0        0  absent, not asked (last asked 20"))
        << again.out;
    const std::string json = ReadWholeFile(out / "status.json");
    EXPECT_TRUE(Contains(json,
                         "\"clock\": 2, \"result\": \"absent, not asked\", \"records\": 0, \"flagged\": 0, "
                         "\"last_error\": null, \"identity\": null, \"last_asked\": \"20"))
        << json;

    // A bus where a clock is connected at each address: 2 was silent two
    // hours ago, past the interval, and is asked; 3 a minute ago, and is
    // asked only with --ask-absent. Each is collected once asked.
    SimProcess full({"--bus", "rs485", "--clocks", "1-3", "--records", "5"});
    TempDir later;
    const std::string key = collect::PortKey(full.PtyPath());
    const long long now = std::time(nullptr);
    WriteFile(later / "Sweeps.state", key + "\t2\t" + std::to_string(now - 7200) + "\tsilent\n" + key +
                                          "\t3\t" + std::to_string(now - 60) + "\tsilent\n");
    EXPECT_EQ(sweep(full, later.path(), {}).status, 0);
    EXPECT_EQ(CommandsTo(full, 3), 0u);
    EXPECT_EQ(LinesOfClock(Published(later.path(), "Dump"), 2), AllDumpLines(full, 2));
    EXPECT_EQ(sweep(full, later.path(), {"--ask-absent"}).status, 0);
    EXPECT_EQ(LinesOfClock(Published(later.path(), "Dump"), 3), AllDumpLines(full, 3));
}

// Faults caught: a sweep killed after clock 2 of 4 starts with clock 1
// again next time, so a scheduler's time-out starves clocks 3 and 4 for
// ever; a run leaves no summary for a monitor, or one that is not JSON
// (a comma missing between two clocks).
TEST(CliCollection, ASweepCutShortBeginsWithTheClocksItDidNotFinishAndEachRunLeavesItsStatus)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "1-4", "--records", "30", "--baud", "2400", "--line-rate"});
    TempDir out, logs;
    const std::string status = out / "status.json";
    // The clocks of the status file as python3's JSON parser reads them.
    WriteFile(logs / "clocks.py", R"(import json, sys
for clock in json.load(open(sys.argv[1]))['clocks']:
    print(clock['clock'], clock['result'])
)");
    const auto clocksOf = [&] {
        RunChild({"/usr/bin/python3", logs / "clocks.py", status}, logs / "clocks.out", logs / "clocks.err");
        return ReadWholeFile(logs / "clocks.out") + ReadWholeFile(logs / "clocks.err");
    };
    const std::vector<std::string> sweep =
        Link(sim, {"download", "--new", "--bus", "rs485", "--clocks", "1-5", "--baud", "2400", "--out",
                   out.path(), "--status-file", status});
    CliProcess cli(sweep, logs);
    for (int i = 0; i < 3000 && !Contains(sim.ReadWireLog(), "clock=3 bus=rs485 cmd=NAK"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cli.Signal(SIGTERM);
    CliRun cut = cli.Wait();
    EXPECT_EQ(cut.status, 128 + SIGTERM) << cut.err;
    EXPECT_THAT(cut.out,
                ::testing::StartsWith("clock  records  flagged  status\n    1       30        0  complete\n"
                                      "    2       30        0  complete\n    3"));
    std::string json = ReadWholeFile(status);
    EXPECT_TRUE(Contains(json, "\"exit_status\": 143,")) << json;
    EXPECT_TRUE(Contains(json,
                         "{\"name\": \"COM7 clock 3\", \"port\": \"COM7\", \"clock\": 3, \"result\": "
                         "\"stopped\""))
        << json;
    EXPECT_EQ(clocksOf(), "1 complete\n2 complete\n3 stopped\n");

    // Clock 3 was cut short and 4 and 5 not reached: they come first, then
    // the rest in address order. The absent clock 5 is named with its error.
    CliRun next = RunCli(sweep);
    EXPECT_EQ(next.status, 6) << next.err;
    std::vector<std::string> rows;
    std::istringstream table(next.out);
    for (std::string row; std::getline(table, row);) rows.push_back(row);
    ASSERT_EQ(rows.size(), 6u) << next.out;
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(rows[i + 1].substr(0, 5), "    " + std::string(1, "34512"[i]));
    json = ReadWholeFile(status);
    EXPECT_TRUE(Contains(json, "\"exit_status\": 6,")) << json;
    EXPECT_TRUE(Contains(json,
                         "\"result\": \"communication error\", \"records\": 0, \"flagged\": 0, "
                         "\"last_error\": \"COM7 -> "))
        << json;
    EXPECT_TRUE(Contains(json,
                         "\"clock\": 1, \"result\": \"nothing new\", \"records\": 0, \"flagged\": 0, "
                         "\"last_error\": null, \"identity\": null}"))
        << json;
    EXPECT_EQ(clocksOf(), "3 complete\n4 complete\n5 communication error\n1 nothing new\n2 nothing new\n");
    EXPECT_EQ(LinesOfClock(Published(out.path(), "Dump"), 3), AllDumpLines(sim, 3));
}

TEST(CliCollection, TwoRunsOnOneFolderOrOnePortNeitherDamagesTheStore)
{
    SimProcess sim({"--records", "200", "--baud", "2400", "--line-rate"});
    TempDir out, other, logs;
    CliProcess slow(Link(sim, {"download", "--new", "--baud", "2400", "--out", out.path()}), logs);
    WaitForRecordsAsked(sim);

    CliRun refused = RunCli(Link(sim, {"download", "--new", "--lock-wait", "0", "--out", out.path()}));
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "is in use by another run")) << refused.err;
    // With the lock file deleted, a run on another port would write into the
    // store and publish beside the first if the lock were on that file only.
    SimProcess another({"--records", "5"});
    fs::remove(PathFromUtf8(out / "Punches.lock"));
    CliRun beside = RunCli(Link(another, {"download", "--new", "--lock-wait", "0", "--out", out.path()}));
    EXPECT_EQ(beside.status, 1) << beside.err;
    EXPECT_TRUE(Contains(beside.err, "is in use by another run")) << beside.err;
    EXPECT_EQ(another.ReadWireLog(), "");
    const auto before = std::chrono::steady_clock::now();
    CliRun waited = RunCli(Link(sim, {"download", "--new", "--lock-wait", "1", "--out", out.path()}));
    EXPECT_EQ(waited.status, 1) << waited.err;
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
    CliRun portBusy = RunCli(Link(sim, {"download", "--new", "--out", other.path()}));
    EXPECT_EQ(portBusy.status, 5) << portBusy.err;

    slow.Signal(SIGTERM);
    CliRun first = slow.Wait();
    EXPECT_EQ(first.status, 128 + SIGTERM) << first.err;
    const std::vector<std::string> lines = Published(out.path(), "Dump");
    EXPECT_EQ(lines, ExpectedDump(SimRecords(sim), 0, lines.size(), DecodeSettings{}));
}

TEST(CliCollection, ABadStoreOrFolderReachesNoClock)
{
    SimProcess sim({"--records", "50"});
    TempDir out;
    const std::string damaged(8192, 'x');
    WriteFile(out / "Punches.db", damaged);
    CliRun run = RunCli(Link(sim, {"download", "--new", "--out", out.path()}));
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(Contains(run.err, out / "Punches.db")) << run.err;
    EXPECT_EQ(ReadWholeFile(out / "Punches.db"), damaged);

    CliRun unwritable = RunCli(Link(sim, {"download", "--new", "--out", "/proc/no-such-folder"}));
    EXPECT_EQ(unwritable.status, 1) << unwritable.err;
    EXPECT_EQ(sim.ReadWireLog(), "");

    // An empty clock has nothing new, which is no failure.
    SimProcess empty({"--records", "0"});
    TempDir fresh;
    CliRun none = RunCli(Link(empty, {"download", "--new", "--out", fresh.path()}));
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "total 0\nread 0\n");
    EXPECT_TRUE(Contains(none.err, "the clock holds no records")) << none.err;
}

TEST(CliCollection, AFullDiskStopsTheRunWithTheStoreIntactAndTheNextRunGoesOn)
{
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    for (bool sweep : {false, true}) {
        SCOPED_TRACE(sweep ? "a sweep" : "one clock");
        std::vector<std::string> simArgs = {"--records", "12000", "--flagged-rate", "0.05"}, cliArgs;
        if (sweep) {
            simArgs = {"--records", "6000", "--flagged-rate", "0.05", "--bus", "rs485", "--clocks", "1,2"};
            cliArgs = {"--bus", "rs485", "--clocks", "1,2"};
        }
        SimProcess sim(simArgs);
        TempDir out;
        ASSERT_EQ(std::system(("mount -t tmpfs -o size=256k tmpfs " + out.path()).c_str()), 0);
        struct Unmount {
            std::string path;
            ~Unmount() { std::system(("umount " + path).c_str()); }
        } unmount{out.path()};
        std::vector<std::string> args = Link(sim, {"download", "--new", "--out", out.path()});
        args.insert(args.end(), cliArgs.begin(), cliArgs.end());
        CliRun full = RunCli(args);
        EXPECT_EQ(full.status, 1) << full.err;
        EXPECT_TRUE(Contains(full.err, "disk is full") || Contains(full.err, "No space left")) << full.err;
        // A clock whose records were not committed is not complete.
        EXPECT_FALSE(Contains(full.out, "complete")) << full.out;

        ASSERT_EQ(std::system(("mount -o remount,size=8m " + out.path()).c_str()), 0);
        CliRun next = RunCli(args);
        EXPECT_EQ(next.status, 0) << next.err;
        for (int clock : sweep ? std::vector<int>{1, 2} : std::vector<int>{1})
            EXPECT_EQ(LinesOfClock(Published(out.path(), "Dump"), clock), AllDumpLines(sim, clock));
        EXPECT_EQ(Published(out.path(), "BadRecs").size(),
                  FlaggedAmong(sim.ExpectedRecords(), 0, sim.ExpectedRecords().size()));
    }
}

TEST(CliCollection, EachPublishedFileIsOnTheDiskBeforeItsRenameAndBeforeTheStoreSaysSo)
{
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
    SimProcess sim({"--records", "400", "--flagged-rate", "0.05", "--baud", "57600", "--line-rate"});
    TempDir out, logs;
    // The leak checker of a sanitizer build cannot stop a traced program.
    std::vector<std::string> args = {"-f",
                                     "-y",
                                     "-qq",
                                     "-E",
                                     "ASAN_OPTIONS=detect_leaks=0",
                                     "-e",
                                     "trace=fsync,fdatasync,rename,renameat,renameat2",
                                     "-o",
                                     logs / "trace",
                                     kCliPath};
    for (const std::string& a : Link(sim, {"download", "--new", "--baud", "57600", "--out", out.path()}))
        args.push_back(a);
    Launch launch;
    launch.program = "/usr/bin/strace";
    ASSERT_EQ(RunCli(args, launch).status, 0);

    // Each call as "fsync <path>", "commit" (the store's journal) or "rename <to>".
    std::vector<std::string> calls;
    std::istringstream trace(ReadWholeFile(logs / "trace"));
    for (std::string line; std::getline(trace, line);) {
        const std::size_t open = line.find('<'), close = line.find('>');
        if (line.find("rename") != std::string::npos) {
            // The target is the second quoted path, in rename() and renameat2() alike.
            const std::size_t to = line.find('"', line.find('"', line.find('"') + 1) + 1) + 1;
            calls.push_back("rename " + line.substr(to, line.find('"', to) - to));
        } else if (open != std::string::npos && close > open) {
            const std::string path = line.substr(open + 1, close - open - 1);
            calls.push_back(path.size() > 4 && path.substr(path.size() - 4) == "-wal" ? "commit"
                                                                                      : "fsync " + path);
        }
    }
    int published = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].rfind("rename ", 0) != 0) continue;
        const std::string final = calls[i].substr(7);
        const std::string name = final.substr(final.rfind('/') + 1);
        // The folder's note of what was published is not for the importer.
        if (name == collect::kPublishedMarkName) continue;
        ++published;
        const std::string part = out / ("." + name + ".part");
        const auto at = [&](const std::string& call, std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; ++j)
                if (calls[j] == call) return static_cast<long>(j);
            return -1L;
        };
        const long synced = at("fsync " + part, 0, i);
        SCOPED_TRACE(name);
        ASSERT_GE(synced, 0) << "renamed without being flushed";
        EXPECT_GE(at("fsync " + out.path(), synced, i), 0)
            << "the folder was not flushed before the store said so";
        EXPECT_GE(at("commit", synced, i), 0) << "renamed before the store marked it written";
        std::size_t next = i + 1;
        while (next < calls.size() && calls[next].rfind("rename ", 0) == 0) ++next;
        ASSERT_LT(next, calls.size());
        EXPECT_EQ(calls[next], "fsync " + out.path()) << "the store was told before the rename was flushed";
    }
    EXPECT_GT(published, 1);
    EXPECT_EQ(Published(out.path(), "Dump"), ExpectedDump(SimRecords(sim), 0, 400, DecodeSettings{}));
}

TEST(CliCollection, ASiteReadsItsLinesSideBySideIntoOneStore)
{
    SimProcess bus({"--bus", "rs485", "--clocks", "1", "--records", "40", "--flagged-rate", "0.1"});
    SimProcess office({"--records", "30", "--layout", "vireo"});
    TempDir out, dir;
    WriteFile(dir / "site", "# two lines\n" + bus.PtyPath() + " rs485 1,2 9600 standard\n" +
                                office.PtyPath() + " rs232 1 9600 vireo  # the office\n");
    CliRun run = RunCli({"download", "--new", "--site", dir / "site", "--out", out.path()});
    // Clock 2 of the bus is absent: some clocks failed.
    EXPECT_EQ(run.status, 6) << run.err;
    // The port column is as wide as the longest port name.
    const std::size_t width = std::max(bus.PtyPath().size(), office.PtyPath().size());
    const auto port = [&](const std::string& name) { return name + std::string(width - name.size(), ' '); };
    EXPECT_TRUE(Contains(run.out, port("port") + "  clock  records  flagged  status\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, port(bus.PtyPath()) + "      2        0        0  communication error\n"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, port(office.PtyPath()) + "      1       30        0  complete\n"))
        << run.out;

    // Each line's records once, in order, whichever line committed first.
    const auto number = [](const std::string& path) {
        return path.substr(path.find_last_not_of("0123456789") + 1);
    };
    DecodeSettings onBus, inOffice;
    onBus.com = number(bus.PtyPath());
    inOffice.com = number(office.PtyPath());
    inOffice.vireo = true;
    std::vector<std::string> fromBus, fromOffice;
    for (const std::string& line : Published(out.path(), "Dump"))
        (line.find("X", 6) == 14 ? fromBus : fromOffice).push_back(line);
    EXPECT_EQ(fromBus, ExpectedDump(SimRecords(bus), 0, 40, onBus));
    EXPECT_EQ(fromOffice, ExpectedDump(SimRecords(office), 0, 30, inOffice));

    // One port on two lines is refused before anything is sent, naming both
    // lines, however the port is written. Fault caught: only the same
    // spelling was seen; two spellings ran two lines on one port.
    const std::string link = Link(bus, {}).at(1);
    const std::size_t commandsBefore = CommandsTo(bus, 1);
    const struct {
        std::string first, second;
    } twice[] = {
        {bus.PtyPath(), bus.PtyPath()},
        {"COM7", "com7"},
        {"COM7", bus.PtyPath()},  // the ports folder links COM7 to the bus
        {"COM1", "/dev/ttyS0"},
        {"socket://LocalHost:4001", "socket://127.0.0.1:4001"},
        {"rfc2217://127.0.0.1:04001", "socket://localhost:4001/"},
    };
    for (const auto& c : twice) {
        WriteFile(dir / "bad", "# one port twice\n" + c.first + " rs232 1 9600 standard\n" + c.second +
                                   " rs232 1 9600 standard\n");
        CliRun refused =
            RunCli({"download", "--new", "--site", dir / "bad", "--out", out.path(), "--ports-dir", link});
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_TRUE(Contains(refused.err, dir / "bad" + " line 3: the port")) << refused.err;
        EXPECT_TRUE(Contains(refused.err, "line 2")) << refused.err;
    }
    EXPECT_EQ(CommandsTo(bus, 1), commandsBefore);
}

// A site that feeds only the central database turns publication off. Faults
// caught: every run left Dump-*.Txt files nobody takes; turning it on again
// must publish only what comes from then on, or the backlog once when asked.
TEST(CliCollection, PublicationOffKeepsRecordsInTheStoreAndOnAgainPublishesFromThenOnOrTheBacklogOnce)
{
    SimProcess bus({"--bus", "rs485", "--clocks", "1-3", "--records", "30", "--flagged-rate", "0.1"});
    TempDir out;
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--out", out.path()});
        CliRun r = RunCli(args[0] == "download" ? Link(bus, args) : args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    const auto clocks = [&](const std::string& list) {
        run({"download", "--new", "--bus", "rs485", "--clocks", list});
    };
    // Said before the first collection: the store is made for it.
    run({"site", "--publication", "off"});
    clocks("1");
    EXPECT_EQ(Published(out.path(), "Dump").size() + Published(out.path(), "BadRecs").size(), 0u);
    EXPECT_TRUE(
        Contains(run({"clocks"}).out, "publication off after record 0 (no Dump-*.Txt files; 30 records"));
    EXPECT_EQ(Lines(run({"export", "--clock", "1"}).out), AllDumpLines(bus, 1));
    // On: clock 2's records, collected from then on, go out; clock 1's never.
    EXPECT_TRUE(
        Contains(run({"site", "--publication", "on"}).err, "the 30 records collected while it was off"));
    clocks("1,2");
    // Off again, then on with the backlog: clock 3's records go out, once.
    run({"site", "--publication", "off"});
    clocks("3");
    run({"site", "--publication", "on", "--backlog"});
    clocks("1-3");
    clocks("1-3");
    const std::vector<std::string> published = Published(out.path(), "Dump");
    EXPECT_TRUE(LinesOfClock(published, 1).empty());
    EXPECT_EQ(LinesOfClock(published, 2), AllDumpLines(bus, 2));
    EXPECT_EQ(LinesOfClock(published, 3), AllDumpLines(bus, 3));
}

// ---- converters on the network: ser2net (RFC 2217) and socat (raw TCP) -------

TEST(CliNetwork, RecordsArriveWholeThroughEachConverterAndAPortsFile)
{
    for (ConverterKind kind : {ConverterKind::Rfc2217, ConverterKind::Socat}) {
        SimProcess sim({"--bus", "rs485", "--clocks", "12", "--records", "120", "--flagged-rate", "0.05"});
        Converter converter(kind, sim.PtyPath());
        SCOPED_TRACE(converter.Url());
        TempDir out;
        DecodeSettings settings;
        settings.clock = "12";
        // A URL carries the number it ends in, as a device path does; a
        // ports file COM7 naming the converter carries 7.
        for (const bool portsFile : {false, true}) {
            std::vector<std::string> args{"download", "--bus",   "rs485",        "--clock",
                                          "12",       "--count", "100",          "--out",
                                          out.path(), "--port",  converter.Url()};
            if (portsFile) {
                std::ofstream(sim.PortDirectory() + "/COM7", std::ios::trunc) << converter.Url() << "\n";
                args = Link(sim, std::vector<std::string>(args.begin(), args.end() - 2));
            }
            settings.com = portsFile ? "7" : std::to_string(converter.Port());
            CliRun run = RunCli(args);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, "total 120\nread 100\n");
            EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")),
                      ExpectedDump(SimRecords(sim, "12"), 0, 100, settings));
        }
    }
}

TEST(CliNetwork, AConverterKilledMidDownloadEndsTheRunWithWholeLinesAndTheNextRunConnectsAgain)
{
    for (ConverterKind kind : {ConverterKind::Rfc2217, ConverterKind::Socat}) {
        // Paced at 2400 baud a record takes a tenth of a second, so the kill
        // comes in the middle of the run.
        SimProcess sim({"--records", "2000", "--baud", "2400", "--line-rate"});
        Converter converter(kind, sim.PtyPath(), 2400);
        SCOPED_TRACE(converter.Url());
        TempDir out, logs;
        CliProcess cli(
            {"download", "--port", converter.Url(), "--baud", "2400", "--count", "2000", "--out", out.path()},
            logs);
        for (int i = 0; i < 3000 && Lines(ReadWholeFile(out / "Dump.Txt")).size() < 3; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        converter.Kill();
        const auto killed = std::chrono::steady_clock::now();
        CliRun run = cli.Wait();
        // A port error when the end is seen, a communication error when the
        // answer it cut was all that was missing; never a hang.
        EXPECT_TRUE(run.status == 5 || run.status == 3) << run.status << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(7));
        // The failure names the converter's address.
        if (run.status == 5) {
            EXPECT_TRUE(Contains(run.err, converter.Url() + ", RS-232, clock 1: ReadFile function failed"))
                << run.err;
        }
        const std::vector<std::string> lines = Lines(ReadWholeFile(out / "Dump.Txt"));
        ASSERT_GE(lines.size(), 3u);
        DecodeSettings settings;
        settings.com = std::to_string(converter.Port());
        EXPECT_EQ(lines, ExpectedDump(SimRecords(sim), 0, lines.size(), settings));

        converter.Start();
        CliRun next = RunCli({"pointers", "--port", converter.Url(), "--baud", "2400"});
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(next.out, "ARI 0\nAWI 2000\n");
    }
}

TEST(CliNetwork, AddressesThatCannotBeUsedAreBadInputNamedWithTheirPort)
{
    TempDir ports, mapped, broken, site;
    std::ofstream(ports / "COM3") << "rfc2217://no-such-host.invalid:4001\n";
    std::ofstream(site / "site") << "socket://no-such-host.invalid:4001 rs232 1 9600 standard\n";
    // ports.txt as Notepad's "Unicode" saves it (UTF-16 LE with its mark)
    // wins over ports/COM3; one line that does not read refuses the file.
    std::ofstream(mapped / "COM3") << "rfc2217://no-such-host.invalid:4001\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("# converters\r\ncom3  rfc2217://no-such-host.invalid:4002\r\n"))
        utf16 += {c, '\0'};
    std::ofstream(mapped / "ports.txt", std::ios::binary) << utf16;
    std::ofstream(broken / "ports.txt") << "\xEF\xBB\xBF# converters\nCOM7 rfc2217//10.0.0.5:4001\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"--port", "ftp://10.0.0.5:21"}, 2, "--port: 'ftp://10.0.0.5:21': unknown scheme 'ftp://'"},
        {{"--port", "socket://no-such-host.invalid:4001"},
         2,
         "clockreader-cli: socket://no-such-host.invalid:4001: host 'no-such-host.invalid' does not resolve"},
        // The same line of a site file: the same refusal. Fault caught: a
        // site's line failed at its open as a port error (5).
        {{"download", "--new", "--out", ports.path(), "--site", site / "site"},
         2,
         "clockreader-cli: socket://no-such-host.invalid:4001: host 'no-such-host.invalid' does not resolve"},
        {{"--ports-dir", ports.path(), "--port", "COM3"},
         2,
         "COM3 -> rfc2217://no-such-host.invalid:4001: host"},
        {{"--ports-dir", mapped.path(), "--port", "COM3"},
         2,
         "COM3 -> rfc2217://no-such-host.invalid:4002: host"},
        {{"--ports-dir", broken.path(), "--port", "COM3"},
         2,
         broken / "ports.txt" + " line 2: 'rfc2217//10.0.0.5:4001' is not a converter's URL"},
        {{"--port", "socket://127.0.0.1:" + std::to_string(FreeLoopbackPort())},
         5,
         ": Unable to open com port (Connection refused); the converter refused the connection"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args;
        if (c.args[0].starts_with("--")) args.push_back("pointers");
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, c.status) << c.args.back() << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
}

// ---- a clock known by what it holds, a ring believed once checked ---------

TEST(CliCollection, AClockIsKnownByWhatItHoldsNotByHowItsPortIsSpelled)
{
    // 300 records whose newest the clock flags: a flagged answer names no
    // clock, so the clock must be told by its good records.
    TempDir files;
    const std::string newestFlagged = files / "records.txt";
    {
        std::ofstream out(newestFlagged);
        char payload[32];
        for (int i = 0; i < 300; ++i) {
            std::snprintf(payload, sizeof payload, "%08d%04d%02d%02d01%02d%d", 10000 + i, 901 + i % 15,
                          8 + i % 10, i % 60, i % 7, i % 10);
            out << (i == 299 ? "!" : "") << payload << "\n";
        }
    }
    enum class Then { SameDevice, Converter, Replaced };
    struct Case {
        const char* name;
        std::vector<std::string> simArgs;
        Then then;
        const char* says;
    };
    const Case cases[] = {
        {"the device spelled as its path",
         {"--records", "600"},
         Then::SameDevice,
         "nothing new since the last run"},
        {"the clock behind a converter",
         {"--records", "600"},
         Then::Converter,
         "the clock known before as COM7"},
        {"another clock with more records",
         {"--records", "300", "--replace-records", "500"},
         Then::Replaced,
         "it was replaced, cleared or reset"},
        {"the clock cleared, fewer records since",
         {"--records", "300", "--replace-records", "100"},
         Then::Replaced,
         "it was replaced, cleared or reset"},
        // Not a new clock, whose whole ring would be read and published again.
        {"the newest record flagged, answered in another form",
         {"--records-file", newestFlagged, "--flagged-forms", "3"},
         Then::Converter,
         "the clock known before as COM7"},
        // Not the same clock, whose older records would never be read.
        {"replaced by a clock that flags the same newest position",
         {"--records-file", newestFlagged, "--replace-records", "500", "--replace-keeps-flagged"},
         Then::Replaced,
         "it was replaced, cleared or reset"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimProcess sim(c.simArgs);
        TempDir out;
        ASSERT_EQ(RunCli(Link(sim, {"download", "--new", "--out", out.path()})).status, 0);
        std::unique_ptr<Converter> converter;
        std::vector<std::string> again = Link(sim, {"download", "--new", "--out", out.path()});
        if (c.then == Then::SameDevice)
            again = {"download", "--new", "--out", out.path(), "--port", sim.PtyPath()};
        if (c.then == Then::Converter) {
            converter = std::make_unique<Converter>(ConverterKind::Socat, sim.PtyPath());
            again = {"download", "--new", "--out", out.path(), "--port", converter->Url() + "/"};
        }
        if (c.then == Then::Replaced) sim.Replace();
        CliRun run = RunCli(again);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
        // Each record of each clock the port met, once, in order.
        std::vector<std::string> expected;
        for (const SimLife& life : sim.ExpectedLives())
            for (const std::string& line :
                 ExpectedDump(life.records, 0, life.records.size(), DecodeSettings{}))
                expected.push_back(line);
        EXPECT_EQ(Published(out.path(), "Dump"), expected);
    }
}

TEST(CliCollection, NoisyPointerAnswersNeverBecomeRecords)
{
    // A digit of some pointer and counter answers is spoilt; on RS-485 the
    // check byte tells, on RS-232 only a second answer.
    const std::vector<std::string> noise = {"--records",    "200", "--faults",      "pointer-noise=0.15",
                                            "--fault-seed", "3",   "--punch-every", "40",
                                            "--punches",    "20"};
    for (bool bus : {false, true}) {
        SCOPED_TRACE(bus ? "rs485" : "rs232");
        std::vector<std::string> simArgs = noise, cliArgs;
        if (bus) {
            simArgs.insert(simArgs.end(), {"--bus", "rs485", "--clocks", "1,2"});
            cliArgs = {"--bus", "rs485", "--clocks", "1,2"};
        }
        SimProcess sim(simArgs);
        TempDir out;
        std::vector<std::string> args = Link(sim, {"download", "--new", "--out", out.path()});
        args.insert(args.end(), cliArgs.begin(), cliArgs.end());
        // Runs while punches arrive, until two have read every clock whole
        // after the last punch.
        for (int run = 0, done = 0; done < 2; ++run) {
            ASSERT_LT(run, 40);
            const bool allPunched = sim.ExpectedRecords(1).size() >= 220;
            CliRun r = RunCli(args);
            // A clock whose pointers never agreed is a communication error.
            ASSERT_TRUE(r.status == 0 || r.status == 3 || r.status == 6) << r.err;
            done += allPunched && r.status == 0;
        }
        for (int clock : bus ? std::vector<int>{1, 2} : std::vector<int>{1})
            EXPECT_EQ(LinesOfClock(Published(out.path(), "Dump"), clock), AllDumpLines(sim, clock));
    }
}

TEST(CliCollection, APlainSweepWithoutACountReadsEveryRecordOfEachClock)
{
    // More than the window's default count of 19500.
    SimProcess sim({"--bus", "rs485", "--clocks", "1,2", "--records", "19600"});
    TempDir out;
    CliRun run = RunCli(Link(sim, {"download", "--bus", "rs485", "--clocks", "1,2", "--out", out.path()}));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(ReadWholeFile(out / "Dump.Txt"));
    for (int clock : {1, 2}) EXPECT_EQ(LinesOfClock(lines, clock), AllDumpLines(sim, clock));
}

TEST(CliCollection, AFullRingReadWhilePunchesArriveHoldsEveryPunchOnce)
{
#ifdef CLOCKREADER_SANITIZED
    GTEST_SKIP() << "a whole ring is read by the plain build's tests";
#endif
    // One punch each 20 ms, then one each millisecond, while the whole ring
    // of a full clock is read (unpaced: the reader overtakes the writer).
    for (const char* every : {"20", "1"}) {
        SCOPED_TRACE(every);
        const int punches = std::string(every) == "20" ? 300 : 2000;
        SimProcess sim({"--records", "253579", "--punch-every", every, "--punches", std::to_string(punches)});
        TempDir out;
        const std::vector<std::string> args = Link(sim, {"download", "--new", "--out", out.path()});
        // A whole ring takes its time on a busy machine.
        CliRun first = RunCli(args, {}, std::chrono::seconds(250));
        ASSERT_EQ(first.status, 0) << first.err;
        for (int i = 0; i < 3000 && sim.ExpectedRecords(1).size() < 253579u + punches; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        CliRun last = RunCli(args);
        ASSERT_EQ(last.status, 0) << last.err;

        // Every punch once; an old record only where no punch overwrote it
        // first, and never twice.
        const std::vector<SimRecord> records = sim.ExpectedRecords(1);
        const std::vector<std::string> all = ExpectedDump(records, 0, records.size(), DecodeSettings{});
        const std::vector<std::string> made =
            ExpectedDump(records, 253579, records.size() - 253579, DecodeSettings{});
        std::multiset<std::string> published;
        for (std::string& line : Published(out.path(), "Dump")) published.insert(std::move(line));
        std::multiset<std::string> expected(all.begin(), all.end());
        for (const std::string& line : made) {
            ASSERT_GE(published.count(line), std::multiset<std::string>(made.begin(), made.end()).count(line))
                << "a punch was lost: " << line;
        }
        for (const std::string& line : published)
            ASSERT_LE(published.count(line), expected.count(line)) << "published twice: " << line;
        EXPECT_LE(expected.size() - published.size(), static_cast<std::size_t>(punches));
    }
}

TEST(CliCollection, AStoreThatIsNotWhatItWasIsRefusedWithEverythingUnchanged)
{
    SimProcess sim({"--records", "100", "--replace-records", "200"});
    TempDir out, keep;
    const std::vector<std::string> collect = Link(sim, {"download", "--new", "--out", out.path()});
    ASSERT_EQ(RunCli(collect).status, 0);
    // A copy while nothing runs, and what the store says of its clock.
    ASSERT_EQ(RunCli({"backup", "--out", out.path(), "--file", keep / "copy.db"}).status, 0);
    EXPECT_EQ(RunCli({"backup", "--out", out.path(), "--file", keep / "copy.db"}).status, 1);
    CliRun clocks = RunCli({"clocks", "--out", out.path()});
    EXPECT_EQ(clocks.status, 0) << clocks.err;
    EXPECT_TRUE(Contains(clocks.out, "    1  rs232        1     1            100      100")) << clocks.out;
    sim.Replace();
    ASSERT_EQ(RunCli(collect).status, 0);
    EXPECT_EQ(RunCli({"verify", "--out", out.path()}).status, 0);

    struct Case {
        const char* name;
        std::function<void()> make;
        const char* says;
    };
    const std::string store = out / "Punches.db";
    const std::string good = ReadWholeFile(store);
    const Case cases[] = {
        {"put back from an older copy",
         [&] { fs::copy_file(keep / "copy.db", store, fs::copy_options::overwrite_existing); },
         "it was put back from an older copy"},
        {"an empty file", [&] { fs::resize_file(store, 0); }, "empty file"},
        {"removed", [&] { fs::remove(store); }, "is missing"},
        {"damaged",
         [&] {
             WriteFile(store, good);
             std::fstream file(store, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(2 * 4096);
             file << std::string(48, '\xff');
         },
         "damaged"},
        // 14 bytes inside one record's raw contents, found by their text:
        // every page stays well formed; only the record's checksum tells.
        {"damaged inside a record",
         [&] {
             std::string bytes = good;
             const std::size_t at = bytes.find(SimRecords(sim)[150].payload);
             ASSERT_NE(at, std::string::npos);
             WriteFile(store, bytes.replace(at, 14, std::string(14, '#')));
         },
         "does not match its checksum"},
    };
    const std::vector<std::string> push = {"push", "--out", out.path(), "--to",
                                           "postgresql://127.0.0.1:1/none"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const bool exists = fs::exists(store);
        const std::string before = exists ? ReadWholeFile(store) : "";
        const std::size_t published = Published(out.path(), "Dump").size();
        CliRun run = RunCli(collect);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
        EXPECT_EQ(fs::exists(store), exists);
        if (exists) {
            EXPECT_EQ(ReadWholeFile(store), before);
        }
        EXPECT_EQ(Published(out.path(), "Dump").size(), published);
        // A damaged store: verify says where, export and push refuse.
        if (Contains(c.name, "damaged")) {
            for (const std::vector<std::string>& refused :
                 {std::vector<std::string>{"verify", "--out", out.path()},
                  {"export", "--out", out.path()},
                  push}) {
                run = RunCli(refused);
                EXPECT_EQ(run.status, 2) << refused[0] << ": " << run.err;
                EXPECT_TRUE(Contains(run.err, c.says)) << refused[0] << ": " << run.err;
            }
            EXPECT_TRUE(ReadWholeFile(store) == before) << "the damaged store was written to";
        }
    }

    // A run killed while it made the store leaves the empty file SQLite
    // creates, or the bare header of the write-ahead log; where nothing was
    // ever published, the next run makes the store anew instead of refusing
    // that folder for good.
    for (const bool header : {false, true}) {
        SCOPED_TRACE(header ? "a bare header" : "an empty file");
        TempDir fresh;
        WriteFile(fresh / "Punches.db", "");
        if (header) {
            sqlite3* db = nullptr;
            sqlite3_open(std::string(fresh / "Punches.db").c_str(), &db);
            sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            ASSERT_EQ(fs::file_size(fresh / "Punches.db"), 4096u);
        }
        CliRun run = RunCli(Link(sim, {"download", "--new", "--out", fresh.path()}));
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.err, "made anew")) << run.err;
        EXPECT_EQ(Published(fresh.path(), "Dump").size(),
                  200u - FlaggedAmong(sim.ExpectedRecords(1), 0, 200));
    }

    // The store as it was, exported from a folder that may not be written.
    WriteFile(store, good);
    fs::permissions(out.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    Launch nobody;
    nobody.asNobody = true;
    CliRun exported = RunCli({"export", "--out", out.path()}, nobody);
    fs::permissions(out.path(), fs::perms::owner_all);
    if (exported.status == 126) GTEST_SKIP() << "cannot become uid 65534";
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(Lines(exported.out).size(), 300u - FlaggedAmong(sim.ExpectedLives()[0].records, 0, 100) -
                                              FlaggedAmong(sim.ExpectedRecords(1), 0, 200));
}
