// Progress on standard error, and how the messages of the operations turn
// into exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "messages.h"
#include "options.h"
#include "progress.h"
#include "statusfile.h"
#include "sweeporder.h"
#include "tempdir.h"
#include "utils/text.h"
#include "serial/comport.h"
#include "commandlinewindow.h"
#include "utils/errors.h"

using namespace cli;

namespace {

// A stream whose text the test can read back: a temporary file, which
// every system has.
class CapturedStream {
public:
    CapturedStream() : m_file(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(m_file); }
    std::FILE* file() { return m_file; }
    std::string text()
    {
        std::fflush(m_file);
        const long end = std::ftell(m_file);
        std::string text(static_cast<std::size_t>(end), '\0');
        std::rewind(m_file);
        text.resize(std::fread(text.data(), 1, text.size(), m_file));
        std::fseek(m_file, 0, SEEK_END);
        return text;
    }

private:
    std::FILE* m_file;
};

// A port's read failing with error number 5, as the system words it.
#ifdef _WIN32
constexpr const char* kReadFailed5 = "ReadFile function failed (win error code: 5)";
#else
constexpr const char* kReadFailed5 = "ReadFile function failed (Input/output error)";
#endif

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(CliProgress, RateAndTimeLeft)
{
    double now = 100;
    CapturedStream out;
    ProgressMeter meter(out.file(), false, [&] { return now; });
    meter.Start(1000);
    EXPECT_EQ(meter.StatusText(), "0/1000 (0%)");
    now += 10;
    meter.Update(100);
    EXPECT_EQ(meter.StatusText(), "100/1000 (10%), 10.0 records/s, 1:30 left");
    now += 90;
    meter.Update(1000);
    EXPECT_EQ(meter.StatusText(), "1000/1000 (100%), 10.0 records/s");
    // Line errors the port counted are shown once there are any.
    meter.SetLineErrors(1);
    EXPECT_EQ(meter.StatusText(), "1000/1000 (100%), 10.0 records/s, 1 line error");
    meter.SetLineErrors(3);
    EXPECT_EQ(meter.StatusText(), "1000/1000 (100%), 10.0 records/s, 3 line errors");

    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(59.6), "1:00");
    EXPECT_EQ(FormatDuration(3725), "1:02:05");
}

TEST(CliProgress, LogLinesEveryFewSecondsAndAtTheEnd)
{
    double now = 0;
    CapturedStream out;
    ProgressMeter meter(out.file(), false, [&] { return now; });
    meter.Tick();  // before the records phase: nothing to say
    meter.Start(100);
    for (int i = 1; i <= 100; ++i) {
        now = i / 10.0;
        meter.Update(i);
        meter.Tick();
    }
    meter.Finish();
    meter.Finish();
    std::string text = out.text();
    // Ten seconds of records: two timed lines and the final one, no bar.
    EXPECT_EQ(Count(text, "\n"), 3) << text;
    EXPECT_EQ(Count(text, "\r"), 0);
    EXPECT_NE(text.find("records 100/100 (100%)"), std::string::npos) << text;
    // Each line of a message of two carries the time (a second line without it).
    const std::string stamp = LogTimestamp().substr(0, 10);
    EXPECT_EQ(Count(LogLine(false, "one\ntwo"), stamp), 2);
}

TEST(CliProgress, TerminalBarIsRedrawnInPlaceAndClearedForMessages)
{
    double now = 0;
    CapturedStream out;
    ProgressMeter meter(out.file(), true, [&] { return now; });
    meter.SetEscapes(true);
    meter.Start(10);
    meter.Update(5);
    meter.Tick();  // too soon after the first drawing
    EXPECT_EQ(Count(out.text(), "\r["), 1);
    now += ProgressMeter::kRedrawInterval;
    meter.Tick();
    EXPECT_NE(out.text().find("[###############...............] 5/10 (50%)"), std::string::npos)
        << out.text();
    meter.Clear();
    EXPECT_EQ(out.text().substr(out.text().size() - 4), "\r\x1b[K");
    std::size_t size = out.text().size();
    meter.Clear();  // nothing shown: nothing to clear
    EXPECT_EQ(out.text().size(), size);
    meter.Finish();
    EXPECT_EQ(out.text().back(), '\n');

    // Without escapes (a Windows console) blanks cover the bar: a shorter
    // bar after a longer one, and the clearing for a message.
    CapturedStream plain;
    ProgressMeter blank(plain.file(), true, [&] { return now; });
    blank.SetEscapes(false);
    blank.Start(1000);
    now += 10;
    blank.Update(500);
    blank.Tick();
    const std::size_t longest = plain.text().size() - plain.text().rfind('\r') - 1;
    blank.Update(1000);
    now += 1;
    blank.Tick();
    EXPECT_EQ(plain.text().size() - plain.text().rfind('\r') - 1, longest) << plain.text();
    const std::string drawn = plain.text();
    const std::size_t shorter = drawn.substr(drawn.rfind('\r') + 1).find("  ");
    blank.Clear();
    EXPECT_EQ(plain.text().substr(drawn.size()), "\r" + std::string(shorter, ' ') + "\r");
    EXPECT_EQ(plain.text().find('\x1b'), std::string::npos) << plain.text();
}

TEST(CliOutcome, MessagesDecideTheExitStatus)
{
    EXPECT_EQ(StatusOfMessageBox(std::string(kCommunicationErrorText)), kExitCommunicationError);
    EXPECT_EQ(StatusOfMessageBox(std::string(kRecordErrorText)), kExitRecordError);
    // The communication text without its closing blank is not the same message.
    std::string trimmed(kCommunicationErrorText.substr(0, kCommunicationErrorText.size() - 1));
    EXPECT_EQ(StatusOfMessageBox(trimmed), kExitOtherError);

    EXPECT_EQ(StatusOfErrorDialog(std::string(kClockDateErrorText)), kExitComplete);
    EXPECT_EQ(StatusOfErrorDialog(std::string(kCountInvalidText)), kExitBadInput);
    EXPECT_EQ(StatusOfErrorDialog(std::string(kFromDateInvalidText)), kExitBadInput);
    EXPECT_EQ(StatusOfErrorDialog(std::string(kToDateInvalidText)), kExitBadInput);
    EXPECT_EQ(StatusOfErrorDialog("AURD1 Error : "), kExitCommunicationError);
    EXPECT_EQ(StatusOfErrorDialog("Read PBeg Error : \x01"), kExitCommunicationError);
    EXPECT_EQ(StatusOfErrorDialog("Write AUR Error : I"), kExitCommunicationError);
    EXPECT_EQ(StatusOfErrorDialog("something else"), kExitOtherError);

    EXPECT_EQ(StatusOfError(EComPort(1, 2)), kExitPortError);
    EXPECT_EQ(StatusOfError(EInOutError("disk full")), kExitOtherError);
    EXPECT_EQ(StatusOfError(EConvertError("'x' is not a valid integer value")), kExitOtherError);
}

// Every message line names port (with its device), bus and clock, gives the
// reason in English with the window's Persian text after it, and, in a log,
// starts with the local time. The first failure decides the exit status, and
// a clock's raw reply cannot garble the terminal.
TEST(CliOutcome, EveryMessageNamesWhereAndWhyAndTheFirstFailureWins)
{
    struct Case {
        std::function<void(CommandLineWindow&)> show;
        const char* line;  // after the time and "clockreader-cli: COM1 -> /dev/ttyS0, RS-485, clock 7: "
        int status;        // the status after it, failures before it included
    };
    const Case cases[] = {
        {[](CommandLineWindow& w) { w.ShowErrorDialog(std::string(kClockDateErrorText)); },
         "warning: the clock's date could not be read (خطا در خواندن ساعت و تاريخ)", kExitComplete},
        {[](CommandLineWindow& w) { w.RecordLayoutDoubtful("9 of 10 records read have no plausible date"); },
         "warning: 9 of 10 records read have no plausible date; try --vireo", kExitComplete},
        {[](CommandLineWindow& w) { w.ShowMessageBox(std::string(kCommunicationErrorText), "خطا"); },
         "no answer within 5 s (خطا در ارتباط)", kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ShowMessageBox(std::string(kRecordErrorText), "خطا"); },
         "six unusable record answers in a row (خطا در رکورد)", kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ReportError(EComPort(3, 5)); }, kReadFailed5, kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ShowErrorDialog("AURD1 Error : \x1b[2J\x01OK\r"); },
         "the clock did not place its pointer at the --to date (AURD1 Error : \\x1B[2J\\x01OK\\x0D)",
         kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ShowErrorDialog("Read PBeg Error : x"); },
         "the clock's pointer at the --from date could not be read (Read PBeg Error : x)",
         kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ShowErrorDialog("Read AWI Error : \r"); },
         "the clock's write index could not be read (Read AWI Error : \\x0D)", kExitCommunicationError},
        {[](CommandLineWindow& w) { w.ShowErrorDialog(std::string(kCountInvalidText)); },
         "the record count is negative (تعداد صحيح نمي باشد)", kExitCommunicationError},
    };
    Options options;
    options.rs232 = false;
    options.clock = "7";
    CapturedStream err;
    ProgressMeter meter(err.file(), false);
    CommandLineWindow window(options, meter, err.file(), "clockreader-cli", {});
#ifdef _WIN32
    const std::string where = "clockreader-cli: COM1 -> \\\\.\\COM1, RS-485, clock 7: ";
#else
    const std::string where = "clockreader-cli: COM1 -> /dev/ttyS0, RS-485, clock 7: ";
#endif
    std::size_t seen = 0;
    for (const Case& c : cases) {
        c.show(window);
        const std::string text = err.text();
        const std::string line = text.substr(seen);
        seen = text.size();
        // "2026-12-07T19:30:05+03:30 " and the rest.
        ASSERT_GT(line.size(), 26u) << line;
        EXPECT_TRUE(line[4] == '-' && line[10] == 'T' && line[13] == ':' && line[19] != ' ' &&
                    line[22] == ':' && line[25] == ' ')
            << line;
        EXPECT_EQ(line.substr(26), where + c.line + "\n");
        EXPECT_EQ(window.Status(), c.status) << c.line;
    }

    // The search's own success line speaks of the command line's results.
    window.ShowInformationDialog(std::string(kSearchDoneText) + "\r\nهمچنين فيلدهاي شروع و تعداد");
    EXPECT_EQ(err.text().substr(seen + 26),
              where + "the pointers were read successfully (" + std::string(kSearchDoneText) + ")\n");
    EXPECT_TRUE(window.SearchDone());

    // On a terminal the lines carry no time.
    CapturedStream terminal;
    ProgressMeter bar(terminal.file(), true);
    CommandLineWindow interactive(options, bar, terminal.file(), "clockreader-cli", {});
    interactive.ShowMessageBox(std::string(kRecordErrorText), "خطا");
    EXPECT_EQ(terminal.text(), where + "six unusable record answers in a row (خطا در رکورد)\n");
}

// What the window's messages cannot tell apart, the clock link reports:
// an empty clock is no failure, a clock gone silent is a communication error.
TEST(CliOutcome, AnEmptyClockSucceedsAndASilentClockIsACommunicationError)
{
    struct Case {
        std::int32_t counterAnswered;  // -1: the clock did not answer it
        bool silent;
        std::string_view box;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {0, false, kCommunicationErrorText, kExitComplete, "the clock holds no records"},
        {-1, false, kCommunicationErrorText, kExitCommunicationError, ""},
        {12, true, kRecordErrorText, kExitCommunicationError, "the clock stopped answering"},
        {12, false, kRecordErrorText, kExitRecordError, ""},
    };
    for (const Case& c : cases) {
        Options options;
        CapturedStream err;
        ProgressMeter meter(err.file(), false);
        CommandLineWindow window(options, meter, err.file(), "clockreader-cli", {});
        if (c.counterAnswered >= 0) window.RecordCounterAnswered(c.counterAnswered);
        if (c.silent) window.ClockStoppedAnswering();
        window.ShowMessageBox(std::string(c.box), "caption");
        EXPECT_EQ(window.Status(), c.status) << c.said;
        EXPECT_NE(err.text().find(c.said), std::string::npos) << err.text();
    }
}

// Faults caught: a port name or message that breaks the status file's JSON
// (a quote, a backslash, a control byte, a byte that is not UTF-8), or
// Persian that is escaped away; texts and counts that disagree in number.
TEST(StatusAndTexts, JsonStringsHoldAnyTextAndCountsAgreeInNumber)
{
    const struct {
        std::string text, json;
    } strings[] = {
        {"COM3", "\"COM3\""},
        {"say \"hi\" \\ C:\\x", "\"say \\\"hi\\\" \\\\ C:\\\\x\""},
        {"\x01\x01\x01"
         "12\r\n\t\x7f",
         "\"\\u0001\\u0001\\u000112\\r\\n\\t\\u007f\""},
        {"خطا در ارتباط ", "\"خطا در ارتباط \""},
        {"a\xff"
         "b\xd8",
         "\"a\\ufffdb\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    };
    for (const auto& c : strings) EXPECT_EQ(JsonString(c.text), c.json) << c.text;

    RunStatus status;
    status.command = "download";
    status.exitStatus = 6;
    status.clocks.push_back({"COM3 clock 2", "COM3", 2, "communication error", 0, 0, "no \"answer\"", ""});
    status.clocks.push_back({"COM3 clock 4", "COM3", 4, "complete", 12, 1, "", ""});
    const std::string json = StatusJson(status);
    EXPECT_NE(json.find("\"exit_status\": 6,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"last_error\": \"no \\\"answer\\\"\","), std::string::npos) << json;
    EXPECT_NE(
        json.find("\"records\": 12, \"flagged\": 1, \"last_error\": null, \"identity\": null}\n  ]\n}\n"),
        std::string::npos)
        << json;

    EXPECT_EQ(CountOf(1, "record") + ", " + CountOf(3, "batch", "batches"), "1 record, 3 batches");
    // Persian letters and their joiners take one column each or none.
    EXPECT_EQ(DisplayWidth("پورت\u200c"), 4u);

    // The clocks a sweep left unread come first, then the rest by address.
    EXPECT_EQ(SweepOrder({5, 1, 4, 2, 3}, {4, 3}), (std::vector<int>{3, 4, 1, 2, 5}));
    // Fault caught: clock 2 finished on one line of a site clears the mark
    // of clock 2 on the other line, which is read last next time.
    // Also under Wine: the file read must be closed before it is replaced,
    // or Windows refuses the replacement (access denied).
    {
        TempDir folder;
        SweepState com1(folder.path(), "/dev/ttyS0", 3600, {}), com2(folder.path(), "/dev/ttyS1", 3600, {});
        com1.Begin({1, 2, 3});
        com2.Begin({1, 2, 3});
        com1.Asked(1, ClockAnswer::Finished);
        com1.Asked(3, ClockAnswer::Finished);
        com2.Asked(2, ClockAnswer::Finished);
        EXPECT_EQ(com1.Begin({1, 2, 3}).order, (std::vector<int>{2, 1, 3}));
        EXPECT_EQ(com2.Begin({1, 2, 3}).order, (std::vector<int>{1, 3, 2}));
    }
    // A clock silent within its interval is left out; one past it, or last
    // asked "later" than now (the computer's clock was set back), is asked.
    const SweepPlan plan =
        PlanSweep({1, 2, 3, 4}, {}, {{2, {940, false}}, {3, {300, false}}, {4, {2000, false}}}, 1000, 600);
    EXPECT_EQ(plan.order, (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(plan.notAsked.at(0).lastAsked, 940);
}

// Faults caught: a line that is down (no clock of the sweep answers) has
// its addresses kept as absent, so its clocks wait an interval once it is
// back; the silences before the first answer of a sweep are lost.
TEST(SweepState, SilenceCountsOnlyOnALineWhereAClockAnswered)
{
    const TempDir folder;
    const auto sweep = [&](const std::vector<ClockAnswer>& answers) {
        SweepState state(folder.path(), "COM1", 3600, {});
        const std::vector<int> order = state.Begin({1, 2, 3}).order;
        for (std::size_t i = 0; i < std::min(answers.size(), order.size()); ++i)
            state.Asked(order[i], answers[i]);
        return order;
    };
    using enum ClockAnswer;
    sweep({Silent, Silent, Silent});
    sweep({Silent, Silent, Finished});
    EXPECT_EQ(sweep({}), (std::vector<int>{3}));
}
