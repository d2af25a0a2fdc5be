// Download throughput against clocksim.
//
// Each case downloads a fixed number of records with RunDownload, the same
// code the window runs, through a window that writes the two output files
// like the real one (a flushed line per record) and shows nothing. The
// record loop is timed from the moment the progress bar is set up to the
// last record counted; what comes before the first record (opening the
// port, the record counter, the clock's date and the pointer command) is
// shown on its own.
//
// Every case runs in a process of its own, so each has its own peak memory.
//
// The line limit. With line-rate pacing clocksim takes a command byte only
// at the end of its 10 bit times and hands over byte i of its answer
// (i + 1) x 10 / baud seconds after the answer starts. So no reader can get
// a record sooner than the line carries the command in and the answer out.
// At 57600 baud the program pauses 1 ms after each byte of a command of two
// or more bytes; the clock answers during the last pause, so the pauses
// after the other bytes count. A pseudo-terminal takes each write at once,
// so the line time of those earlier bytes runs within the pause after them
// and does not count again. The ratio of that limit to the measured time
// says how close the program comes to the line: above 1.0 the limit itself
// is wrong, and the benchmark fails. It is given for the whole loop and for
// the median record: on a machine shared with other work the loop's total
// also holds the moments the program was not given the processor, while the
// median record shows what the program itself does; the goal (0.95) is set
// on the median.
//
// Without pacing the program's own work on a record is all there is; the
// goal is at least 2000 records/s, so that work stays under a tenth of the
// 5.2 ms a record takes on the fastest line a clock takes (RS-232 at
// 57600 baud, the NAK and its 29-byte answer): the line sets the pace.
//
// The whole ring: all 253579 positions without pacing, starting past the
// middle so that the read runs across the ring's end, checked record by
// record against the clock's own list; its peak memory must stay within
// 1 MiB of a 1,000-record download's.
//
// Through a converter: the paced cases again with ser2net (RFC 2217, on the
// loopback address) between the program and the clock's pty, against the
// same line limit; the goal there is a median-record ratio of 0.9, and the
// table ends with each network figure beside the local one.
//
// Usage: downloadbench [--quick]. Exits 1 when a goal is missed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "childprocess.h"
#include "clocklink/clocklink.h"
#include "converter.h"
#include "download/download.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "tempdir.h"
#include "toolargs.h"
#include "utils/textfile.h"

namespace {

using Clock = std::chrono::steady_clock;

// A window with the two output files and nothing to show.
class BenchWindow : public ClockWindow {
public:
    BenchWindow(const std::string& directory, bool rs232, const std::string& baud, long long start,
                long long count)
        : m_rs232(rs232), m_baud(baud), m_start(std::to_string(start)), m_count(std::to_string(count))
    {
        m_dump.Create(directory + "/Dump.Txt");
        m_bad.Create(directory + "/BadRecs.Txt");
    }

    bool IsRs232() const override { return m_rs232; }
    std::string SelectedClockText() const override { return "1"; }
    std::string ComText() const override { return "7"; }  // SimProcess's link on this system
    std::string PortName() const override
    {
        return m_portName.empty() ? ClockWindow::PortName() : m_portName;
    }
    void SetPortName(const std::string& name) { m_portName = name; }
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
            const Clock::time_point now = Clock::now();
            if (m_keepRecordTimes)
                m_recordSeconds.push_back(std::chrono::duration<double>(now - m_loopEnd).count());
            m_loopEnd = now;
            m_recordsRead = std::stoll(text);
        }
    }
    void SetReadIndexText(const std::string&) override {}
    std::string ReadIndexText() const override { return ""; }
    void SetWriteIndexText(const std::string&) override {}
    std::string WriteIndexText() const override { return ""; }
    void SetProgressMaximum(std::int32_t) override { m_loopStart = m_loopEnd = Clock::now(); }
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

    void Run()
    {
        m_runStart = Clock::now();
        RunDownload(*this);
    }
    long long RecordsRead() const { return m_recordsRead; }
    double LoopSeconds() const { return std::chrono::duration<double>(m_loopEnd - m_loopStart).count(); }
    double SecondsBeforeLoop() const
    {
        return std::chrono::duration<double>(m_loopStart - m_runStart).count();
    }
    const std::string& Message() const { return m_message; }
    // Keeps the time of each record (the time from the one before), for
    // the median; not for the long unpaced runs, whose memory is measured.
    void KeepRecordTimes() { m_keepRecordTimes = true; }
    double MedianRecordSeconds()
    {
        if (m_recordSeconds.empty()) return 0;
        auto middle = m_recordSeconds.begin() + static_cast<std::ptrdiff_t>(m_recordSeconds.size() / 2);
        std::nth_element(m_recordSeconds.begin(), middle, m_recordSeconds.end());
        return *middle;
    }

private:
    void Shown(const std::string& text)
    {
        if (m_message.empty()) m_message = text;
    }

    bool m_rs232;
    std::string m_baud, m_start, m_count, m_message, m_portName;
    TextFile m_dump, m_bad;
    std::int32_t m_position = 0;
    long long m_recordsRead = 0;
    Clock::time_point m_runStart{}, m_loopStart{}, m_loopEnd{};
    bool m_keepRecordTimes = false;
    std::vector<double> m_recordSeconds;
};

struct Case {
    bool rs232;
    int baud;  // 0: no pacing
    long long records;
    long long ari = 0;          // the ring position of the first record, where the download starts
    bool checkRecords = false;  // compare every line with the clock's records
    bool memoryReference = false;
    bool wholeRing = false;
    bool network = false;  // through ser2net's RFC 2217 on the loopback address
};

// Bytes on the line per record: the NAK command and the reply frame (three
// SOH, three STX, the 21-character standard payload, check byte, CR).
constexpr int kReplyBytes = 3 + 3 + 21 + 1 + 1;
int RequestBytes(bool rs232) { return rs232 ? 1 : 4; }

// Seconds per record that no reader can beat on the paced line (see the top).
double LineLimitPerRecord(const Case& c)
{
    const double byte = 10.0 / c.baud;
    const int request = RequestBytes(c.rs232);
    if (c.baud == 57600 && request >= 2)
        return (request - 1) * std::max(0.001, byte) + byte + kReplyBytes * byte;
    return (request + kReplyBytes) * byte;
}

// What a case process reports to the parent.
struct Result {
    double recordsPerSecond = 0;
    double ratio = 0, medianRatio = 0;
    double secondsBeforeLoop = 0;
    double peakMiB = 0;
    char failure[200] = "";
};

void Fail(Result& result, const std::string& text)
{
    if (!result.failure[0]) std::snprintf(result.failure, sizeof result.failure, "%s", text.c_str());
}

// Compares Dump.Txt with the lines the clock's records decode to, in ring
// order from the start: every record exactly once, in order.
void CheckEveryRecord(const SimProcess& sim, const BenchWindow& window, const std::string& directory,
                      long long count, Result& result)
{
    std::vector<SimRecord> records = sim.ExpectedRecords(1);
    records.resize(std::min<std::size_t>(records.size(), static_cast<std::size_t>(count)));
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1405/09/16";  // clocksim's default date
    std::ifstream dump(directory + "/Dump.Txt", std::ios::binary);
    std::string line;
    std::size_t i = 0;
    while (std::getline(dump, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (i >= records.size()) {
            Fail(result, "more lines than records");
            return;
        }
        if (line != DecodeRecord(window, run, records[i].payload)) {
            Fail(result, "line " + std::to_string(i + 1) + " is not the record at ring position " +
                             std::to_string(records[i].position));
            return;
        }
        ++i;
    }
    if (i != records.size()) Fail(result, std::to_string(records.size() - i) + " records missing");
}

Result RunCase(const Case& c, const std::string& directory)
{
    std::vector<std::string> args{"--bus",     c.rs232 ? "rs232" : "rs485",
                                  "--records", std::to_string(std::min<long long>(kRingSize, c.records + 10)),
                                  "--ari",     std::to_string(c.ari)};
    if (c.baud) args.insert(args.end(), {"--baud", std::to_string(c.baud), "--line-rate"});
    SimProcess sim(args, /*quiet=*/true);
    SetComPortDirectory(sim.PortDirectory());
    // Unpaced runs use 9600 so that no write pacing of the program's own applies.
    BenchWindow window(directory, c.rs232, std::to_string(c.baud ? c.baud : 9600), c.ari, c.records);
    std::unique_ptr<Converter> converter;
    if (c.network) {
        converter = std::make_unique<Converter>(ConverterKind::Rfc2217, sim.PtyPath(), c.baud);
        window.SetPortName(converter->Url());
    }
    if (c.baud) window.KeepRecordTimes();
    window.Run();
    ReleaseSharedPort();
    SetComPortDirectory("");

    Result result;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    result.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    if (!window.Message().empty())
        Fail(result, window.Message());
    else if (window.RecordsRead() != c.records)
        Fail(result, "read " + std::to_string(window.RecordsRead()) + " records");
    const double seconds = window.LoopSeconds();
    result.recordsPerSecond = seconds > 0 ? static_cast<double>(window.RecordsRead()) / seconds : 0;
    result.secondsBeforeLoop = window.SecondsBeforeLoop();
    if (c.baud && seconds > 0) {
        result.ratio = LineLimitPerRecord(c) * static_cast<double>(window.RecordsRead()) / seconds;
        result.medianRatio = LineLimitPerRecord(c) / window.MedianRecordSeconds();
    }
    if (c.checkRecords && !result.failure[0]) CheckEveryRecord(sim, window, directory, c.records, result);
    return result;
}

// Runs the case in a child process and returns what it reported.
Result RunCaseAlone(const Case& c, const std::string& directory)
{
    Result result;
    int fds[2];
    if (pipe(fds) != 0) {
        Fail(result, "no pipe");
        return result;
    }
    ChildProcess child([&] {
        close(fds[0]);
        Result own;
        try {
            own = RunCase(c, directory);
        } catch (const std::exception& error) {
            Fail(own, error.what());
        }
        return write(fds[1], &own, sizeof own) == static_cast<ssize_t>(sizeof own) ? 0 : 1;
    });
    close(fds[1]);
    if (read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result))
        Fail(result, "the case process ended without a result");
    close(fds[0]);
    child.Wait(std::chrono::hours(1));
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    if (!ToolArgs("downloadbench").Switch("--quick", quick).Parse(argc, argv)) return 2;
    const long long slow = quick ? 40 : 200, fast = quick ? 200 : 500, unpaced = quick ? 2000 : 20000;
    const long long ring = quick ? 20000 : kRingSize;
    const std::vector<Case> cases{
        {true, 9600, slow},
        {false, 9600, slow},
        {true, 57600, fast},
        {false, 57600, fast},
        {false, 0, unpaced},
        {true, 0, 1000, kRingSize - 600, true, true},
        {true, 0, ring, kRingSize - ring / 4, true, false, true},
        {true, 9600, slow, 0, false, false, false, true},
        {false, 9600, slow, 0, false, false, false, true},
        {true, 57600, fast, 0, false, false, false, true},
        {false, 57600, fast, 0, false, false, false, true},
    };
    // The local median-record ratio of each paced bus and rate, to set the
    // network figure beside.
    std::vector<std::pair<const Case*, double>> local, network;

    const TempDir folder("downloadbench");
    const std::string& directory = folder.path();

    bool goalsMet = true;
    double referenceMiB = 0;
    std::printf(
        "| bus    | baud   | pacing     | records | records/s | line-limit ratio | median record | before "
        "1st "
        "record | peak memory |\n");
    std::printf(
        "|--------|--------|------------|---------|-----------|------------------|---------------|-----------"
        "--------|-------------|\n");
    for (const Case& c : cases) {
        const Result r = RunCaseAlone(c, directory);
        const char* bus = c.rs232 ? "RS-232" : "RS-485";
        const std::string pacing = c.network     ? "rfc2217"
                                   : c.baud      ? "line rate"
                                   : c.wholeRing ? "none, ring"
                                                 : "none";
        if (r.failure[0]) {
            std::printf("| %s | %6d | %-10s | %7lld | failed: %s |\n", bus, c.baud, pacing.c_str(), c.records,
                        r.failure);
            goalsMet = false;
            continue;
        }
        char ratio[32] = "-", median[32] = "-";
        if (c.baud) {
            std::snprintf(ratio, sizeof ratio, "%.3f", r.ratio);
            std::snprintf(median, sizeof median, "%.3f", r.medianRatio);
        }
        std::printf("| %s | %6s | %-10s | %7lld | %9.1f | %16s | %13s | %14.0f ms | %7.1f MiB |\n", bus,
                    c.baud ? std::to_string(c.baud).c_str() : "-", pacing.c_str(), c.records,
                    r.recordsPerSecond, ratio, median, r.secondsBeforeLoop * 1000, r.peakMiB);
        if (c.baud && (r.ratio > 1.0 || r.medianRatio > 1.0)) {
            std::printf("  the measured rate beats the line limit: the limit or the pacing is wrong\n");
            goalsMet = false;
        }
        if (c.network ? r.medianRatio < 0.9 : c.baud ? r.medianRatio < 0.95 : r.recordsPerSecond < 2000)
            goalsMet = false;
        if (c.baud) (c.network ? network : local).emplace_back(&c, r.medianRatio);
        if (c.memoryReference) referenceMiB = r.peakMiB;
        if (c.wholeRing && r.peakMiB > referenceMiB + 1.0) {
            std::printf("  the whole ring took %.1f MiB more memory than 1,000 records\n",
                        r.peakMiB - referenceMiB);
            goalsMet = false;
        }
        if (r.peakMiB >= 64) goalsMet = false;
        std::fflush(stdout);
    }
    std::printf("\nmedian-record ratio to the line limit, local pty and through ser2net (RFC 2217):\n");
    for (const auto& [n, ratio] : network)
        for (const auto& [l, localRatio] : local)
            if (l->rs232 == n->rs232 && l->baud == n->baud)
                std::printf("  %s %5d baud: local %.3f, ser2net %.3f\n", n->rs232 ? "RS-232" : "RS-485",
                            n->baud, localRatio, ratio);
    std::printf(
        "goals (paced: median-record ratio >= 0.95, through ser2net >= 0.9, no ratio above 1.0; unpaced: >= "
        "2000 records/s; every record of the ring once, in order, within 1 MiB of the 1,000-record peak): "
        "%s\n",
        goalsMet ? "met" : "MISSED");
    return goalsMet ? 0 : 1;
}
