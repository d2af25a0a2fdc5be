// Download throughput against clocksim.
//
// Each case downloads a fixed number of records with RunDownload, the same
// code the window runs, through a window that writes the two output files
// like the real one (a flushed line per record) and shows nothing. The
// record loop is timed from the moment the progress bar is set up to the
// last record counted, so the fixed cost of the counter, date and pointer
// commands stays out of the rate.
//
// With line-rate pacing the simulator sends every reply byte no sooner than
// the line could carry it, so a perfect reader is bound by the line: per
// record, the request and the reply at 10 bits a byte, plus the 1 ms pause
// after each byte of a multi-byte command that the program keeps at 57600
// baud. The ratio of that bound to the measured time says how close the
// program comes to the line. Without pacing the rate is the program's own.
//
// Usage: downloadbench [--quick]. Exits 1 when a goal is missed.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "download/download.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "utils/textfile.h"

namespace {

using Clock = std::chrono::steady_clock;

// A window with the two output files and nothing to show.
class BenchWindow : public ClockWindow {
public:
    BenchWindow(const std::string& directory, bool rs232, const std::string& baud, long long count)
        : m_rs232(rs232), m_baud(baud), m_count(std::to_string(count))
    {
        m_dump.Create(directory + "/Dump.Txt");
        m_bad.Create(directory + "/BadRecs.Txt");
    }

    bool IsRs232() const override { return m_rs232; }
    std::string SelectedClockText() const override { return "1"; }
    std::string ComText() const override { return std::to_string(SimProcess::kComNumber); }
    std::string BaudRateText() const override { return m_baud; }
    bool IsVireo() const override { return false; }
    std::string StartText() const override { return m_start; }
    void SetStartText(const std::string& text) override { m_start = text; }
    std::string CountText() const override { return m_count; }
    void SetCountText(const std::string& text) override { m_count = text; }
    std::string FromDateText() const override { return ""; }
    std::string ToDateText() const override { return ""; }
    void SetRecordTotalText(const std::string&) override {}
    void SetRecordsReadText(const std::string& text) override
    {
        if (!text.empty()) {
            m_loopEnd = Clock::now();
            m_recordsRead = std::stoll(text);
        }
    }
    void SetReadIndexText(const std::string&) override {}
    std::string ReadIndexText() const override { return ""; }
    void SetWriteIndexText(const std::string&) override {}
    std::string WriteIndexText() const override { return ""; }
    void SetProgressMaximum(std::int32_t) override { m_loopStart = Clock::now(); }
    void SetProgressPosition(std::int32_t position) override { m_position = position; }
    std::int32_t ProgressPosition() const override { return m_position; }
    void SetOperationButtonsEnabled(bool) override {}
    void SetWaitPanelVisible(bool) override {}
    void ProcessMessages() override {}
    bool StopRequested() const override { return false; }
    void ShowMessageBox(const std::string& text, const std::string&) override { Shown(text); }
    void ShowErrorDialog(const std::string& text) override { Shown(text); }
    void ShowInformationDialog(const std::string& text) override { Shown(text); }
    void ReportError(const std::exception& error) override { Shown(error.what()); }
    void WriteDumpLine(const std::string& line) override { m_dump.WriteLine(line); }
    void WriteBadRecordLine(const std::string& line) override { m_bad.WriteLine(line); }

    long long RecordsRead() const { return m_recordsRead; }
    double LoopSeconds() const { return std::chrono::duration<double>(m_loopEnd - m_loopStart).count(); }
    const std::string& Message() const { return m_message; }

private:
    void Shown(const std::string& text)
    {
        if (m_message.empty()) m_message = text;
    }

    bool m_rs232;
    std::string m_baud, m_count, m_start = "0", m_message;
    TextFile m_dump, m_bad;
    std::int32_t m_position = 0;
    long long m_recordsRead = 0;
    Clock::time_point m_loopStart{}, m_loopEnd{};
};

struct Case {
    bool rs232;
    int baud;  // 0: no pacing
    long long records;
};

// Bytes on the line per record: the NAK command and the reply frame (three
// SOH, three STX, the 21-character standard payload, check byte, CR).
constexpr int kReplyBytes = 3 + 3 + 21 + 1 + 1;
int RequestBytes(bool rs232) { return rs232 ? 1 : 4; }

// Seconds a perfect reader needs per record on the line. The simulator gets
// each command at once (a pty has no line time for it), so the full bound,
// request included, can be beaten; the bound without the request's bytes
// shows the program's own overhead.
double LineSecondsPerRecord(const Case& c, bool withRequest = true)
{
    const int request = RequestBytes(c.rs232);
    double seconds = ((withRequest ? request : 0) + kReplyBytes) * 10.0 / c.baud;
    if (c.baud == 57600 && request >= 2) seconds += request * 0.001;
    return seconds;
}

struct Result {
    double recordsPerSecond = 0;
    double ratio = 0, replyOnlyRatio = 0;
    std::string failure;
};

Result RunCase(const Case& c, const std::string& directory)
{
    std::vector<std::string> args{"--bus", c.rs232 ? "rs232" : "rs485", "--records",
                                  std::to_string(c.records + 10)};
    if (c.baud) {
        args.insert(args.end(), {"--baud", std::to_string(c.baud), "--line-rate"});
    }
    SimProcess sim(args, /*quiet=*/true);
    SetComPortDirectory(sim.PortDirectory());
    // Unpaced runs use 9600 so that no write pacing of the program's own applies.
    BenchWindow window(directory, c.rs232, std::to_string(c.baud ? c.baud : 9600), c.records);
    RunDownload(window);
    SetComPortDirectory("");

    Result result;
    if (!window.Message().empty())
        result.failure = window.Message();
    else if (window.RecordsRead() != c.records)
        result.failure = "read " + std::to_string(window.RecordsRead()) + " records";
    const double seconds = window.LoopSeconds();
    result.recordsPerSecond = seconds > 0 ? static_cast<double>(window.RecordsRead()) / seconds : 0;
    if (c.baud) {
        result.ratio = LineSecondsPerRecord(c) * static_cast<double>(window.RecordsRead()) / seconds;
        result.replyOnlyRatio =
            LineSecondsPerRecord(c, false) * static_cast<double>(window.RecordsRead()) / seconds;
    }
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const long long slow = quick ? 40 : 200, fast = quick ? 200 : 500, unpaced = quick ? 2000 : 20000;
    const std::vector<Case> cases{
        {true, 9600, slow},   {false, 9600, slow}, {true, 57600, fast},
        {false, 57600, fast}, {true, 0, unpaced},  {false, 0, unpaced},
    };

    char pattern[] = "/tmp/downloadbench-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    const std::string directory = pattern;

    bool goalsMet = true;
    std::printf(
        "| bus    | baud   | pacing    | records | records/s | line-limit ratio | reply-only ratio |\n");
    std::printf(
        "|--------|--------|-----------|---------|-----------|------------------|------------------|\n");
    for (const Case& c : cases) {
        const Result r = RunCase(c, directory);
        const char* bus = c.rs232 ? "RS-232" : "RS-485";
        if (!r.failure.empty()) {
            std::printf("| %s | %6d | %-9s | %7lld | failed: %s |\n", bus, c.baud,
                        c.baud ? "line rate" : "none", c.records, r.failure.c_str());
            goalsMet = false;
            continue;
        }
        char ratio[32] = "-", replyOnly[32] = "-";
        if (c.baud) {
            std::snprintf(ratio, sizeof ratio, "%.3f", r.ratio);
            std::snprintf(replyOnly, sizeof replyOnly, "%.3f", r.replyOnlyRatio);
        }
        std::printf("| %s | %6s | %-9s | %7lld | %9.1f | %16s | %16s |\n", bus,
                    c.baud ? std::to_string(c.baud).c_str() : "-", c.baud ? "line rate" : "none", c.records,
                    r.recordsPerSecond, ratio, replyOnly);
        if (c.baud ? r.ratio < 0.95 : r.recordsPerSecond < 10000) goalsMet = false;
        std::fflush(stdout);
    }

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::printf("\npeak memory of the downloading process: %.1f MiB\n", peakMiB);
    if (peakMiB >= 64) goalsMet = false;
    std::printf("goals (ratio >= 0.95 paced, >= 10000 records/s unpaced, < 64 MiB): %s\n",
                goalsMet ? "met" : "MISSED");

    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    return goalsMet ? 0 : 1;
}
