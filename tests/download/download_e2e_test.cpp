// The download against clocksim on a pseudo-terminal: what lands in the two
// files is exactly the clock's records from the start index on, on both
// buses, in both layouts and calendars, and through line faults.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "download/download.h"
#include "fakewindow.h"
#include "scriptedclock.h"
#include "serial/comport.h"
#include "simprocess.h"

namespace {

struct ExpectedRecord {
    int clock = 0;
    long position = 0;
    bool flagged = false;
    std::string payload;
};

// The records a clocksim session holds, from its --dump-expected file.
std::vector<ExpectedRecord> ExpectedRecords(const SimProcess& sim, int clock)
{
    std::vector<ExpectedRecord> records;
    for (const std::string& line : sim.ReadExpectedDump()) {
        std::istringstream in(line);
        ExpectedRecord r;
        std::string status;
        in >> r.clock >> r.position >> status >> r.payload;
        r.flagged = status == "flagged";
        if (r.clock == clock) records.push_back(r);
    }
    return records;
}

// The commands of the wire log ("cmd=" field), for one clock or all.
std::vector<std::string> WireCommands(const SimProcess& sim, const std::string& clock = "")
{
    std::vector<std::string> commands;
    std::istringstream in(sim.ReadWireLog());
    std::string line;
    while (std::getline(in, line)) {
        if (!clock.empty() && line.find(" clock=" + clock + " ") == std::string::npos) continue;
        const std::size_t at = line.find(" cmd=");
        if (at == std::string::npos) continue;
        const std::size_t end = line.find(' ', at + 5);
        commands.push_back(line.substr(at + 5, end - at - 5));
    }
    return commands;
}

// A download through clocksim with the window pointed at its COM7 link.
struct SimDownload {
    SimProcess sim;
    FakeWindow window;

    explicit SimDownload(const std::vector<std::string>& args) : sim(args)
    {
        SetComPortDirectory(sim.PortDirectory());
        window.com = std::to_string(SimProcess::kComNumber);
    }
    ~SimDownload() { SetComPortDirectory(""); }

    void Run(long start, long count)
    {
        window.start = std::to_string(start);
        window.count = std::to_string(count);
        RunDownload(window);
    }

    // The dump lines and bad-record count that records [start, start + count)
    // of `clock` must give, decoded with the clock's calendar and date.
    void ExpectRecords(int clock, long start, long count, bool solar, const std::string& clockDate)
    {
        const std::vector<ExpectedRecord> records = ExpectedRecords(sim, clock);
        ASSERT_GE(static_cast<long>(records.size()), start + count);
        DownloadRun run;
        run.ClockIsSolar = solar;
        run.ClockDateText = clockDate;
        std::vector<std::string> lines;
        std::size_t flagged = 0;
        for (long i = start; i < start + count; ++i) {
            if (records[i].flagged) ++flagged;
            else lines.push_back(DecodeRecord(window, run, records[i].payload));
        }
        EXPECT_EQ(window.dumpLines, lines);
        EXPECT_EQ(window.badRecordLines.size(), flagged);
        for (const std::string& bad : window.badRecordLines) EXPECT_NE(bad.find("???"), std::string::npos);
        EXPECT_EQ(window.recordsRead, std::to_string(count));
    }
};

}  // namespace

TEST(DownloadE2E, Rs232StandardSolar)
{
    SimDownload d({"--bus", "rs232", "--records", "3000", "--layout", "standard", "--calendar", "solar", "--date",
                   "14050916", "--flagged-rate", "0.05"});
    d.Run(17, 2000);
    EXPECT_TRUE(d.window.messages.empty());
    d.ExpectRecords(1, 17, 2000, true, "1405/09/16");
    // The clock's "OK" CR to the pointer command leaves "K" CR for the first
    // record query; the run then waits for that query's answer instead of
    // asking again, so exactly one NAK goes out per record.
    const std::vector<std::string> commands = WireCommands(d.sim);
    ASSERT_EQ(commands.size(), 3u + 2000u);
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
              (std::vector<std::string>{"SO", "ENQ", "AUR=00017<CR>"}));
    for (std::size_t i = 3; i < commands.size(); ++i) ASSERT_EQ(commands[i], "NAK") << i;
}

TEST(DownloadE2E, Rs485ClocksVireoGregorian)
{
    SimDownload d({"--bus", "rs485", "--clocks", "1,12,32", "--records", "400", "--layout", "vireo", "--calendar",
                   "gregorian", "--date", "20250110", "--flagged-rate", "0.03"});
    d.window.rs232 = false;
    d.window.vireo = true;
    const struct {
        int clock;
        long start, count;
    } runs[] = {{1, 0, 300}, {12, 5, 120}, {32, 399, 1}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.clock);
        d.window.selectedClock = std::to_string(r.clock);
        d.window.dumpLines.clear();
        d.window.badRecordLines.clear();
        d.Run(r.start, r.count);
        EXPECT_TRUE(d.window.messages.empty());
        d.ExpectRecords(r.clock, r.start, r.count, false, "2025/01/10");

        // Each clock is read once, so its commands in the log are this run's.
        const std::vector<std::string> commands = WireCommands(d.sim, std::to_string(r.clock));
        ASSERT_GE(commands.size(), 3u + r.count);
        EXPECT_EQ(commands[0], "SO");
        EXPECT_EQ(commands[1], "ENQ");
        std::string start = std::to_string(r.start);
        start.insert(0, 5 - start.size(), '0');
        EXPECT_EQ(commands[2], "AUR=" + start + "^");
        for (std::size_t i = 3; i < commands.size(); ++i) EXPECT_EQ(commands[i], "NAK");
    }
}

TEST(DownloadE2E, Rs232StandardGregorianThroughLineFaults)
{
    // Drops cost a query time-out each: time runs fast while nothing arrives.
    FastTimeoutClock fastClock;
    SimDownload d({"--bus", "rs232", "--records", "1500", "--layout", "standard", "--calendar", "gregorian", "--date",
                   "20250210", "--flagged-rate", "0.02", "--faults", "drop=0.003,trickle=0.01,garbage=0.05",
                   "--fault-seed", "7"});
    d.Run(100, 1200);
    EXPECT_TRUE(d.window.messages.empty());
    d.ExpectRecords(1, 100, 1200, false, "2025/02/10");
}

TEST(DownloadE2E, CorruptAnswersLoseOnlyTheirOwnRecords)
{
    // The clock moves its read pointer with every answer it sends, so the
    // NAK that follows a record whose check byte was spoilt on the line gets
    // the next record: exactly the spoilt ones are missing, nothing else is
    // lost and nothing is doubled.
    SimDownload d({"--bus", "rs232", "--records", "600", "--layout", "vireo", "--calendar", "solar", "--date",
                   "14030115", "--faults", "corrupt=0.02", "--fault-seed", "3"});
    d.window.vireo = true;
    d.Run(0, 500);
    EXPECT_TRUE(d.window.messages.empty());

    // Record positions in the order the clock answered them, without the spoilt ones.
    std::vector<long> answered;
    std::istringstream log(d.sim.ReadWireLog());
    std::string line;
    long position = 0;
    while (std::getline(log, line)) {
        if (line.find(" cmd=NAK") == std::string::npos) continue;
        if (line.find("fault=corrupt") == std::string::npos) answered.push_back(position);
        ++position;
    }
    const std::vector<ExpectedRecord> records = ExpectedRecords(d.sim, 1);
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1403/01/15";
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < 500 && i < answered.size(); ++i)
        lines.push_back(DecodeRecord(d.window, run, records[answered[i]].payload));
    EXPECT_LT(answered.size(), static_cast<std::size_t>(position));
    EXPECT_EQ(d.window.dumpLines, lines);
}

TEST(DownloadE2E, EndOfRecordsEndsByRecordErrorKeepingWhatWasRead)
{
    // Past the last record the clock answers with empty payloads.
    SimDownload d({"--bus", "rs232", "--records", "50", "--layout", "standard", "--calendar", "solar", "--date",
                   "14050916"});
    d.Run(40, 20);
    ASSERT_EQ(d.window.messages.size(), 1u);
    EXPECT_EQ(d.window.messages[0].kind, ShownMessage::MessageBox);
    EXPECT_EQ(d.window.messages[0].text, "خطا در رکورد");
    EXPECT_EQ(d.window.dumpLines.size(), 10u);
    EXPECT_EQ(d.window.recordsRead, "10");
    EXPECT_TRUE(d.window.buttonsEnabled);
    EXPECT_TRUE(!SharedPort() || !SharedPort()->Connected());
}

TEST(DownloadE2E, HangUpMidRunIsReportedAndTheLinesStay)
{
    SimDownload d({"--bus", "rs232", "--records", "300", "--faults", "hangup-after=120"});
    d.Run(0, 250);
    ASSERT_EQ(d.window.messages.size(), 1u);
    EXPECT_EQ(d.window.messages[0].kind, ShownMessage::ErrorReport);
    EXPECT_TRUE(d.window.buttonsEnabled);
    EXPECT_TRUE(!SharedPort() || !SharedPort()->Connected());
    // Every record sent before the line died was written.
    EXPECT_EQ(d.window.dumpLines.size(), 120u);
    EXPECT_EQ(d.window.recordsRead, "120");
}
