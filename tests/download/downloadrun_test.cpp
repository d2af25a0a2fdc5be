// The download run over a real port and clock link against a clock whose
// every reply the test scripts: the order of the steps, the three ways a run
// ends, what it keeps and what the operator is told.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "scriptedclock.h"

namespace {

const std::string kSO(1, SO), kENQ(1, ENQ), kNAK(1, NAK);
const std::string kErrorCaption = "خطا";

// Standard-layout records; the card gives the record's number.
std::string Record(int number, const std::string& date = "1220", const std::string& type = "01")
{
    std::string card = std::to_string(number);
    card.insert(0, 8 - card.size(), '0');
    return card + date + "0815" + type + "075";
}
const std::string kFlagged = "\x01\x01\x01???\r";
const std::string kBroken = std::string("\x01\x01\x01\x02\x02\x02" "00000001" "\x7F\r");

// A clock that answers the counter, the date and AUR, then serves the record
// replies in order (the last one repeated if more NAKs come).
struct Script {
    std::string counter = "19500\r";
    std::vector<std::string> dates{Frame("202501101230")};
    // One character: nothing of it is left for the first record's collector.
    std::string aur = "O";
    std::vector<std::string> records;

    ScriptedClock::Responder Responder()
    {
        return [this, dateIndex = std::size_t{0}, recordIndex = std::size_t{0}](const std::string& command,
                                                                                int) mutable -> std::string {
            if (command == kSO) return counter;
            if (command == kENQ) {
                const std::string& reply = dates[std::min(dateIndex, dates.size() - 1)];
                ++dateIndex;
                return reply;
            }
            if (command == kNAK) {
                if (records.empty()) return "";
                return records[std::min(recordIndex++, records.size() - 1)];
            }
            return aur;
        };
    }
};

struct Session {
    Script script;
    std::unique_ptr<ScriptedClock> clock;
    FakeWindow window;
    // Buttons' state at each message shown, and whether the port was still open then.
    std::vector<bool> buttonsAtMessage, portOpenAtMessage;

    Session()
    {
        window.onMessage = [this](FakeWindow& w, const ShownMessage&) {
            buttonsAtMessage.push_back(w.buttonsEnabled);
            portOpenAtMessage.push_back(SharedPort() && SharedPort()->Connected());
        };
    }
    void Start(bool bus = false)
    {
        clock = std::make_unique<ScriptedClock>(bus, script.Responder());
        window.rs232 = !bus;
        window.portName = clock->PortPath();
        RunDownload(window);
    }
    std::vector<std::string> Commands() const { return clock->CommandTexts(); }
    bool PortClosed() const { return !SharedPort() || !SharedPort()->Connected(); }
};

std::string Line(const std::string& payload, bool solar, const std::string& clockDate, const FakeWindow& window)
{
    DownloadRun run;
    run.ClockIsSolar = solar;
    run.ClockDateText = clockDate;
    return DecodeRecord(window, run, payload);
}

}  // namespace

TEST(DownloadRun, ReadsExactlyTheCountWithFlaggedRecordsAndFollowsTheWindow)
{
    Session run;
    run.window.start = "12";
    run.window.count = "3";
    // The rest of this reply ("K" CR) is what the first record query meets first.
    run.script.aur = "OK\r";
    run.script.records = {Frame(Record(1)), kFlagged, Frame(Record(2))};
    bool buttonsStayedDisabled = true;
    run.window.onProcessMessages = [&](FakeWindow& w) {
        buttonsStayedDisabled = buttonsStayedDisabled && !w.buttonsEnabled;
        if (!w.recordsRead.empty()) w.com = "5";  // the operator edits eCom: applies from the next record on
    };
    run.Start();

    EXPECT_TRUE(run.window.messages.empty());
    const std::vector<std::string> commands = run.Commands();
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 3),
              (std::vector<std::string>{kSO, kENQ, "AUR=00012\r"}));
    for (std::size_t i = 3; i < commands.size(); ++i) EXPECT_EQ(commands[i], kNAK);

    EXPECT_EQ(run.window.start, "00012");
    EXPECT_EQ(run.window.recordTotal, "19500");
    EXPECT_EQ(run.window.recordsRead, "3");
    EXPECT_EQ(run.window.progressMaximum, 3);
    EXPECT_EQ(run.window.progressPosition, 3);
    FakeWindow com1;
    EXPECT_EQ(run.window.dumpLines,
              (std::vector<std::string>{Line(Record(1), false, "2025/01/10", com1),
                                        Line(Record(2), false, "2025/01/10", run.window)}));
    EXPECT_EQ(run.window.badRecordLines, (std::vector<std::string>{kFlagged}));
    EXPECT_TRUE(buttonsStayedDisabled);
    EXPECT_TRUE(run.window.buttonsEnabled);
    EXPECT_TRUE(run.PortClosed());
}

TEST(DownloadRun, ZeroOrUnreadableCountReadsNothing)
{
    for (const char* count : {"0", "", "abc"}) {
        SCOPED_TRACE(count);
        Session run;
        run.window.count = count;
        run.script.records = {Frame(Record(1))};
        run.Start();
        EXPECT_EQ(run.Commands(), (std::vector<std::string>{kSO, kENQ, "AUR=00000\r"}));
        EXPECT_TRUE(run.window.dumpLines.empty());
        EXPECT_EQ(run.window.progressMaximum, 0);
        EXPECT_TRUE(run.window.messages.empty());
        EXPECT_TRUE(run.window.buttonsEnabled);
        EXPECT_TRUE(run.PortClosed());
    }
}

TEST(DownloadRun, NegativeCountIsRefusedBeforeAnythingIsSent)
{
    Session run;
    run.window.count = "-1";
    run.Start();
    EXPECT_TRUE(run.Commands().empty());
    ASSERT_EQ(run.window.messages.size(), 1u);
    EXPECT_EQ(run.window.messages[0].kind, ShownMessage::ErrorDialog);
    EXPECT_EQ(run.window.messages[0].text, "تعداد صحيح نمي باشد");
    EXPECT_TRUE(run.window.buttonsEnabled);
    EXPECT_EQ(run.window.recordsRead, "");
}

TEST(DownloadRun, CounterWithoutRecordsEndsWithCommunicationError)
{
    for (const char* counter : {"0000\r", "ERR\r"}) {
        SCOPED_TRACE(counter);
        Session run;
        run.script.counter = counter;
        run.window.recordsRead = "7";
        run.window.start = "3";
        run.Start();
        EXPECT_EQ(run.Commands(), (std::vector<std::string>{kSO}));
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::MessageBox);
        EXPECT_EQ(run.window.messages[0].text, "خطا در ارتباط ");
        EXPECT_EQ(run.window.messages[0].caption, kErrorCaption);
        // Buttons back before the box, port closed only after it.
        EXPECT_TRUE(run.buttonsAtMessage[0]);
        EXPECT_TRUE(run.portOpenAtMessage[0]);
        EXPECT_TRUE(run.PortClosed());
        EXPECT_EQ(run.window.recordsRead, "7");
        EXPECT_EQ(run.window.recordTotal, "");
        EXPECT_EQ(run.window.start, "3");
    }
}

TEST(DownloadRun, UnusableRepliesAreRetriedAndTheSixthInARowEndsTheRun)
{
    // A lone CR is no answer: the run waits for the answer still due, then asks again.
    FastTimeoutClock fastClock;
    // Five unusable replies, one flagged among them, then a good one: the
    // same pass is asked again and nothing is lost.
    {
        Session run;
        run.window.count = "3";
        run.script.records = {Frame(Record(1)), kBroken, "\r",         kBroken, kFlagged,
                              kBroken,          kBroken, Frame(Record(2))};
        run.Start();
        EXPECT_TRUE(run.window.messages.empty());
        EXPECT_EQ(run.window.dumpLines.size(), 2u);
        EXPECT_EQ(run.window.badRecordLines.size(), 1u);
        EXPECT_EQ(run.window.recordsRead, "3");
        EXPECT_EQ(run.window.progressPosition, 3);
    }
    // Unusable, flagged, then five more unusable: the sixth unusable reply
    // since the last good record ends the run; what was read stays.
    {
        Session run;
        run.window.count = "10";
        run.script.records = {Frame(Record(1)), kBroken, kFlagged, kBroken, kBroken, kBroken, kBroken, kBroken};
        run.Start();
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::MessageBox);
        EXPECT_EQ(run.window.messages[0].text, "خطا در رکورد");
        EXPECT_EQ(run.window.messages[0].caption, kErrorCaption);
        EXPECT_TRUE(run.buttonsAtMessage[0]);
        EXPECT_TRUE(run.portOpenAtMessage[0]);
        EXPECT_TRUE(run.PortClosed());
        EXPECT_EQ(run.window.dumpLines.size(), 1u);
        EXPECT_EQ(run.window.badRecordLines.size(), 1u);
        EXPECT_EQ(run.window.recordsRead, "2");
        // The record after the first holds: 1 good + 7 replies = 8 NAKs at least.
        EXPECT_GE(run.Commands().size(), 3u + 8u);
    }
}

TEST(DownloadRun, ClockDateDecidesCalendarAndYear)
{
    struct Case {
        std::vector<std::string> dates;
        bool solar;
        std::string clockDate;
        int dateCommands;
    };
    const std::vector<Case> cases{
        {{Frame("20250110")}, false, "2025/01/10", 1},
        {{Frame("14030201")}, true, "1403/02/01", 1},
        // A Solar year 1903 exists for the conversion rules: the clock is taken as Solar.
        {{Frame("19030201")}, true, "1903/02/01", 1},
        // Month 13 and an unparsable day fail; the third attempt is good.
        {{Frame("20251301"), Frame("202501AA"), Frame("20250210")}, false, "2025/02/10", 3},
        // Day 29 of February only in a leap year.
        {{Frame("20250229"), Frame("202402291")}, false, "2024/02/29", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clockDate);
        Session run;
        run.window.count = "1";
        run.script.dates = c.dates;
        run.script.records = {Frame(Record(1, "1105"))};
        run.Start();
        EXPECT_TRUE(run.window.messages.empty());
        int enq = 0;
        for (const std::string& command : run.Commands()) enq += command == kENQ;
        EXPECT_EQ(enq, c.dateCommands);
        EXPECT_EQ(run.window.dumpLines, (std::vector<std::string>{Line(Record(1, "1105"), c.solar, c.clockDate,
                                                                         run.window)}));
    }
}

TEST(DownloadRun, UnreadableClockDateIsReportedAndOnlyYearlessRecordsFail)
{
    FastTimeoutClock fastClock;  // the clock ignores ENQ: four 5 s waits made short
    for (bool vireo : {false, true}) {
        SCOPED_TRACE(vireo);
        Session run;
        run.window.vireo = vireo;
        run.window.count = "2";
        run.script.dates = {""};
        const std::string vireoRecord = "0000000001" "250310" "0815" "11" "00" "7";
        run.script.records = {Frame(vireo ? vireoRecord : Record(1))};
        run.Start();
        int enq = 0;
        for (const std::string& command : run.Commands()) enq += command == kENQ;
        EXPECT_EQ(enq, 4);
        ASSERT_GE(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::ErrorDialog);
        EXPECT_EQ(run.window.messages[0].text, "خطا در خواندن ساعت و تاريخ");
        if (vireo) {
            EXPECT_EQ(run.window.messages.size(), 1u);
            EXPECT_EQ(run.window.dumpLines.size(), 2u);
        } else {
            // The first record cannot be dated: the error is reported and the run ends.
            ASSERT_EQ(run.window.messages.size(), 2u);
            EXPECT_EQ(run.window.messages[1].kind, ShownMessage::ErrorReport);
            EXPECT_EQ(run.window.messages[1].text, "'' is not a valid integer value.");
            EXPECT_TRUE(run.window.dumpLines.empty());
        }
        EXPECT_TRUE(run.window.buttonsEnabled);
        EXPECT_TRUE(run.PortClosed());
    }
}

TEST(DownloadRun, EscapedErrorsAreReportedAndTheWindowRecovers)
{
    // The clock hangs up after two records.
    {
        Session run;
        run.window.count = "5";
        int naks = 0;
        run.script.records = {Frame(Record(1)), Frame(Record(2))};
        auto inner = run.script.Responder();
        run.clock = std::make_unique<ScriptedClock>(false, [&](const std::string& command, int n) {
            if (command == kNAK && ++naks > 2) return ScriptedClock::kHangUp;
            return inner(command, n);
        });
        run.window.portName = run.clock->PortPath();
        RunDownload(run.window);
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::ErrorReport);
        EXPECT_EQ(run.window.dumpLines.size(), 2u);
        EXPECT_EQ(run.window.recordsRead, "2");
        EXPECT_TRUE(run.window.buttonsEnabled);
        EXPECT_TRUE(run.PortClosed());
    }
    // The dump file cannot be written.
    {
        Session run;
        run.window.count = "3";
        run.window.failDumpWrites = true;
        run.script.records = {Frame(Record(1))};
        run.Start();
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::ErrorReport);
        EXPECT_EQ(run.window.messages[0].text, "Cannot write to Dump.Txt: disk full.");
        EXPECT_EQ(run.window.recordsRead, "");
        EXPECT_TRUE(run.window.buttonsEnabled);
        EXPECT_TRUE(run.PortClosed());
    }
    // The port cannot be opened.
    {
        FakeWindow window;
        window.portName = "/nonexistent/tty";
        RunDownload(window);
        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorReport);
        EXPECT_TRUE(window.buttonsEnabled);
    }
}

TEST(DownloadRun, ClosingTheWindowStopsAfterTheCurrentRecord)
{
    Session run;
    run.window.count = "100";
    run.script.records = {Frame(Record(1))};
    run.window.onProcessMessages = [](FakeWindow& w) {
        if (w.recordsRead == "2") w.stopRequested = true;
    };
    run.Start();
    EXPECT_TRUE(run.window.messages.empty());
    EXPECT_EQ(run.window.dumpLines.size(), 2u);
    EXPECT_EQ(run.window.recordsRead, "2");
    EXPECT_TRUE(run.window.buttonsEnabled);
    EXPECT_TRUE(run.PortClosed());
}

TEST(DownloadRun, BusFramesNameTheSelectedClock)
{
    Session run;
    run.window.selectedClock = "12";
    run.window.count = "2";
    run.script.aur = "\x01\x01\x01OK\x04\r";
    run.script.records = {Frame(Record(1)), Frame(Record(2))};
    run.Start(true);
    EXPECT_TRUE(run.window.messages.empty());
    const std::vector<ReceivedCommand> commands = run.clock->Commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[2].text, "AUR=00000^");
    for (const ReceivedCommand& c : commands) EXPECT_EQ(c.clockNumber, 12);
    EXPECT_EQ(run.window.dumpLines.size(), 2u);
    EXPECT_EQ(run.window.dumpLines[0].substr(3, 3), "012");
}

TEST(DownloadRun, AnswersArrivingTogetherAreNeitherCutNorLost)
{
    // The first NAK gets no answer in time; the answer comes late, right
    // before the answer to the repeated NAK, in one burst.
    FastTimeoutClock fastClock;
    Session run;
    run.window.count = "3";
    run.script.records = {"", Frame(Record(1)) + Frame(Record(2)), Frame(Record(3))};
    run.Start();
    EXPECT_TRUE(run.window.messages.empty());
    EXPECT_EQ(run.window.dumpLines, (std::vector<std::string>{Line(Record(1), false, "2025/01/10", run.window),
                                                              Line(Record(2), false, "2025/01/10", run.window),
                                                              Line(Record(3), false, "2025/01/10", run.window)}));
    // Three NAKs: the second burst's second answer was not asked for again.
    EXPECT_EQ(run.Commands().size(), 3u + 3u);
}
