// The pointer query and the date-range search against a clock the test
// plays on a pty, for the replies clocksim never gives: refusals at each step
// of a search, unreadable records, and pointer replies that do not parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clocklink/clocklink.h"
#include "fakewindow.h"
#include "ticksources.h"
#include "pointers/pointers.h"
#include "scriptedclock.h"

namespace {

// A Vireo record dated `date` (yymmdd): card(10) date time(4) type(2)
// extra(2) last(1). Twenty-five digits keep the check byte readable.
std::string Record(const std::string& date)
{
    return Frame("0000012345" + date + "0800" + "01" + "00" + "1");
}

// A clock that answers every step of both date searches; `override` may
// replace the reply to a command of the first (to-date) or second
// (from-date) search.
struct SearchClock {
    struct Override {
        int search;          // 1: to-date, 2: from-date
        std::string prefix;  // command it applies to
        std::string reply;
    };
    std::vector<Override> overrides;
    std::string pointer[2] = {"1000\r", "500\r"};
    int search = 0;

    std::string Reply(const std::string& command)
    {
        if (command.starts_with("AURD=")) ++search;
        for (const Override& o : overrides)
            if (o.search == search && command.starts_with(o.prefix)) return o.reply;
        if (command.starts_with("AURD=") || command.starts_with("AUR=")) return "OK\r";
        if (command.starts_with("AUR?")) return pointer[search - 1];
        if (command == std::string(1, NAK)) return Record("991231");
        return "";
    }
};

class ScriptedSearch : public ::testing::Test {
protected:
    void Run(SearchClock& script)
    {
        ScriptedClock clock(false, [&](const std::string& command, int) { return script.Reply(command); });
        window.portName = clock.PortPath();
        RunDateRangeSearch(window);
        commands = clock.CommandTexts();
    }
    void TearDown() override { ReleaseSharedPort(); }

    QuickTimeoutClock time;
    FakeWindow window;
    std::vector<std::string> commands;
};

TEST_F(ScriptedSearch, EachRefusedStepNamesItsStepAndLeavesTheFieldsAlone)
{
    struct Case {
        SearchClock::Override override;
        std::string message;
    };
    const Case cases[] = {
        {{1, "AURD=", "ER\r"}, "AURD1 Error : ER\r"},
        {{1, "AUR?", "12a4\r"}, "Read PEnd Error : 12a4"},
        {{1, "AUR=", "NO\r"}, "Write AUR Error : NO\r"},
        {{2, "AURD=", "I"}, "AURD2 Error : I"},
        {{2, "AUR?", "\r"}, "Read PBeg Error : "},
        {{2, "AUR=", ""}, "Write AUR Error : "},  // no answer at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        window = FakeWindow();
        SearchClock script;
        script.overrides.push_back(c.override);
        Run(script);

        ASSERT_EQ(window.messages.size(), 1u);
        EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorDialog);
        EXPECT_EQ(window.messages[0].text, c.message);
        EXPECT_EQ(window.start, "0");
        EXPECT_EQ(window.count, "19500");
        EXPECT_FALSE(window.waitPanelVisible);
        EXPECT_TRUE(window.buttonsEnabled);
        EXPECT_EQ(SharedPort(), nullptr);
        // The to-date is searched first, and nothing follows a refusal.
        EXPECT_EQ(commands.front(), "AURD=880501\r");
        if (c.override.search == 1) {
            EXPECT_EQ(std::count(commands.begin(), commands.end(), "AURD=880101\r"), 0);
        }
    }
}

TEST_F(ScriptedSearch, UnreadableRecordsCountAsPositionsAndTheSearchStopsAfter100)
{
    // To-date search: a flagged record, a frame with a wrong check byte and
    // an earlier record come before the first record of the date.
    // The flagged one even holds a good frame of the date, which must not
    // be looked at.
    std::string flagged = Record("880501");
    flagged.insert(3, "???");
    std::string corrupt = Record("880501");
    corrupt[corrupt.size() - 2] ^= 0x40;
    const std::vector<std::string> toRecords = {flagged, corrupt, Record("880430"), Record("880501")};
    int toRead = 0;
    SearchClock script;
    script.pointer[1] = "253500\r";
    ScriptedClock clock(false, [&](const std::string& command, int) {
        if (command == std::string(1, NAK)) {
            if (script.search == 1) return toRecords[std::min<std::size_t>(toRead++, toRecords.size() - 1)];
            return Record("871229");  // the from-date is never met
        }
        return script.Reply(command);
    });
    window.portName = clock.PortPath();
    window.readIndex = "3";
    window.writeIndex = "4";

    RunDateRangeSearch(window);

    ASSERT_EQ(window.messages.size(), 1u) << window.messages[0].text;
    EXPECT_EQ(window.messages[0].kind, ShownMessage::InformationDialog);
    // End 1000 + 3. Begin 253500 + 100, not reduced to the ring; the count
    // is still the records from there round to 1003.
    EXPECT_EQ(window.start, "253600");
    EXPECT_EQ(window.count, std::to_string(kRingSize - 253600 + 1003));
    EXPECT_EQ(window.readIndex, "3");
    EXPECT_EQ(window.writeIndex, "4");

    const std::vector<std::string> texts = clock.CommandTexts();
    const auto fromStart = std::find(texts.begin(), texts.end(), "AUR=253500\r");
    ASSERT_NE(fromStart, texts.end());
    EXPECT_EQ(std::count(fromStart, texts.end(), std::string(1, NAK)), 100);
    EXPECT_EQ(std::count(texts.begin(), fromStart, std::string(1, NAK)), 4);
}

// The window is closed as the search starts (its first message processing
// paints the wait panel): nothing is sent and nothing changes.
TEST_F(ScriptedSearch, ClosingTheWindowStopsTheSearchAtOnce)
{
    window.onProcessMessages = [](FakeWindow& w) { w.stopRequested = true; };
    SearchClock script;
    Run(script);

    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(commands, std::vector<std::string>{});
    EXPECT_EQ(window.start, "0");
    EXPECT_EQ(window.count, "19500");
    EXPECT_FALSE(window.waitPanelVisible);
    EXPECT_TRUE(window.buttonsEnabled);
    EXPECT_EQ(SharedPort(), nullptr);
}

// Which reply lands in which label, and that a reply that does not parse
// shows "-1" without stopping the other pointer's query.
TEST(ScriptedPointerQuery, EachLabelShowsItsOwnReply)
{
    QuickTimeoutClock time;
    struct Case {
        std::string ari, awi, expectedAri, expectedAwi;
    };
    const Case cases[] = {
        {"00042\r",
         std::string("\x01\x01\x01"
                     "12a45\r"),
         "42", "-1"},
        {"", "7\r", "-1", "7"},  // the read pointer never answers
    };
    for (const Case& c : cases) {
        ScriptedClock clock(false, [&](const std::string& command, int) -> std::string {
            if (command == std::string(1, SO)) return "count 00019500\r";
            if (command == "ARI?\r") return c.ari;
            if (command == "AWI?\r") return c.awi;
            return "";
        });
        FakeWindow window;
        window.portName = clock.PortPath();

        RunPointerQuery(window);

        EXPECT_EQ(window.readIndex, c.expectedAri);
        EXPECT_EQ(window.writeIndex, c.expectedAwi);
        EXPECT_TRUE(window.messages.empty());
        EXPECT_TRUE(window.buttonsEnabled);
        EXPECT_EQ(clock.CommandTexts(), (std::vector<std::string>{std::string(1, SO), "ARI?\r", "AWI?\r"}));
        ReleaseSharedPort();
    }
}

}  // namespace
