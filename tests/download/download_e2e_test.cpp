// The download against clocksim on a pseudo-terminal: what lands in the two
// files is exactly the clock's records from the start index on, on both
// buses, in both layouts and calendars, and through line faults.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "download/download.h"
#include "fakewindow.h"
#include "ticksources.h"
#include "serial/comport.h"
#include "simprocess.h"

namespace {

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
        window.com = std::to_string(sim.ComNumber());
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
        const std::vector<SimRecord> records = sim.ExpectedRecords(clock);
        ASSERT_GE(static_cast<long>(records.size()), start + count);
        DownloadRun run;
        run.ClockIsSolar = solar;
        run.ClockDateText = clockDate;
        std::vector<std::string> lines;
        std::size_t flagged = 0;
        for (long i = start; i < start + count; ++i) {
            if (records[i].flagged)
                ++flagged;
            else
                lines.push_back(DecodeRecord(window, run, records[i].payload));
        }
        EXPECT_EQ(window.dumpLines, lines);
        EXPECT_EQ(window.badRecordLines.size(), flagged);
        for (const std::string& bad : window.badRecordLines) EXPECT_NE(bad.find("???"), std::string::npos);
        EXPECT_EQ(window.recordsRead, std::to_string(count));
    }
};

// The commands of the wire log after the first pointer command: the NAKs,
// and the "AUR=" resyncs with the position each one set.
struct RecordTraffic {
    std::size_t naks = 0;
    std::vector<std::string> resyncs;
};
RecordTraffic TrafficAfterStart(const std::vector<std::string>& commands)
{
    RecordTraffic t;
    for (std::size_t i = 3; i < commands.size(); ++i) {
        if (commands[i] == "NAK")
            ++t.naks;
        else
            t.resyncs.push_back(commands[i]);
    }
    return t;
}

}  // namespace

TEST(DownloadE2E, Rs232StandardSolar)
{
    SimDownload d({"--bus", "rs232", "--records", "3000", "--layout", "standard", "--calendar", "solar",
                   "--date", "14050916", "--flagged-rate", "0.05"});
    d.Run(17, 2000);
    EXPECT_TRUE(d.window.messages.empty());
    d.ExpectRecords(1, 17, 2000, true, "1405/09/16");
    // The clock's "OK" CR to the pointer command leaves "K" CR for the first
    // record query, which cannot use it: the pointer is set again once, and
    // the answer to that first NAK is dropped. From then on, one NAK per
    // record. (When the answer came in the same read as the leftover, the
    // query takes it and no resync is needed.)
    const std::vector<std::string> commands = WireCommands(d.sim);
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
              (std::vector<std::string>{"SO", "ENQ", "AUR=00017<CR>"}));
    const RecordTraffic traffic = TrafficAfterStart(commands);
    ASSERT_LE(traffic.resyncs.size(), 1u);
    EXPECT_EQ(traffic.naks, 2000u + traffic.resyncs.size());
    if (!traffic.resyncs.empty()) {
        EXPECT_EQ(traffic.resyncs[0], "AUR=00017<CR>");
        EXPECT_EQ(commands[3], "NAK");
        EXPECT_EQ(commands[4], "AUR=00017<CR>");
    }
}

TEST(DownloadE2E, Rs485ClocksVireoGregorian)
{
    SimDownload d({"--bus", "rs485", "--clocks", "1,12,32", "--records", "400", "--layout", "vireo",
                   "--calendar", "gregorian", "--date", "20250110", "--flagged-rate", "0.03"});
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
        // The bus answer to the pointer command fits its collection: nothing
        // is left over, so exactly one NAK per record.
        const std::vector<std::string> commands = WireCommands(d.sim, std::to_string(r.clock));
        ASSERT_EQ(commands.size(), 3u + r.count);
        EXPECT_EQ(commands[0], "SO");
        EXPECT_EQ(commands[1], "ENQ");
        std::string start = std::to_string(r.start);
        start.insert(0, 5 - start.size(), '0');
        EXPECT_EQ(commands[2], "AUR=" + start + "^");
        for (std::size_t i = 3; i < commands.size(); ++i) EXPECT_EQ(commands[i], "NAK");
    }
}

// Line faults within the retry budget cost time, never a record: on both
// buses and in both layouts the files hold exactly the clock's records.
TEST(DownloadE2E, LineFaultsLoseAndDoubleNothing)
{
    // Dropped answers cost a query time-out each: time runs fast while nothing arrives.
    QuickTimeoutClock quickTimeouts;
    const struct {
        const char* bus;
        const char* layout;
        const char* calendar;
        const char* date;
        const char* clockDate;
        const char* seed;
    } cases[] = {
        {"rs232", "standard", "gregorian", "20250210", "2025/02/10", "7"},
        {"rs232", "vireo", "solar", "14030115", "1403/01/15", "3"},
        {"rs485", "standard", "solar", "14050916", "1405/09/16", "11"},
        {"rs485", "vireo", "gregorian", "20261207", "2026/12/07", "5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bus) + " " + c.layout);
        SimDownload d({"--bus", c.bus, "--clocks", "9", "--records", "600", "--layout", c.layout,
                       "--calendar", c.calendar, "--date", c.date, "--flagged-rate", "0.03", "--faults",
                       "corrupt=0.03,drop=0.01,garbage=0.04,trickle=0.01", "--fault-seed", c.seed});
        d.window.rs232 = std::string(c.bus) == "rs232";
        d.window.selectedClock = "9";
        d.window.vireo = std::string(c.layout) == "vireo";
        d.Run(50, 500);
        EXPECT_TRUE(d.window.messages.empty());
        d.ExpectRecords(9, 50, 500, std::string(c.calendar) == "solar", c.clockDate);

        // Every fault kind did occur, and every dropped answer was followed
        // by putting the pointer back. (A corrupt answer is resynced too,
        // unless it flagged its record: "???" still reads as flagged.)
        d.sim.Stop();
        const std::string log = d.sim.ReadWireLog();
        std::size_t dropped = 0;
        for (const char* kind : {"corrupt", "drop", "garbage", "trickle"}) {
            const std::string mark = std::string("fault=") + kind;
            std::size_t n = 0;
            for (std::size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) ++n;
            EXPECT_GT(n, 0u) << kind;
            if (mark == "fault=drop") dropped = n;
        }
        EXPECT_GE(TrafficAfterStart(WireCommands(d.sim)).resyncs.size(), dropped);
    }
}

// A late answer comes after the query gave up on it, while the pointer is
// being put back: it is read and dropped there, and the record it carried is
// asked for again. This waits out the clock's real 5.5 s delay once.
TEST(DownloadE2E, LateAnswerIsDroppedAndItsRecordReadAgain)
{
    // Seed 4 makes exactly one of these 40 answers late.
    SimDownload d({"--bus", "rs485", "--records", "60", "--layout", "vireo", "--calendar", "solar", "--date",
                   "14030115", "--faults", "late=0.02", "--fault-seed", "4"});
    d.window.rs232 = false;
    d.window.vireo = true;
    d.Run(10, 40);
    EXPECT_TRUE(d.window.messages.empty());
    d.ExpectRecords(1, 10, 40, true, "1403/01/15");
    d.sim.Stop();
    const std::string log = d.sim.ReadWireLog();
    EXPECT_NE(log.find("fault=late"), std::string::npos);
    EXPECT_EQ(log.find("fault=late"), log.rfind("fault=late"));
    EXPECT_EQ(TrafficAfterStart(WireCommands(d.sim)).resyncs.size(), 1u);
}

// Fault caught: a count past the clock's last record read what there was,
// then asked on and ended in the record error.
TEST(DownloadE2E, ACountPastTheLastRecordStopsThereAsASuccess)
{
    SimDownload d({"--bus", "rs232", "--records", "50", "--layout", "standard", "--calendar", "solar",
                   "--date", "14050916"});
    d.Run(40, 20);
    EXPECT_TRUE(d.window.messages.empty());
    EXPECT_EQ(d.window.dumpLines.size(), 10u);
    EXPECT_EQ(d.window.recordsRead, "10");
    EXPECT_EQ(d.window.progressPosition, d.window.progressMaximum);
    EXPECT_TRUE(d.window.buttonsEnabled);
    EXPECT_TRUE(!SharedPort() || !SharedPort()->Connected());
}

TEST(DownloadE2E, HangUpMidRunIsReportedAndTheLinesStay)
{
    SimDownload d({"--bus", "rs485", "--records", "300", "--faults", "hangup-after=120"});
    d.window.rs232 = false;
    d.Run(0, 250);
    ASSERT_EQ(d.window.messages.size(), 1u);
    EXPECT_EQ(d.window.messages[0].kind, ShownMessage::ErrorReport);
    EXPECT_TRUE(d.window.buttonsEnabled);
    EXPECT_TRUE(!SharedPort() || !SharedPort()->Connected());
    // Every record sent before the line died was written.
    EXPECT_EQ(d.window.recordsRead, "120");
    d.ExpectRecords(1, 0, 120, true, "1405/09/16");
}
