// clockreader-cli reaching clocksim through the converters sites use
// (ser2net with RFC 2217, socat with raw TCP) on the loopback address: the
// records that arrive, and what a converter that dies, comes back or never
// forwards anything leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "childprocess.h"
#include "converter.h"
#include "download/download.h"
#include "fakewindow.h"
#include "simprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/clockreader-net-test-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

struct CliRun {
    int status = -1;
    std::string out, err;
};

// The program started with `args`; its output goes to files in `logs`.
class Cli {
public:
    Cli(std::vector<std::string> args, const TempDir& logs)
        : m_logs(logs),
          m_process((args.insert(args.begin(), CLOCKREADER_CLI_PATH), args), logs / "out", logs / "err")
    {
    }
    CliRun Wait()
    {
        CliRun run;
        const ChildResult result = m_process.Wait(90s);
        run.status = result.status;
        EXPECT_FALSE(result.hung) << "clockreader-cli did not end";
        run.out = ReadWholeFile(m_logs / "out");
        run.err = ReadWholeFile(m_logs / "err");
        return run;
    }

private:
    const TempDir& m_logs;
    ChildProcess m_process;
};

CliRun RunCli(const std::vector<std::string>& args)
{
    TempDir logs;
    return Cli(args, logs).Wait();
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

// The dump lines of the first `count` records of clock `clock`, with `com`
// as the port number the lines carry.
std::vector<std::string> ExpectedDump(const SimProcess& sim, int clock, std::size_t count,
                                      const std::string& com)
{
    FakeWindow window;
    window.selectedClock = std::to_string(clock);
    window.com = com;
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1405/09/16";
    std::vector<std::string> lines;
    const std::vector<SimRecord> records = sim.ExpectedRecords(clock);
    for (std::size_t i = 0; i < count && i < records.size(); ++i)
        if (!records[i].flagged) lines.push_back(DecodeRecord(window, run, records[i].payload));
    return lines;
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(CliNetwork, RecordsArriveWholeThroughEachConverterAndAPortsFile)
{
    struct Case {
        ConverterKind kind;
        std::vector<std::string> bus;
        int clock;
    } cases[] = {
        {ConverterKind::Rfc2217, {"--bus", "rs485", "--clock", "12"}, 12},
        {ConverterKind::Socat, {"--bus", "rs232"}, 1},
    };
    for (const Case& c : cases) {
        SimProcess sim({"--bus", c.bus[1], "--clocks", std::to_string(c.clock), "--records", "120",
                        "--flagged-rate", "0.05"});
        Converter converter(c.kind, sim.PtyPath());
        SCOPED_TRACE(converter.Url());
        TempDir out, ports;
        std::vector<std::string> args = {"download", "--port", converter.Url(), "--count",
                                         "100",      "--out",  out.path()};
        args.insert(args.end(), c.bus.begin(), c.bus.end());
        CliRun run = RunCli(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "total 120\nread 100\n");
        // A URL carries the number it ends in, as a device path does.
        EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")),
                  ExpectedDump(sim, c.clock, 100, std::to_string(converter.Port())));

        // ports/COM7 naming the converter: the lines carry 7.
        std::ofstream(ports / "COM7") << converter.Url() << "\n";
        args = {"download", "--ports-dir", ports.path(), "--port",  "COM7",
                "--count",  "100",         "--out",      out.path()};
        args.insert(args.end(), c.bus.begin(), c.bus.end());
        run = RunCli(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Lines(ReadWholeFile(out / "Dump.Txt")), ExpectedDump(sim, c.clock, 100, "7"));
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
        Cli cli(
            {"download", "--port", converter.Url(), "--baud", "2400", "--count", "2000", "--out", out.path()},
            logs);
        for (int i = 0; i < 3000 && Lines(ReadWholeFile(out / "Dump.Txt")).size() < 3; ++i)
            std::this_thread::sleep_for(10ms);
        converter.Kill();
        const auto killed = std::chrono::steady_clock::now();
        CliRun run = cli.Wait();
        // A port error when the end is seen, a communication error when the
        // answer it cut was all that was missing; never a hang.
        EXPECT_TRUE(run.status == 5 || run.status == 3) << run.status << run.err;
        EXPECT_LT(std::chrono::steady_clock::now() - killed, 7s);
        if (run.status == 5)
            EXPECT_TRUE(Contains(run.err, converter.Url() + ": ReadFile function failed")) << run.err;
        const std::vector<std::string> lines = Lines(ReadWholeFile(out / "Dump.Txt"));
        ASSERT_GE(lines.size(), 3u);
        ASSERT_LT(lines.size(), 2000u);
        std::vector<std::string> expected = ExpectedDump(sim, 1, 2000, std::to_string(converter.Port()));
        expected.resize(lines.size());
        EXPECT_EQ(lines, expected);

        // Restarted, the converter serves the next run.
        converter.Start();
        CliRun next = RunCli({"pointers", "--port", converter.Url(), "--baud", "2400"});
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_TRUE(Contains(next.out, "ARI 0\nAWI 2000\n")) << next.out;
    }
}

TEST(CliNetwork, AConverterThatNeverForwardsCostsOneTimeOutAndAnHonestFailure)
{
    DeafConverter deaf;
    TempDir out;
    const auto start = std::chrono::steady_clock::now();
    CliRun run = RunCli({"download", "--port", deaf.Url("socket"), "--count", "10", "--out", out.path()});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 12s);
    EXPECT_EQ(run.out, "");
}

TEST(CliNetwork, AddressesThatCannotBeUsedAreBadInputNamedWithTheirPort)
{
    TempDir ports, out;
    std::ofstream(ports / "COM3") << "rfc2217://no-such-host.invalid:4001\n";
    std::ofstream(ports / "COM4") << "tcp://10.0.0.5:4001\n";
    const std::string refused = "socket://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    } cases[] = {
        {{"--port", "ftp://10.0.0.5:21"}, 2, "--port: 'ftp://10.0.0.5:21': unknown scheme 'ftp://'"},
        {{"--port", "rfc2217://10.0.0.5"}, 2, "no port number; write rfc2217://HOST:PORT"},
        {{"--port", "socket://no-such-host.invalid:4001"},
         2,
         "socket://no-such-host.invalid:4001: host 'no-such-host.invalid' does not resolve"},
        {{"--ports-dir", ports.path(), "--port", "COM3"},
         2,
         "COM3 -> rfc2217://no-such-host.invalid:4001: host"},
        {{"--ports-dir", ports.path(), "--port", "COM4"},
         2,
         "COM4 -> tcp://10.0.0.5:4001: unknown scheme 'tcp://'"},
        {{"--port", refused}, 5, ": Unable to open com port (win error code: 111)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"pointers"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, c.status) << c.args.back() << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
}
