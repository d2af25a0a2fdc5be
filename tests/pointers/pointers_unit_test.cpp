// The search's rules on plain values, and the date checks that must stop a
// search before it touches a port.
#include <gtest/gtest.h>

#include "fakewindow.h"
#include "pointers/pointers.h"

TEST(RecordsBetween, CountsForwardOrAcrossTheEndOfTheRing)
{
    EXPECT_EQ(RecordsBetween(100, 250), 150);
    EXPECT_EQ(RecordsBetween(253000, 500), 1079);
    // Equal positions are read as the whole ring, not as nothing.
    EXPECT_EQ(RecordsBetween(4711, 4711), 253579);
    // A position stepped past the ring's end is not reduced first.
    EXPECT_EQ(RecordsBetween(253570, 253600), 30);
}

TEST(IsOnOrAfterDate, ComparesBytesAsUnsignedCharacters)
{
    EXPECT_TRUE(IsOnOrAfterDate("880101", "880101"));
    EXPECT_TRUE(IsOnOrAfterDate("880102", "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("871231", "880101"));
    // A date text shorter than the record's date matches every record date
    // that begins with it.
    EXPECT_TRUE(IsOnOrAfterDate("880101", "8801"));
    EXPECT_FALSE(IsOnOrAfterDate("8712", "8801"));
    // A record whose frame was bad has no date and sorts before any date.
    EXPECT_FALSE(IsOnOrAfterDate("", "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("8801", "880101"));
    // Bytes above 0x7F sort after the digits, as they would unsigned.
    EXPECT_TRUE(
        IsOnOrAfterDate("\xC8"
                        "80101",
                        "880101"));
    EXPECT_FALSE(IsOnOrAfterDate("880101",
                                 "\xC8"
                                 "80101"));
}

TEST(IsAcceptedDateText, TakesAnyIntegerButMinusOne)
{
    EXPECT_TRUE(IsAcceptedDateText("880101"));
    EXPECT_TRUE(IsAcceptedDateText("8801"));
    EXPECT_TRUE(IsAcceptedDateText("-2"));
    EXPECT_FALSE(IsAcceptedDateText("-1"));
    EXPECT_FALSE(IsAcceptedDateText(""));
    EXPECT_FALSE(IsAcceptedDateText("88/01/01"));
    EXPECT_FALSE(IsAcceptedDateText("99999999999"));
}

// A refused date ends the search before a port, a panel or a button is touched.
TEST(DateRangeSearchDates, RefusedDateShowsOnlyItsMessage)
{
    struct Case {
        std::string from, to, message;
    };
    const Case cases[] = {
        {"abc", "880501", "تاريخ شروع صحيح نمي باشد"}, {" -1 ", "880501", "تاريخ شروع صحيح نمي باشد"},
        {"abc", "xyz", "تاريخ شروع صحيح نمي باشد"},    {"880101", "", "تاريخ پايان صحيح نمي باشد"},
        {"880101", "-1", "تاريخ پايان صحيح نمي باشد"},
    };
    for (const Case& c : cases) {
        FakeWindow window;
        window.fromDate = c.from;
        window.toDate = c.to;
        // Were a port used, opening this one would fail and add an error report.
        window.portName = "/nonexistent/port";
        RunDateRangeSearch(window);
        ASSERT_EQ(window.messages.size(), 1u) << c.from << " / " << c.to;
        EXPECT_EQ(window.messages[0].kind, ShownMessage::ErrorDialog);
        EXPECT_EQ(window.messages[0].text, c.message);
        EXPECT_FALSE(window.waitPanelVisible);
        EXPECT_EQ(window.processMessagesCalls, 0);
        EXPECT_EQ(window.start, "0");
        EXPECT_EQ(window.count, "19500");
    }
}
