// The download run over a real port and clock link against a clock whose
// every reply the test scripts: the order of the steps, the three ways a run
// ends, what it keeps and what the operator is told.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "clocklink/clocklink.h"
#include "download/download.h"
#include "fakewindow.h"
#include "ticksources.h"
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
// What the clock sends for a position past its last record: an empty payload.
const std::string kNoRecord = std::string("\x01\x01\x01\x02\x02\x02\x00\r", 8);

// How the answer to one NAK fares on the line.
enum class Answer {
    Clean,   // arrives as the clock sent it
    Spoilt,  // arrives with a wrong check byte
    Lost,    // the NAK never reached the clock: no answer, the pointer stays
    CutOff,  // only its first half arrives
    Late,    // arrives after the reader gave up, just before the clock's next answer
};

// A clock with a real user read pointer: "AUR=" sets it, each NAK that
// reaches the clock is answered with the record there and moves it on. The
// test scripts the counter, the date, the records and what the line does to
// each NAK's answer.
struct Script {
    std::string counter = "19500\r";
    std::vector<std::string> dates{Frame("202501101230")};
    int lateDate = -1;  // the date command (from 0) whose answer comes late
    std::string aur = "OK\r";
    bool takesPointer = true;  // false: answers "AUR=" only the first time
    // Record replies by ring position, the first at `first`.
    long first = 0;
    std::vector<std::string> records;
    // The fate of the answer to the n-th NAK (from 0); clean past the end.
    std::vector<Answer> line;
    long hangUpAt = -1;  // close the line when a NAK asks for this position
    // From the first NAK on, every answer comes only with the next one: the
    // record answers are later than the reader waits, and the clock answers
    // in order, so everything behind them is late too.
    bool behindFromFirstRecord = false;

    long pointer = 0;
    int naks = 0, aurs = 0, enqs = 0;
    std::string held;  // a late answer, sent before the next one

    std::string Reply(const std::string& command)
    {
        const std::string late = std::exchange(held, "");
        const std::string reply = Answered(command);
        if (reply == ScriptedClock::kHangUp) return reply;
        if (behindFromFirstRecord && naks > 0) {
            held = reply;
            return late;
        }
        return late + reply;
    }

    std::string Answered(const std::string& command)
    {
        if (command == kSO) return counter;
        if (command == kENQ) {
            const int n = enqs++;
            const std::string date = dates[std::min<std::size_t>(n, dates.size() - 1)];
            if (n != lateDate) return date;
            held = date;
            return "";
        }
        if (command.starts_with("AUR=")) {
            if (aurs++ > 0 && !takesPointer) return "";
            pointer = std::stol(command.substr(4));
            return aur;
        }
        if (command != kNAK) return "";
        const Answer fate = naks < static_cast<int>(line.size()) ? line[naks] : Answer::Clean;
        ++naks;
        if (pointer == hangUpAt) return ScriptedClock::kHangUp;
        if (fate == Answer::Lost) return "";
        const long index = pointer++ - first;
        std::string reply =
            index >= 0 && index < static_cast<long>(records.size()) ? records[index] : kNoRecord;
        switch (fate) {
        case Answer::Spoilt: reply[reply.size() - 2] ^= 0x40; break;
        case Answer::CutOff: reply.resize(reply.size() / 2); break;
        case Answer::Late: held = reply; return "";
        default: break;
        }
        return reply;
    }

    ScriptedClock::Responder Responder()
    {
        return [this](const std::string& command, int) { return Reply(command); };
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
    // Stops the clock's thread, after which the test may read the script.
    const Script& StoppedScript()
    {
        clock.reset();
        return script;
    }
    bool PortClosed() const { return !SharedPort() || !SharedPort()->Connected(); }
};

std::string Line(const std::string& payload, bool solar, const std::string& clockDate,
                 const FakeWindow& window)
{
    DownloadRun run;
    run.ClockIsSolar = solar;
    run.ClockDateText = clockDate;
    return DecodeRecord(window, run, payload);
}

}  // namespace

TEST(DownloadRun, ReadsExactlyTheCountWithFlaggedRecordsAndFollowsTheWindow)
{
    QuickTimeoutClock quickTimeouts;  // the late answer costs a time-out
    Session run;
    run.window.start = "12";
    run.window.count = "3";
    run.script.first = 12;
    run.script.records = {Frame(Record(1)), kFlagged, Frame(Record(2))};
    // The answer to the first NAK comes only after the query gave up on it.
    run.script.line = {Answer::Late};
    bool buttonsStayedDisabled = true;
    run.window.onProcessMessages = [&](FakeWindow& w) {
        buttonsStayedDisabled = buttonsStayedDisabled && !w.buttonsEnabled;
        if (!w.recordsRead.empty()) w.com = "5";  // the operator edits eCom: applies from the next record on
    };
    run.Start();

    EXPECT_TRUE(run.window.messages.empty());
    // The pointer command is confirmed by its "OK"; the first record query
    // gets no answer in time, so the pointer is set again once (the late
    // answer is dropped), then one NAK per record.
    EXPECT_EQ(run.Commands(),
              (std::vector<std::string>{kSO, kENQ, "AUR=00012\r", kNAK, "AUR=00012\r", kNAK, kNAK, kNAK}));
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
    // Only a count of zero is the clock answering that it holds no records.
    for (const auto& [counter, answered] : {std::pair<const char*, std::vector<std::int32_t>>{"0000\r", {0}},
                                            {"ERR\r", {}},
                                            {"99999999999\r", {}}}) {
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
        EXPECT_EQ(run.window.countersAnswered, answered);
    }
}

// The dump lines of records 1..n, as a clock with calendar date 2025/01/10 gives them.
std::vector<std::string> Lines(const FakeWindow& window, std::initializer_list<int> numbers)
{
    std::vector<std::string> lines;
    for (int n : numbers) lines.push_back(Line(Record(n), false, "2025/01/10", window));
    return lines;
}

std::vector<std::string> Records(int from, int to)
{
    std::vector<std::string> records;
    for (int n = from; n <= to; ++n) records.push_back(Frame(Record(n)));
    return records;
}

TEST(DownloadRun, EveryUnusableAnswerSetsThePointerBackSoNoRecordIsLostOrDoubled)
{
    QuickTimeoutClock quickTimeouts;  // lost and cut-off answers end in a time-out
    Session run;
    run.window.start = "40";
    run.window.count = "6";
    run.script.first = 40;
    run.script.records = Records(1, 8);
    run.script.records[3] = kFlagged;
    // The answer to NAK 0 comes late and is dropped by the resync.
    run.script.line = {Answer::Late,   Answer::Clean, Answer::Spoilt, Answer::Lost,  Answer::Clean,
                       Answer::CutOff, Answer::Clean, Answer::Late,   Answer::Clean, Answer::Spoilt};
    run.Start();

    EXPECT_TRUE(run.window.messages.empty());
    EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2, 3, 5, 6}));
    EXPECT_EQ(run.window.badRecordLines, (std::vector<std::string>{kFlagged}));
    EXPECT_EQ(run.window.recordsRead, "6");
    EXPECT_EQ(run.window.progressPosition, 6);
    // After each unusable answer the pointer goes back to the record the pass needs.
    const std::string A = "AUR=000", N = kNAK;
    EXPECT_EQ(run.Commands(), (std::vector<std::string>{kSO, kENQ,       A + "40\r", N, A + "40\r",  // late
                                                        N,                                           // 1
                                                        N,   A + "41\r",                             // spoilt
                                                        N,   A + "41\r",                             // lost
                                                        N,                                           // 2
                                                        N,   A + "42\r",  // cut off
                                                        N,                // 3
                                                        N,   A + "43\r",  // late, dropped by the resync
                                                        N,                // flagged
                                                        N,   A + "44\r",  // spoilt
                                                        N,   N}));        // 5, 6
}

TEST(DownloadRun, TheSixthUnusableAnswerInARowEndsTheRun)
{
    QuickTimeoutClock quickTimeouts;
    // Five unusable answers, a flagged record among them, then a good one:
    // the run goes on and the failure run starts again from 0.
    {
        Session run;
        run.window.count = "4";
        run.script.records = Records(1, 4);
        run.script.records[1] = kFlagged;
        using enum Answer;
        run.script.line = {Late,  Clean,  Spoilt, Spoilt, Clean,  Lost,   Spoilt, Spoilt,
                           Clean, Spoilt, Spoilt, Spoilt, Spoilt, Spoilt, Clean};
        run.Start();
        EXPECT_TRUE(run.window.messages.empty());
        EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 3, 4}));
        EXPECT_EQ(run.window.badRecordLines.size(), 1u);
        EXPECT_EQ(run.window.recordsRead, "4");
    }
    // Unusable, flagged, then five more unusable: the sixth unusable answer
    // since the last good record ends the run; what was read stays.
    {
        Session run;
        run.window.count = "10";
        run.script.records = Records(1, 10);
        run.script.records[1] = kFlagged;
        using enum Answer;
        run.script.line = {Late, Clean, Spoilt, Clean, Spoilt, Spoilt, Lost, Spoilt, CutOff, Clean};
        run.Start();
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::MessageBox);
        EXPECT_EQ(run.window.messages[0].text, "خطا در رکورد");
        EXPECT_EQ(run.window.messages[0].caption, kErrorCaption);
        EXPECT_TRUE(run.buttonsAtMessage[0]);
        EXPECT_TRUE(run.portOpenAtMessage[0]);
        EXPECT_TRUE(run.PortClosed());
        EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1}));
        EXPECT_EQ(run.window.badRecordLines.size(), 1u);
        EXPECT_EQ(run.window.recordsRead, "2");
        // Ended at the sixth: the last NAK is the cut-off one, with no resync after it.
        EXPECT_EQ(run.Commands().back(), kNAK);
        EXPECT_FALSE(run.window.clockStoppedAnswering);
    }
    // A clock that goes silent after its third record (a cable pulled),
    // between two answers or part-way through the fourth: the same end,
    // and the window learns the clock stopped answering. Catches the cut
    // answer's bytes taken for a clock that still talks (a record error).
    for (const bool partWay : {false, true}) {
        SCOPED_TRACE(partWay ? "part-way through an answer" : "between answers");
        Session run;
        run.window.count = "10";
        run.script.records = Records(1, 10);
        run.script.line = {Answer::Clean, Answer::Clean, Answer::Clean, Answer::CutOff};
        run.clock = std::make_unique<ScriptedClock>(false, [&](const std::string& command, int) {
            return run.script.naks >= 3 + partWay ? std::string() : run.script.Reply(command);
        });
        run.window.portName = run.clock->PortPath();
        RunDownload(run.window);
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].text, "خطا در رکورد");
        EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2, 3}));
        EXPECT_TRUE(run.window.clockStoppedAnswering);
    }
}

TEST(DownloadRun, AResyncWithoutOkCountsAsAFailure)
{
    QuickTimeoutClock quickTimeouts;
    // The clock takes the first pointer command only: every resync fails,
    // and the run ends at the sixth failure in a row without reading a
    // record whose place it cannot be sure of.
    {
        Session run;
        run.window.count = "3";
        run.script.records = Records(1, 3);
        run.script.takesPointer = false;
        run.script.line = {Answer::Late};
        run.Start();
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].text, "خطا در رکورد");
        EXPECT_TRUE(run.window.dumpLines.empty());
        // The leftover, then five resyncs that bring no "OK".
        EXPECT_EQ(run.Commands(),
                  (std::vector<std::string>{kSO, kENQ, "AUR=00000\r", kNAK, "AUR=00000\r", "AUR=00000\r",
                                            "AUR=00000\r", "AUR=00000\r", "AUR=00000\r"}));
    }
    // A resync answered with something else than "OK" fails too, and so
    // does one whose answer is lost; one that then gets its "OK" lets the
    // run go on: the lost answer is not waited for again.
    for (const std::string second : {"ERR\r", ""}) {
        SCOPED_TRACE(second);
        Session run;
        run.window.count = "2";
        run.script.records = Records(1, 2);
        run.script.line = {Answer::Late};
        int aurAnswers = 0;
        run.clock =
            std::make_unique<ScriptedClock>(false, [&](const std::string& command, int) -> std::string {
                if (command.starts_with("AUR=") && ++aurAnswers == 2) return second;
                return run.script.Reply(command);
            });
        run.window.portName = run.clock->PortPath();
        RunDownload(run.window);
        EXPECT_TRUE(run.window.messages.empty());
        EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2}));
    }
}

// Answers later than their time limit are read by the next collector. None
// of them may become a record or confirm a pointer command: the run gives
// the exact records or ends honestly.
TEST(DownloadRun, LateAnswersNeverBecomeRecordsOrConfirmations)
{
    QuickTimeoutClock quickTimeouts;
    const std::string busOk = "\x01\x01\x01OK\x04\r";
    struct Case {
        const char* name;
        bool bus;
        int lateDate;
        bool behind;
        bool complete;
    };
    const std::vector<Case> cases{
        // The first date command's answer comes with the second's.
        {"late date, RS-232", false, 0, false, true},
        {"late date, RS-485", true, 0, false, true},
        // Every record answer comes after the reader gave up, and the
        // pointer commands' answers queue up behind them.
        {"records late, RS-485", true, -1, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session run;
        run.window.start = "1000";
        run.window.count = c.complete ? "5" : "3";
        run.script.first = 1000;
        run.script.records = Records(1, 20);
        run.script.lateDate = c.lateDate;
        run.script.behindFromFirstRecord = c.behind;
        if (c.bus) run.script.aur = busOk;
        run.Start(c.bus);
        if (c.complete) {
            EXPECT_TRUE(run.window.messages.empty());
            EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2, 3, 4, 5}));
            EXPECT_EQ(run.window.recordsRead, "5");
        } else {
            ASSERT_EQ(run.window.messages.size(), 1u);
            EXPECT_EQ(run.window.messages[0].text, "خطا در رکورد");
            EXPECT_TRUE(run.window.dumpLines.empty());
        }
        EXPECT_TRUE(run.window.badRecordLines.empty());
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
        EXPECT_EQ(run.window.dumpLines,
                  (std::vector<std::string>{Line(Record(1, "1105"), c.solar, c.clockDate, run.window)}));
    }
}

TEST(DownloadRun, UnreadableClockDateIsReportedAndOnlyYearlessRecordsFail)
{
    QuickTimeoutClock quickTimeouts;  // the clock ignores ENQ: four 5 s waits made short
    for (bool vireo : {false, true}) {
        SCOPED_TRACE(vireo);
        Session run;
        run.window.vireo = vireo;
        run.window.count = "2";
        run.script.dates = {""};
        const std::string vireoRecord =
            "0000000001"
            "250310"
            "0815"
            "11"
            "00"
            "7";
        run.script.records = {Frame(vireo ? vireoRecord : Record(1)), Frame(vireo ? vireoRecord : Record(2))};
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
        run.script.records = Records(1, 5);
        run.script.hangUpAt = 2;
        run.Start();
        ASSERT_EQ(run.window.messages.size(), 1u);
        EXPECT_EQ(run.window.messages[0].kind, ShownMessage::ErrorReport);
        EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2}));
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
    run.script.records = Records(1, 100);
    run.window.onProcessMessages = [](FakeWindow& w) {
        if (w.recordsRead == "2") w.stopRequested = true;
    };
    run.Start();
    EXPECT_TRUE(run.window.messages.empty());
    EXPECT_EQ(run.window.dumpLines, Lines(run.window, {1, 2}));
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
