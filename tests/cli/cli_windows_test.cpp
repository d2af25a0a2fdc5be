// clockreader-cli.exe as Windows runs it (here under Wine): a child process
// with a console of its own, its standard output and error in files, against
// clocksim on a COM port; judged by exit status, output, the files it writes
// and what reached the clock's wire.
#include <algorithm>
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"
#include "utils/utf8path.h"
#include "winebridgeclient.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder, its name in Persian letters, removed at the end.
class TempDir {
public:
    TempDir()
    {
        static int serial = 0;
        m_path = Utf8FromPath(fs::temp_directory_path()) + "\\\u062f\u0627\u062f\u0647-" +
                 std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++);
        fs::remove_all(PathFromUtf8(m_path));
        fs::create_directories(PathFromUtf8(m_path));
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(PathFromUtf8(m_path), ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::wstring Wide(const std::string& utf8) { return PathFromUtf8(utf8).wstring(); }

std::string ReadFile(const std::string& path)
{
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct CliRun {
    DWORD status = 0;
    std::string out, err;
};

// The program started with `args` in `workDir`, in a console of its own so
// that Ctrl+C can be sent to it alone.
class CliProcess {
public:
    CliProcess(const std::string& program, const std::vector<std::string>& args, const TempDir& logs,
               const std::string& workDir = "")
        : m_outPath(logs / "stdout"), m_errPath(logs / "stderr")
    {
        std::wstring command = L"\"" + Wide(program) + L"\"";
        for (const std::string& arg : args) command += L" \"" + Wide(arg) + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        auto create = [&](const std::string& path) {
            return CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                               nullptr);
        };
        HANDLE out = create(m_outPath), err = create(m_errPath);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        startup.hStdInput = INVALID_HANDLE_VALUE;
        startup.hStdOutput = out;
        startup.hStdError = err;
        const std::wstring dir = Wide(workDir);
        const bool started =
            CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                           workDir.empty() ? nullptr : dir.c_str(), &startup, &m_process);
        CloseHandle(out);
        CloseHandle(err);
        if (!started) throw std::runtime_error("cannot start " + program);
        CloseHandle(m_process.hThread);
    }
    ~CliProcess()
    {
        if (m_process.hProcess == nullptr) return;
        TerminateProcess(m_process.hProcess, 1);
        CloseHandle(m_process.hProcess);
    }

    // Ctrl+C in the program's console, as the operator presses it there.
    void PressCtrlC()
    {
        FreeConsole();
        ASSERT_TRUE(AttachConsole(m_process.dwProcessId));
        SetConsoleCtrlHandler(nullptr, TRUE);  // not for this test itself
        EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
        FreeConsole();
    }

    CliRun Wait()
    {
        CliRun run;
        if (WaitForSingleObject(m_process.hProcess, 90000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "clockreader-cli did not end";
        GetExitCodeProcess(m_process.hProcess, &run.status);
        // Standard output is in text mode, as on Windows it should be: its
        // lines end in CR LF there.
        run.out = ReadFile(m_outPath);
        for (std::size_t at; (at = run.out.find("\r\n")) != std::string::npos;) run.out.erase(at, 1);
        run.err = ReadFile(m_errPath);
        return run;
    }

private:
    PROCESS_INFORMATION m_process{};
    std::string m_outPath, m_errPath;
};

const std::string kCli = WindowsPathOf(CLOCKREADER_CLI_PATH);

CliRun RunCli(const std::vector<std::string>& args, const std::string& program = kCli)
{
    TempDir logs;
    return CliProcess(program, args, logs).Wait();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(text.substr(begin, end - begin));
    EXPECT_EQ(begin, text.size()) << "a line without its CR LF";
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
    TempDir programDir, workDir, logs;
    const std::string program = programDir / "clockreader-cli.exe";
    fs::copy_file(PathFromUtf8(kCli), PathFromUtf8(program));

    CliRun run = CliProcess(program, {"download", "--port", Port(sim), "--start", "5", "--count", "120"},
                            logs, workDir.path())
                     .Wait();
    ASSERT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(run.out, "total 200\nread 120\n");
    EXPECT_EQ(Lines(ReadFile(workDir / "Dump.Txt")), ExpectedDump(sim, 5, 120));
    EXPECT_TRUE(Contains(sim.ReadWireLog(), "AUR=00005"));

    const std::string named = workDir / "\u062e\u0631\u0648\u062c\u06cc";
    run = RunCli({"download", "--port", Port(sim), "--count", "10", "--out", named}, program);
    ASSERT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(Lines(ReadFile(named + "\\Dump.Txt")), ExpectedDump(sim, 0, 10));
}

TEST(CliOnWindows, BadPortsAndOutputFoldersReachNoClock)
{
    SimProcess sim({"--records", "50"});
    TempDir out;
    std::ofstream(PathFromUtf8(out / "file")) << "x";

    CliRun absent = RunCli({"pointers", "--port", "COM250"});
    EXPECT_EQ(absent.status, 5u) << absent.err;
    EXPECT_TRUE(Contains(absent.err, "Unable to open com port (win error code: 2)")) << absent.err;

    CliRun letters = RunCli({"pointers", "--port", "COMx"});
    EXPECT_EQ(letters.status, 2u) << letters.err;
    EXPECT_TRUE(Contains(letters.err, "--port")) << letters.err;

    for (const std::string& folder : {out / "file\\sub", std::string("Q:\\no-such-drive")}) {
        CliRun run = RunCli({"download", "--port", Port(sim), "--out", folder});
        EXPECT_EQ(run.status, 1u) << folder << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, "--out")) << run.err;
    }
    EXPECT_EQ(sim.ReadWireLog(), "");
}

// The device going away in the middle: the failure is reported and every
// line written before it stays.
TEST(CliOnWindows, DeviceGoneMidwayKeepsTheLinesWritten)
{
    SimProcess sim({"--records", "300", "--faults", "hangup-after=60"});
    TempDir out;
    CliRun run = RunCli({"download", "--port", Port(sim), "--count", "300", "--out", out.path()});
    EXPECT_NE(run.status, 0u);
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
    TempDir out, logs;
    CliProcess cli(
        kCli, {"download", "--port", Port(sim), "--baud", "2400", "--count", "2000", "--out", out.path()},
        logs);
    for (int i = 0; i < 3000 && Lines(ReadFile(out / "Dump.Txt")).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    cli.PressCtrlC();
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 130u) << run.err;
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
    TempDir work;
    const std::string out = work / "\u062e\u0631\u0648\u062c\u06cc";
    CliRun first = RunCli({"download", "--new", "--port", Port(sim), "--out", out});
    ASSERT_EQ(first.status, 0u) << first.err;
    CliRun again = RunCli({"download", "--new", "--port", Port(sim), "--out", out});
    EXPECT_EQ(again.status, 0u) << again.err;
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
    ASSERT_EQ(exported.status, 0u) << exported.err;
    EXPECT_EQ(Lines(ReadFile(csv)).size(), 201u);
    CliRun dump = RunCli({"export", "--out", out});
    ASSERT_EQ(dump.status, 0u) << dump.err;
    std::string expected;
    for (const std::string& line : ExpectedDump(sim, 0, 200)) expected += line + "\n";
    EXPECT_EQ(dump.out, expected);
}

// A clock behind a raw TCP converter (socat on this machine's loopback),
// reached through Winsock.
TEST(CliOnWindows, ReachesAClockBehindAConverter)
{
    SimProcess sim({"--records", "60"});
    WineBridge converter({"converter", sim.PtyPath()});
    const std::string url = "socket://127.0.0.1:" + converter.FirstLine();
    TempDir out;
    CliRun run = RunCli({"download", "--port", url, "--count", "60", "--out", out.path()});
    ASSERT_EQ(run.status, 0u) << run.err;
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
