// clockreader-cli.exe as Windows runs it (here under Wine): a child process
// with a console of its own, its standard output and error in files, against
// clocksim on a COM port; judged by exit status, output, the files it writes
// and what reached the clock's wire.
#include <algorithm>
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "clirun.h"
#include "dumplines.h"
#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"
#include "tempdir.h"
#include "utils/utf8path.h"
#include "winebridgeclient.h"

namespace {

namespace fs = std::filesystem;

// Every folder of these tests has a name in Persian letters.
const std::string kFolderPrefix = "\u062f\u0627\u062f\u0647";

std::string ReadFile(const std::string& path) { return ReadWholeFile(path); }

const std::string kCli = WindowsPathOf(kCliPath);

// The program started with `args` in `workDir`, its output in `logs`.
ChildProcess StartCli(const std::vector<std::string>& args, const TempDir& logs,
                      const std::string& program = kCli, const std::string& workDir = "")
{
    return ChildProcess(CliArgv(program, args), CliOutPath(logs), CliErrPath(logs), workDir);
}

CliRun Finish(ChildProcess& cli, const TempDir& logs)
{
    CliRun run = CliRunOf(cli.Wait(std::chrono::seconds(90)), logs);
    EXPECT_FALSE(run.hung) << "clockreader-cli did not end";
    // Standard output is in text mode, as on Windows it should be: its
    // lines end in CR LF there.
    for (std::size_t at; (at = run.out.find("\r\n")) != std::string::npos;) run.out.erase(at, 1);
    return run;
}

CliRun RunCli(const std::vector<std::string>& args, const std::string& program = kCli,
              const std::string& workDir = "")
{
    TempDir logs(kFolderPrefix);
    ChildProcess cli = StartCli(args, logs, program, workDir);
    return Finish(cli, logs);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::string rest;
    std::vector<std::string> lines = CrLfLines(text, &rest);
    EXPECT_EQ(rest, "") << "a line without its CR LF";
    return lines;
}

// The dump lines of records `first` .. `first + count - 1` of clock 1 of the
// sim, as the Linux build decodes them (clocksim's default Solar date).
std::vector<std::string> ExpectedDump(const SimProcess& sim, std::size_t first, std::size_t count)
{
    const std::vector<SimRecord> records = sim.ExpectedRecords(1);
    FakeWindow window;
    window.com = std::to_string(sim.ComNumber());
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1405/09/16";
    std::vector<std::string> lines;
    for (std::size_t i = first; i < first + count && i < records.size(); ++i)
        if (!records[i].flagged) lines.push_back(DecodeRecord(window, run, records[i].payload));
    return lines;
}

std::string Port(const SimProcess& sim) { return "COM" + std::to_string(sim.ComNumber()); }

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

}  // namespace

// Paths and arguments with Persian letters reach the system whole: the
// program run from a folder so named, into another one, given as "." and
// by name.
TEST(CliOnWindows, DownloadsEveryRecordIntoFoldersWithPersianNames)
{
    SimProcess sim({"--records", "200", "--flagged-rate", "0.05"});
    TempDir programDir(kFolderPrefix), workDir(kFolderPrefix);
    const std::string program = programDir / "clockreader-cli.exe";
    fs::copy_file(PathFromUtf8(kCli), PathFromUtf8(program));

    CliRun run =
        RunCli({"download", "--port", Port(sim), "--start", "5", "--count", "120"}, program, workDir.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "total 200\nread 120\n");
    EXPECT_EQ(Lines(ReadFile(workDir / "Dump.Txt")), ExpectedDump(sim, 5, 120));
    EXPECT_TRUE(Contains(sim.ReadWireLog(), "AUR=00005"));

    const std::string named = workDir / "\u062e\u0631\u0648\u062c\u06cc";
    run = RunCli({"download", "--port", Port(sim), "--count", "10", "--out", named}, program);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(ReadFile(named + "\\Dump.Txt")), ExpectedDump(sim, 0, 10));
}

TEST(CliOnWindows, BadPortsAndOutputFoldersReachNoClock)
{
    SimProcess sim({"--records", "50"});
    TempDir out(kFolderPrefix);
    std::ofstream(PathFromUtf8(out / "file")) << "x";

    CliRun absent = RunCli({"pointers", "--port", "COM250"});
    EXPECT_EQ(absent.status, 5) << absent.err;
    EXPECT_TRUE(Contains(absent.err, "there is no serial port COM250 on this computer; Device Manager lists"))
        << absent.err;

    CliRun letters = RunCli({"pointers", "--port", "COMx"});
    EXPECT_EQ(letters.status, 2) << letters.err;
    EXPECT_TRUE(Contains(letters.err, "--port")) << letters.err;

    for (const std::string& folder : {out / "file\\sub", std::string("Q:\\no-such-drive")}) {
        CliRun run = RunCli({"download", "--port", Port(sim), "--out", folder});
        EXPECT_EQ(run.status, 1) << folder << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, "--out")) << run.err;
    }
    EXPECT_EQ(sim.ReadWireLog(), "");
}

// The device going away in the middle: the failure is reported and every
// line written before it stays.
TEST(CliOnWindows, DeviceGoneMidwayKeepsTheLinesWritten)
{
    SimProcess sim({"--records", "300", "--faults", "hangup-after=60"});
    TempDir out(kFolderPrefix);
    CliRun run = RunCli({"download", "--port", Port(sim), "--count", "300", "--out", out.path()});
    EXPECT_NE(run.status, 0);
    EXPECT_TRUE(Contains(run.err, "function failed (win error code: ")) << run.err;
    const std::vector<std::string> lines = Lines(ReadFile(out / "Dump.Txt"));
    EXPECT_GE(lines.size(), 50u);
    EXPECT_EQ(lines, ExpectedDump(sim, 0, lines.size()));
}

// Ctrl+C stops the download after the current record, with everything read
// so far on disk, and the program ends with status 130 as after SIGINT.
TEST(CliOnWindows, CtrlCStopsAfterTheCurrentRecord)
{
    SimProcess sim({"--records", "2000", "--baud", "2400", "--line-rate"});
    TempDir out(kFolderPrefix), logs(kFolderPrefix);
    ChildProcess cli = StartCli(
        {"download", "--port", Port(sim), "--baud", "2400", "--count", "2000", "--out", out.path()}, logs);
    for (int i = 0; i < 3000 && Lines(ReadFile(out / "Dump.Txt")).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cli.Signal(SIGINT);  // Ctrl+C in its console
    CliRun run = Finish(cli, logs);
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_TRUE(Contains(run.err, "stopping after the current record")) << run.err;
    const std::vector<std::string> lines = Lines(ReadFile(out / "Dump.Txt"));
    ASSERT_GE(lines.size(), 3u);
    ASSERT_LT(lines.size(), 2000u);
    EXPECT_EQ(lines, ExpectedDump(sim, 0, lines.size()));
    EXPECT_EQ(run.out, "total 2000\nread " + std::to_string(lines.size()) + "\n");
}

// Scheduled collection into a folder with a Persian name: the punch store,
// the published files and the store read again.
TEST(CliOnWindows, CollectsIntoThePunchStoreAndExportsIt)
{
    SimProcess sim({"--records", "200", "--flagged-rate", "0.05"});
    TempDir work(kFolderPrefix);
    const std::string out = work / "\u062e\u0631\u0648\u062c\u06cc";
    CliRun first = RunCli({"download", "--new", "--port", Port(sim), "--out", out});
    ASSERT_EQ(first.status, 0) << first.err;
    CliRun again = RunCli({"download", "--new", "--port", Port(sim), "--out", out});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(Contains(again.err, "nothing new since the last run")) << again.err;

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(out)))
        if (Utf8FromPath(entry.path().filename()).rfind("Dump-", 0) == 0)
            names.push_back(Utf8FromPath(entry.path()));
    std::sort(names.begin(), names.end());
    std::vector<std::string> published;
    for (const std::string& name : names)
        for (const std::string& line : Lines(ReadFile(name))) published.push_back(line);
    EXPECT_EQ(published, ExpectedDump(sim, 0, 200));

    const std::string csv = work / "records.csv";
    CliRun exported = RunCli({"export", "--out", out, "--format", "csv", "--file", csv});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(Lines(ReadFile(csv)).size(), 201u);
    CliRun dump = RunCli({"export", "--out", out});
    ASSERT_EQ(dump.status, 0) << dump.err;
    std::string expected;
    for (const std::string& line : ExpectedDump(sim, 0, 200)) expected += line + "\n";
    EXPECT_EQ(dump.out, expected);

    // Faults caught: a workbook in a Persian folder not written, one named
    // in Persian written under a garbled name; a file error given as a
    // number, naming the temporary file rather than the one given.
    TempDir ascii("export");
    for (const std::string format : {"csv", "daily", "dump", "xlsx"})
        for (const std::string& file :
             {work / ("a." + format), ascii / ("\u062d\u0636\u0648\u0631-\u00e9." + format)}) {
            CliRun run = RunCli({"export", "--out", out, "--format", format, "--file", file});
            EXPECT_EQ(run.status, 0) << file << "\n" << run.err;
            EXPECT_FALSE(ReadFile(file).empty()) << file;
        }
    const std::string status = work / "missing\\status.json";
    CliRun unwritten =
        RunCli({"download", "--new", "--port", Port(sim), "--out", out, "--status-file", status});
    EXPECT_TRUE(Contains(unwritten.err, "Cannot create " + status + ": ")) << unwritten.err;
    EXPECT_FALSE(Contains(unwritten.err, "win error code")) << unwritten.err;
}

// A clock behind a raw TCP converter (socat on this machine's loopback),
// reached through Winsock.
TEST(CliOnWindows, ReachesAClockBehindAConverter)
{
    SimProcess sim({"--records", "60"});
    WineBridge converter({"converter", sim.PtyPath()});
    const std::string url = "socket://127.0.0.1:" + converter.FirstLine();
    TempDir out(kFolderPrefix);
    CliRun run = RunCli({"download", "--port", url, "--count", "60", "--out", out.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(ReadFile(out / "Dump.Txt"));
    ASSERT_EQ(lines.size(), 60u);
    // The dump lines carry the number the address ends in, the TCP port.
    FakeWindow window;
    window.com = converter.FirstLine();
    DownloadRun decode;
    decode.ClockIsSolar = true;
    decode.ClockDateText = "1405/09/16";
    EXPECT_EQ(lines.front(), DecodeRecord(window, decode, sim.ExpectedRecords(1).front().payload));
}
