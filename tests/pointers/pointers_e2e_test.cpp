// The pointer query and the date-range search against clocksim on a pty, on
// both buses, with the real port and clock link underneath.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "ticksources.h"
#include "pointers/pointers.h"
#include "serial/comport.h"
#include "simprocess.h"
#include "utils/text.h"

namespace {

const std::string kSearchDoneText =
    "اشاره گرها با موفقيت خوانده شد\r\nهمچنين فيلدهاي شروع و تعداد بصورت صحيح مقدار داده شد";

// A FakeWindow that also logs, in order, the steps whose order the operator
// sees: the wait panel, the port closing, the buttons and every message,
// each with the state of panel and port at that moment.
class RecordingWindow : public FakeWindow {
public:
    std::vector<std::string> events;

    RecordingWindow()
    {
        onMessage = [](FakeWindow& self, const ShownMessage& message) {
            auto& me = static_cast<RecordingWindow&>(self);
            me.events.push_back(me.stateText() + " message " + std::to_string(message.kind) + ": " +
                                message.text);
        };
    }

    void SetWaitPanelVisible(bool visible) override
    {
        FakeWindow::SetWaitPanelVisible(visible);
        if (visible) {
            // The search's own port exists from here on; watch it close.
            if (TComPort* port = SharedPort())
                port->OnAfterClose = [this](TCustomComPort&) { events.push_back("port closed"); };
        }
        events.push_back(std::string(visible ? "panel shown" : "panel hidden") +
                         (SharedPort() ? ", port held" : ", port released"));
    }
    void SetOperationButtonsEnabled(bool enabled) override
    {
        FakeWindow::SetOperationButtonsEnabled(enabled);
        events.push_back(enabled ? "buttons enabled" : "buttons disabled");
    }

    std::string stateText() const
    {
        const TComPort* port = SharedPort();
        return std::string(waitPanelVisible ? "[panel" : "[no panel") +
               (port && port->Connected() ? ", port open]" : ", port not open]");
    }
};

// The date (yymmdd) of a Vireo record of the sim.
std::string DateOf(const SimRecord& record) { return SubText(record.payload, 11, 16); }

class PointersOnBus : public ::testing::TestWithParam<bool> {
protected:
    bool Rs232() const { return GetParam(); }

    void StartSim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--bus", Rs232() ? "rs232" : "rs485", "--layout", "vireo"});
        m_sim = std::make_unique<SimProcess>(args);
        SetComPortDirectory(m_sim->PortDirectory());
        window.rs232 = Rs232();
        window.com = std::to_string(m_sim->ComNumber());
        window.vireo = true;
    }
    SimProcess& Sim() { return *m_sim; }

    void TearDown() override
    {
        ReleaseSharedPort();
        SetTickSource(nullptr);
        SetComPortDirectory("");
    }

    // Runs the search for [from, to) on the sim's records, checks eStart and
    // eCount against the sim's ring, then downloads that range and checks it
    // holds exactly the records dated from `from` to the day before `to`
    // (records are in date order in the ring).
    void SearchThenDownload(const std::vector<SimRecord>& records, const std::string& from,
                            const std::string& to, bool expectWrap)
    {
        window.fromDate = " " + from + " ";
        window.toDate = to;
        window.readIndex = "ARI before";
        window.writeIndex = "AWI before";

        RunDateRangeSearch(window);

        ASSERT_EQ(window.messages.size(), 1u) << window.messages[0].text;
        EXPECT_EQ(window.messages[0].kind, ShownMessage::InformationDialog);
        EXPECT_EQ(window.messages[0].text, kSearchDoneText);
        EXPECT_EQ(window.readIndex, "ARI before");
        EXPECT_EQ(window.writeIndex, "AWI before");
        EXPECT_FALSE(window.waitPanelVisible);
        EXPECT_TRUE(window.buttonsEnabled);
        EXPECT_EQ(SharedPort(), nullptr);

        // The search cannot read a flagged record's date, so it counts it as
        // an earlier one: each position is the first good record on or after
        // its date.
        auto firstGoodFrom = [&](const std::string& date) {
            std::size_t i = 0;
            while (i < records.size() && !(!records[i].flagged && DateOf(records[i]) >= date)) ++i;
            return i;
        };
        const std::size_t first = firstGoodFrom(from), last = firstGoodFrom(to);
        ASSERT_LT(first, last);
        ASSERT_LT(last, records.size());
        const long long begin = records[first].position, end = records[last].position;
        EXPECT_EQ(expectWrap, end < begin);
        EXPECT_EQ(window.start, std::to_string(begin));
        EXPECT_EQ(window.count, std::to_string(last - first));

        window.messages.clear();
        RunDownload(window);
        DownloadRun run;
        run.ClockIsSolar = true;
        run.ClockDateText = "1405/09/16";
        std::vector<std::string> expected;
        std::size_t flagged = 0;
        for (std::size_t i = first; i < last; ++i) {
            if (!records[i].flagged)
                expected.push_back(DecodeRecord(window, run, records[i].payload));
            else
                ++flagged;
        }
        EXPECT_EQ(window.dumpLines, expected);
        EXPECT_EQ(window.badRecordLines.size(), flagged);
    }

    RecordingWindow window;

private:
    std::unique_ptr<SimProcess> m_sim;
};

INSTANTIATE_TEST_SUITE_P(Bus, PointersOnBus, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Rs232" : "Rs485");
                         });

TEST_P(PointersOnBus, PointerQueryShowsBothPointers)
{
    // Positions above 99999 come with more digits (on the bus an odd number
    // of them, so the check byte may itself be a digit).
    for (const auto& [ari, awi] : {std::pair{"1234", "2234"}, std::pair{"250000", "251000"}}) {
        StartSim({"--records", "1000", "--ari", ari});
        window.readIndex = "old";
        window.writeIndex = "old";
        window.events.clear();

        RunPointerQuery(window);

        EXPECT_EQ(window.readIndex, ari);
        EXPECT_EQ(window.writeIndex, awi);
        EXPECT_TRUE(window.messages.empty());
        EXPECT_TRUE(window.buttonsEnabled);
        EXPECT_EQ(window.events.front(), "buttons disabled");
        ASSERT_NE(SharedPort(), nullptr);
        EXPECT_FALSE(SharedPort()->Connected());
        ReleaseSharedPort();
    }
}

TEST_P(PointersOnBus, EmptyClockGetsTheCommunicationErrorAndNoPointerQuery)
{
    StartSim({"--records", "0"});
    window.readIndex = "5";
    window.writeIndex = "77";

    RunPointerQuery(window);

    EXPECT_EQ(window.readIndex, "-1");
    EXPECT_EQ(window.writeIndex, "77");
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].kind, ShownMessage::MessageBox);
    EXPECT_EQ(window.messages[0].text, "خطا در ارتباط ");
    EXPECT_EQ(window.messages[0].caption, "خطا");
    // The buttons come back before the box, the port closes after it.
    EXPECT_EQ(window.events, (std::vector<std::string>{"buttons disabled", "buttons enabled",
                                                       "[no panel, port open] message 0: خطا در ارتباط "}));
    EXPECT_FALSE(SharedPort()->Connected());
    const std::string wire = Sim().ReadWireLog();
    EXPECT_EQ(wire.find("ARI?"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("AWI?"), std::string::npos) << wire;
}

TEST_P(PointersOnBus, DateRangeFillsStartAndCountForTheDownload)
{
    StartSim({"--records", "1000", "--ari", "5000", "--flagged-rate", "0.2"});
    const std::vector<SimRecord> records = Sim().ExpectedRecords();
    ASSERT_EQ(records.size(), 1000u);
    // Dates well inside the records, so the range has records on both sides.
    SearchThenDownload(records, DateOf(records[300]), DateOf(records[700]), false);
}

TEST_P(PointersOnBus, RangeAcrossTheEndOfTheRingGivesTheWrappedCount)
{
    StartSim({"--records", "1000", "--ari", std::to_string(kRingSize - 400)});
    const std::vector<SimRecord> records = Sim().ExpectedRecords();
    ASSERT_EQ(records.size(), 1000u);
    SearchThenDownload(records, DateOf(records[200]), DateOf(records[700]), true);
}

TEST_P(PointersOnBus, RefusedDateShowsTheReplyAndCleansUp)
{
    StartSim({"--records", "100"});
    window.toDate = "8801";  // not six digits: the clock answers "I"

    RunDateRangeSearch(window);

    EXPECT_EQ(window.events,
              (std::vector<std::string>{"buttons disabled", "panel shown, port held",
                                        "[panel, port open] message 1: AURD1 Error : I", "port closed",
                                        "panel hidden, port released", "buttons enabled"}));
    EXPECT_EQ(window.start, "0");
    EXPECT_EQ(window.count, "19500");
}

TEST_P(PointersOnBus, PortLostMidSearchIsReportedAfterCleanup)
{
    // The line hangs up after the first record the search reads.
    StartSim({"--records", "1000", "--faults", "hangup-after=1"});
    const std::vector<SimRecord> records = Sim().ExpectedRecords();
    window.fromDate = DateOf(records[300]);
    window.toDate = DateOf(records[700]);
    window.readIndex = "1";
    window.writeIndex = "2";

    RunDateRangeSearch(window);

    ASSERT_EQ(window.events.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(window.events.begin(), window.events.begin() + 5),
              (std::vector<std::string>{"buttons disabled", "panel shown, port held", "port closed",
                                        "panel hidden, port released", "buttons enabled"}));
    EXPECT_EQ(window.events[5].rfind("[no panel, port not open] message 3: ", 0), 0u) << window.events[5];
    EXPECT_EQ(window.start, "0");
    EXPECT_EQ(window.count, "19500");
    EXPECT_EQ(window.readIndex, "1");
    EXPECT_EQ(window.writeIndex, "2");
}

// A clock number nobody on the bus answers to: the search waits out the
// whole 30 s for "AURD=" and then names the failure with an empty reply.
TEST(DateRangeSearch, SilentClockWaitsTheFullLimitThenShowsAnEmptyReply)
{
    SimProcess sim({"--bus", "rs485", "--clocks", "1"});
    SetComPortDirectory(sim.PortDirectory());
    FakeTickSource clock;  // nobody answers: every wait passes at once
    RecordingWindow window;
    window.rs232 = false;
    window.selectedClock = "9";
    window.com = std::to_string(sim.ComNumber());

    RunDateRangeSearch(window);

    EXPECT_GE(clock.now, 30000u);
    EXPECT_EQ(window.events,
              (std::vector<std::string>{"buttons disabled", "panel shown, port held",
                                        "[panel, port open] message 1: AURD1 Error : ", "port closed",
                                        "panel hidden, port released", "buttons enabled"}));
    SetComPortDirectory("");
}

// The pointer query used to swallow errors and leave its button dead.
TEST(PointerQuery, PortThatCannotOpenIsReportedAndTheButtonsComeBack)
{
    FakeWindow window;
    window.portName = "/nonexistent/clock-port";
    window.readIndex = "10";
    window.writeIndex = "20";

    RunPointerQuery(window);

    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorReport);
    EXPECT_TRUE(window.buttonsEnabled);
    EXPECT_EQ(window.readIndex, "10");
    EXPECT_EQ(window.writeIndex, "20");
    ASSERT_NE(SharedPort(), nullptr);
    EXPECT_FALSE(SharedPort()->Connected());
    ReleaseSharedPort();
}

}  // namespace
